// Patch::report: what the loader built, right after its trace.
#include "patch/patch.h"

namespace {

const void* address(const void* module) { return module; }

}  // namespace

void Patch::report() const {
  FILE* out = console;
  std::fputs("\r\n\r\n*****************[ OBJECTS ]****************************************************\r\n", out);
  std::fprintf(out, "VCO SIZE [%d]\n", static_cast<int>(vcos.size()));
  std::fputs("\r\nVCO\r\n-------------------------------------------------------------\r\n", out);
  std::fputs("\r\nVCO_VCO_LNK\r\n-------------------------------------------------------------\r\n", out);
  for (const VcoLinkGroup& group : vco_links) {
    std::fprintf(out, "VCO [%s:%p]\n", group.target->name, address(group.target));
    for (size_t k = 0; k < group.sources.size(); ++k)
      std::fprintf(out, " |---%14s <-- VCO [%s:%p]\n", group.params[k].c_str(),
                   group.source_names[k].c_str(), address(group.sources[k]));
  }
  std::fputs("*****************[ LINKS ]******************************************************\r\n", out);
  std::fputs("\r\nVCO_MIXER_LNK\r\n-------------------------------------------------------------\r\n", out);
  for (const MixerLinkGroup& group : mixer_links) {
    std::fprintf(out, "MIXER [%s:%p]\n", group.target->name, address(group.target));
    for (size_t k = 0; k < group.sources.size(); ++k)
      std::fprintf(out, " |---%14s <-- VCO [%s:%p]\n", group.input_names[k].c_str(),
                   group.source_names[k].c_str(), address(group.sources[k]));
  }
}
