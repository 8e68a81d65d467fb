#pragma once
// The bytes of one MIDI message, the one record every part of wsy carries
// them in: the parser's complete messages, a block's timed events, the
// engine's MIDI commands. It needs nothing but <cstdint>, so that the
// engine's public header can take it in as it is.
#include <cstdint>

// Longer messages (system exclusive) are never handed over: no note logic needs them.
constexpr int kMidiMaxBytes = 3;

struct MidiBytes {
  uint8_t size = 0;  // bytes used, 0 to 3
  uint8_t bytes[kMidiMaxBytes] = {0, 0, 0};

  // The first `count` (at most 3) of `data`.
  static MidiBytes of(const uint8_t* data, int count) {
    MidiBytes midi;
    midi.size = static_cast<uint8_t>(count < 0 ? 0 : count < kMidiMaxBytes ? count : kMidiMaxBytes);
    for (int i = 0; i < midi.size; ++i) midi.bytes[i] = data[i];
    return midi;
  }
};
