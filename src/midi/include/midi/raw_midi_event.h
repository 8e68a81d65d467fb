#pragma once
// One MIDI message timed within a block (a JACK period): its bytes as they
// came, and the frame of the block it applies before. The engine's render
// takes a block's events in this form.
#include <cstdint>

#include "midi_bytes.h"  // beside this header: the engine's public header takes both in without an include folder

struct RawMidiEvent {
  uint32_t offset = 0;  // frame within the block it applies before, 0..frames-1
  MidiBytes midi;       // 1 to 3 bytes are used
};

constexpr int kRawMidiMaxBytes = kMidiMaxBytes;
