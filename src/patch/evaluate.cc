// Patch::evaluate: one sample of the whole synthesizer.
//
// A. Every oscillator that has links is retuned to base_note + its group's
//    note (bent by the pitch bend), modulated by its sources (each reset and stepped once per link) and
//    stepped. Modulation is multiplicative: p becomes o * p + p.
// B. Every mixer stores the current outputs of its sources and sums them.
// C. The mixer of the newest mixer group is the patch output.
#include <cstddef>

#include "patch/patch.h"

namespace {

int32_t add_notes(int32_t a, int32_t b) {  // 32-bit wrap-around, as the note words are
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// A target's sine step with everything but the sin() done. A target's sin()
// waits on its sources' (the modulation feeds its argument), so it is taken
// next to the next group's first source, whose sin() needs nothing from it:
// the processor runs the two side by side. sin() is a pure function, so when
// it is taken changes no sample; the one rule is that the output is written
// before the oscillator is stepped again.
struct DeferredSine {
  Vco* vco = nullptr;
  double argument = 0;
  float amplitude = 0;

  void finish() {
    if (!vco) return;
    vco->output = Vco::sine(argument, amplitude);
    vco = nullptr;
  }
};

}  // namespace

void Patch::evaluate(double bend) {
  DeferredSine deferred;
  const size_t vco_group_count = vco_links.size();
  for (size_t g = 0; g < vco_group_count; ++g) {
    VcoLinkGroup& group = vco_links[g];
    Vco& target = *group.target;
    target.reset();
    // The new pitch goes into the base value: it is heard from the next sample.
    const int32_t n = add_notes(base_note, group.note);
    if (!group.tuned || n != group.tuned_note || bend != group.tuned_bend) {
      group.tuned_frequency = static_cast<float>(note_frequency(n, bend));
      group.tuned_note = n;
      group.tuned_bend = bend;
      group.tuned = true;
    }
    target.base_frequency = group.tuned_frequency;

    const size_t link_count = group.sources.size();
    for (size_t k = 0; k < link_count; ++k) {
      Vco* source = group.sources[k];
      if (!source) continue;  // unknown name: silent, modulates nothing
      if (deferred.vco == source) deferred.finish();
      source->reset();
      source->step(noise);
      deferred.finish();  // beside this source's sin()
      const double o = source->output;
      const uint8_t modulation = group.modulations[k];
      if ((modulation & kModAmp) && source->amplitude != 0 && source->frequency != 0)
        target.amplitude = static_cast<float>(o * target.amplitude + target.amplitude);
      if (modulation & kModFreq)
        target.frequency = static_cast<float>(o * target.frequency + target.frequency);
      if (modulation & kModPhase)
        target.phase_offset = static_cast<float>(o * target.phase_offset + target.phase_offset);
    }
    deferred.finish();  // a group without a known source
    if (target.waveform == Vco::kSine) {
      target.advance();
      deferred = {&target, target.sine_argument(), target.amplitude};
    } else {
      target.step(noise);
    }
  }
  deferred.finish();

  const size_t mixer_group_count = mixer_links.size();
  for (size_t g = 0; g < mixer_group_count; ++g) {
    MixerLinkGroup& group = mixer_links[g];
    Mixer& mixer = *group.target;
    const size_t c = static_cast<size_t>(mixer.input_count);
    for (size_t k = 0; k < c && k < group.sources.size(); ++k) {
      const int slot = group.input_slots[k];
      if (slot < 0) continue;
      const Vco* source = group.sources[k];
      mixer.inputs[slot] = source ? source->get_output() : 0.0f;
    }
    mixer.sum();
  }

  output = mixer_links.empty() ? 0.0f : mixer_links[0].target->get_output();
}
