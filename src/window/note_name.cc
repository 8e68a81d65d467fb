#include "window/note_name.h"

#include <cmath>
#include <cstdio>

namespace {
// Engine note 58 is A4, MIDI note 69: engine notes sit 11 below MIDI's.
constexpr int32_t kMidiOffset = 11;
constexpr const char* kPitchNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
}  // namespace

std::string note_name(int32_t note) {
  const int64_t midi = static_cast<int64_t>(note) + kMidiOffset;
  const int64_t pitch = ((midi % 12) + 12) % 12;
  const int64_t octave = (midi - pitch) / 12 - 1;  // MIDI 60 is C4
  return kPitchNames[pitch] + std::to_string(octave);
}

std::string whole_hertz(double hz) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f Hz", std::round(hz));
  return text;
}
