#pragma once
// One MIDI message timed within a block (a JACK period): its bytes as they
// came, and the frame of the block it applies before. The engine's render
// takes a block's events in this form.
#include <cstdint>

struct RawMidiEvent {
  uint32_t offset;    // frame within the block it applies before, 0..frames-1
  uint8_t size;       // 1 to 3 bytes are used
  uint8_t bytes[3];
};

// Longer messages (system exclusive) are never handed over: no note logic needs them.
constexpr int kRawMidiMaxBytes = 3;
