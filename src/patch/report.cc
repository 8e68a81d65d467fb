// Patch::report: what the loader built, right after its trace.
#include "patch/patch.h"

namespace {

// " |---      MOD_FREQ <-- VCO [LFO1:0x...]": one link, its parameter or input
// name right-aligned; a source that was never found shows as (nil).
void print_links(FILE* out, const std::vector<std::string>& names, const std::vector<Vco*>& sources,
                 const std::vector<std::string>& source_names) {
  for (size_t k = 0; k < sources.size(); ++k)
    std::fprintf(out, " |---%14s <-- VCO [%s:%p]\n", names[k].c_str(), source_names[k].c_str(),
                 static_cast<const void*>(sources[k]));
}

}  // namespace

void Patch::report() const {
  FILE* out = console;
  std::fputs("\r\n\r\n*****************[ OBJECTS ]****************************************************\r\n", out);
  std::fprintf(out, "VCO SIZE [%d]\n", static_cast<int>(vcos.size()));
  std::fputs("\r\nVCO\r\n-------------------------------------------------------------\r\n", out);
  std::fputs("\r\nVCO_VCO_LNK\r\n-------------------------------------------------------------\r\n", out);
  for (const VcoLinkGroup& group : vco_links) {
    std::fprintf(out, "VCO [%s:%p]\n", group.target->name, static_cast<const void*>(group.target));
    print_links(out, group.params, group.sources, group.source_names);
  }
  std::fputs("*****************[ LINKS ]******************************************************\r\n", out);
  std::fputs("\r\nVCO_MIXER_LNK\r\n-------------------------------------------------------------\r\n", out);
  for (const MixerLinkGroup& group : mixer_links) {
    std::fprintf(out, "MIXER [%s:%p]\n", group.target->name, static_cast<const void*>(group.target));
    print_links(out, group.input_names, group.sources, group.source_names);
  }
}
