#include "patch/patch.h"

#include <cmath>
#include <cstring>

Patch::~Patch() {
  for (Vco* vco : vcos) delete vco;
  for (Vca* vca : vcas) delete vca;
  for (Mixer* mixer : mixers) delete mixer;
}

Vco* Patch::find_vco(const char* name) const {
  for (Vco* vco : vcos)  // newest first: the latest of two namesakes wins
    if (std::strcmp(vco->name, name) == 0) return vco;
  return nullptr;
}

void Patch::set_sample_rate(int rate) {
  for (Vco* vco : vcos) vco->sample_rate = rate;
}

double note_frequency(int32_t n, double bend) {
  return 8.1757989 * std::pow(2.0, ((static_cast<double>(n) + 11.0) + bend) / 12.0);
}

Patch* load_and_report(const char* path, FILE* console, FILE* diagnostics) {
  Patch* patch = new Patch;
  patch->console = console;
  patch->diagnostics = diagnostics;
  std::string error;
  if (!patch->load(path, error)) {
    std::fprintf(diagnostics, "wsy: cannot read the patch file \"%s\": %s\n", path, error.c_str());
    delete patch;
    return nullptr;
  }
  patch->report();
  return patch;
}
