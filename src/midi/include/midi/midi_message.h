#pragma once
#include <cstdint>

#include "midi/midi_bytes.h"

// One complete MIDI channel message (note off/on, key pressure, control change,
// program change, channel pressure, pitch bend): a status byte 0x80..0xEF and
// its one or two data bytes (0..127). Only MidiParser makes these.
// Its bytes are a MidiBytes record of size 2 or 3.
struct MidiMessage : MidiBytes {

  uint8_t status() const { return bytes[0]; }
  uint8_t kind() const { return bytes[0] & 0xF0; }     // one of the kMidi* kinds below
  uint8_t channel() const { return bytes[0] & 0x0F; }  // 0..15 (MIDI channels 1..16)
  uint8_t data1() const { return bytes[1]; }
  uint8_t data2() const { return size > 2 ? bytes[2] : 0; }
};

// Message kinds: the high nibble of the status byte.
constexpr uint8_t kMidiNoteOff = 0x80;
constexpr uint8_t kMidiNoteOn = 0x90;
constexpr uint8_t kMidiKeyPressure = 0xA0;
constexpr uint8_t kMidiControlChange = 0xB0;
constexpr uint8_t kMidiProgramChange = 0xC0;
constexpr uint8_t kMidiChannelPressure = 0xD0;
constexpr uint8_t kMidiPitchBend = 0xE0;

constexpr bool is_midi_status_byte(uint8_t byte) { return byte >= 0x80; }
constexpr bool is_midi_channel_status(uint8_t byte) { return byte >= 0x80 && byte < 0xF0; }
// Clock, start, stop, active sensing, reset...: single bytes that may appear
// anywhere, even between the bytes of another message.
constexpr bool is_midi_real_time(uint8_t byte) { return byte >= 0xF8; }

// Data bytes that follow a channel status byte: one for program change and
// channel pressure, two for the others.
constexpr uint8_t midi_data_bytes_after(uint8_t channel_status) {
  const uint8_t kind = channel_status & 0xF0;
  return (kind == kMidiProgramChange || kind == kMidiChannelPressure) ? 1 : 2;
}
