#pragma once
#include <cstdint>

// The amplitude envelope: attack ramp, decay window, optional sustain, release.
// One step per stereo frame. Times and falls are set for 44100 steps a
// second (one time unit is 200 steps there, 200/44100 s) and keep their
// length in seconds at any other rate (set_sample_rate):
//   time per step      0.005 x 44100 / rate (computed as 220.5 / rate,
//                      exactly 0.005 at 44100); the float `time` is rounded
//                      at every step, as at 44100
//   sustain fall       level - level / 1000 per step at 44100;
//                      elsewhere level x (1 - 1/1000)^(44100 / rate)
//   release fall       level - level / (100 x release_time) per step at
//                      44100; elsewhere level x (1 - 1/(100 x release_time))^(44100 / rate)
// At 44100 every formula is the historical one, bit for bit.
//
// Owned by the audio thread: the engine triggers, releases and steps it there,
// between frames, so nothing in it is shared. The console lines that go with
// a trigger ("TRIG") and a release ("UNTRIG") are the engine's to report.
struct Vca {
  static constexpr int kNameSize = 80;

  float time = 0;
  char name[kNameSize] = {};
  int32_t active = 0;          // 1 from a trigger until the envelope ends
  int32_t released = 0;        // 1 from a release until the next trigger
  float level = 0;
  float attack = 1.0f;
  float peak = 1.0f;
  float decay = 100.0f;
  float sustain = 0.0f;        // 0: no sustain, the decay runs down to 0
  float release_time = 0.0f;   // hundreds of steps; 0: silent at once

  // Steps per second from now on (kMinSampleRate..kMaxSampleRate of the engine).
  void set_sample_rate(int rate);
  int sample_rate() const { return sample_rate_; }

  void step();
  // Starts the envelope from its beginning: level 0 at time 0, not released.
  void trigger();
  // Lets the note go; level, time and active stay as they are.
  void release() { released = 1; }

 private:
  int sample_rate_ = 44100;
  double time_step_ = 0.005;     // time units per step
  double steps_ratio_ = 1.0;     // 44100 / rate: steps at 44100 that one step stands for
  double sustain_factor_ = 1.0 - 1.0 / 1000.0;  // (1 - 1/1000)^steps_ratio_
};
