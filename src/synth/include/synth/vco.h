#pragma once
#include <cmath>
#include <cstdint>

#include "synth/random.h"
#include "synth/sample_rate.h"

// One oscillator: a phase accumulator in cycles and one of five waveforms.
// Base values are what the patch sets; the current values are restored from
// them by reset() and then modulated, sample by sample, by the evaluation.
struct Vco {
  enum Waveform : int32_t { kSine = 1, kRamp = 2, kShiftedRamp = 3, kSquare3 = 4, kNoise = 5 };
  static constexpr int kNameSize = 80;

  float output = 0;
  char name[kNameSize] = "Emptynamed_VCO";
  float phase = 0;
  float base_phase_offset = 1.0f;  // a whole cycle: no shift, but something for phase modulation to scale
  float base_amplitude;
  float base_frequency;
  float phase_offset = 1.0f;
  float amplitude;
  float frequency;
  int32_t waveform;
  // Steps per second. A double, so that frequency / sample_rate is the one
  // correctly rounded division at every rate (at 44100 the very quotient
  // wsy has always used).
  double sample_rate = kReferenceRate;

  Vco(float amplitude, float frequency, int32_t waveform)
      : base_amplitude(amplitude), base_frequency(frequency),
        amplitude(amplitude), frequency(frequency), waveform(waveform) {}

  void reset() {
    frequency = base_frequency;
    phase_offset = base_phase_offset;
    amplitude = base_amplitude;
  }

  // Advances one sample (1/sample_rate s). `noise` is the audio thread's generator,
  // drawn from only by the noise waveform. Returns 1, as every per-sample step does.
  // The sine, the only waveform a patch file makes, is inline: it is most of
  // the engine's work.
  int step(Random& noise) {
    advance();
    if (waveform == kSine)
      output = sine(sine_argument(), amplitude);
    else
      shape_other(noise);
    return 1;
  }

  // The two halves of a step, for the evaluation to take the sine later.
  void advance() {
    phase = static_cast<float>(static_cast<double>(phase) + frequency / sample_rate);
    // The wrap is at ten cycles, once per step: the ramps rise over ten periods.
    if (phase > 10) phase = static_cast<float>(static_cast<double>(phase) - 10.0);
  }
  double sine_argument() const { return (static_cast<double>(phase) + phase_offset) * kTwoPi; }
  static float sine(double argument, float amplitude) {
    return static_cast<float>(std::sin(argument) * amplitude);
  }

  float get_output() const { return output; }

  static constexpr double kTwoPi = 6.2831853;  // 2 pi to eight digits, as the sound was tuned with

 private:
  void shape_other(Random& noise);  // every waveform but the sine
};
