#pragma once
#include <cstdint>

// The amplitude envelope: attack ramp, decay window, optional sustain, release.
// One time unit is 200 steps; one step per stereo frame.
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

  void step();
  // Starts the envelope from its beginning: level 0 at time 0, not released.
  void trigger();
  // Lets the note go; level, time and active stay as they are.
  void release() { released = 1; }
};
