#pragma once
#include <cstddef>
#include <cstdint>

#include "midi/midi_message.h"

// The one MIDI byte parser: fed a byte stream one byte at a time, it hands out
// complete channel messages. Live inputs, event scripts and the MIDI file
// reader all go through it.
//
// - Running status: data bytes after a complete message reuse its status byte.
// - Real-time bytes (0xF8..0xFF) are ignored wherever they appear, also between
//   the bytes of a message, which then goes on undisturbed.
// - System exclusive (0xF0 up to 0xF7 or the next status byte) is skipped.
// - System common messages (0xF1..0xF7) are skipped and cancel running status,
//   as MIDI says; their data bytes are dropped like any data byte that has no
//   status to belong to. A status byte in the middle of a message drops the
//   unfinished message.
// The MIDI file reader never feeds meta or system exclusive events in, so
// running status carries across them there.
//
// Allocation-free and lock-free: safe on the audio thread.
class MidiParser {
 public:
  // Takes one byte. True when it completes a message, which is written to
  // `message`; false otherwise (`message` is left alone).
  bool feed(uint8_t byte, MidiMessage& message);

  // Forgets running status and any unfinished message or system exclusive.
  void reset();

  // The status byte that data bytes now belong to; 0 when there is none.
  uint8_t running_status() const { return status_; }
  // True while some but not all data bytes of a message have arrived.
  bool in_message() const { return received_ > 0; }

 private:
  uint8_t status_ = 0;
  uint8_t data_[2] = {0, 0};
  uint8_t received_ = 0;
  bool in_system_exclusive_ = false;
};

// Why a byte sequence is or is not exactly one complete channel message.
enum class SingleMidiMessage : uint8_t {
  kComplete,
  kEmpty,               // no byte at all
  kNoStatusByte,        // starts with a data byte (running status is not allowed here)
  kNotAChannelMessage,  // starts with a system byte (0xF0..0xFF)
  kDataByteExpected,    // a status byte after the first byte
  kTooFewBytes,
  kTooManyBytes,
};

// Reads `bytes` as one complete channel message with a status byte of its own
// (an event script's `midi B1 [B2 [B3]]`). On kComplete `message` holds it.
SingleMidiMessage read_single_midi_message(const uint8_t* bytes, size_t count, MidiMessage& message);
