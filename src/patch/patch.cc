#include "patch/patch.h"

#include <cmath>
#include <cstring>

Patch::~Patch() {
  for (Vco* vco : vcos) delete vco;
  for (Vca* vca : vcas) delete vca;
  for (Mixer* mixer : mixers) delete mixer;
}

std::unique_ptr<Patch> Patch::copy() const {
  auto twin = std::make_unique<Patch>();
  twin->output = output;
  twin->base_note = base_note;
  twin->noise = noise;
  twin->console = nullptr;
  twin->diagnostics = nullptr;
  // Each module copied in its list's order; a link to the n-th oscillator or
  // mixer becomes a link to the copy's n-th.
  auto index_of = [](const auto& list, const auto* module) {
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i] == module) return i;
    return list.size();
  };
  for (const Vco* vco : vcos) twin->vcos.push_back(new Vco(*vco));
  for (const Vca* vca : vcas) twin->vcas.push_back(new Vca(*vca));
  for (const Mixer* mixer : mixers) twin->mixers.push_back(new Mixer(*mixer));
  auto twin_vco = [&](const Vco* vco) -> Vco* {
    const size_t i = index_of(vcos, vco);
    return i < vcos.size() ? twin->vcos[i] : nullptr;
  };
  for (const VcoLinkGroup& group : vco_links) {
    VcoLinkGroup copy = group;
    for (Vco*& source : copy.sources) source = twin_vco(source);
    copy.target = twin_vco(group.target);
    twin->vco_links.push_back(std::move(copy));
  }
  for (const MixerLinkGroup& group : mixer_links) {
    MixerLinkGroup copy = group;
    for (Vco*& source : copy.sources) source = twin_vco(source);
    const size_t i = index_of(mixers, group.target);
    copy.target = i < mixers.size() ? twin->mixers[i] : nullptr;
    twin->mixer_links.push_back(std::move(copy));
  }
  return twin;
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
