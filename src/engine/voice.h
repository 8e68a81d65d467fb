#pragma once
// One voice of a polyphonic engine and the rule that picks the voice a new
// note takes. A voice is a whole copy of the patch with an envelope of its
// own, playing one note.
#include <cstdint>

#include "synth/vca.h"
#include "wsy/engine.h"

struct Voice {
  Patch* patch = nullptr;  // this voice's copy of the patch playing
  Vca vca;
  double gain = 1.0;         // the note's velocity scaling
  Report::Origin origin = Report::kByKey;
  int32_t note = 0;          // the engine note it plays (58 is 440 Hz)
  int midi_key = -1;         // the MIDI key that started it, or -1
  bool busy = false;         // sounding: evaluated every frame. Free voices cost nothing
  bool key_down = false;     // its key (MIDI or letter) is still held
  bool sustained = false;    // its MIDI key is up and the pedal holds it
  int64_t started = 0;       // the order of its note's start among the engine's events
  int64_t released_at = -1;  // the order of its release, -1 while held

  bool released() const { return vca.released != 0; }
};

// Below this level a released voice is inaudible (under half a step of the
// 16-bit output at full scale) and free for another note.
constexpr float kFreeLevel = 1.0f / 65536.0f;

// The voice a note on takes among `count`: a free one (the lowest); with none
// free, the voice already playing the same note (retriggered), then the
// released voice released longest ago, then the voice whose note started
// longest ago.
int choose_voice(const Voice* voices, int count, int32_t note);
