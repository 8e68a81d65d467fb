#include "midi/midi_parser.h"

bool MidiParser::feed(uint8_t byte, MidiMessage& message) {
  if (is_midi_real_time(byte)) return false;
  if (is_midi_channel_status(byte)) {
    status_ = byte;
    received_ = 0;
    in_system_exclusive_ = false;
    return false;
  }
  if (is_midi_status_byte(byte)) {
    // 0xF0 opens system exclusive; 0xF7 closes it; 0xF1..0xF6 are system
    // common. Each ends whatever came before and cancels running status.
    status_ = 0;
    received_ = 0;
    in_system_exclusive_ = byte == 0xF0;
    return false;
  }
  if (in_system_exclusive_ || status_ == 0) return false;  // a byte of sysex, or stray
  data_[received_++] = byte;
  if (received_ < midi_data_bytes_after(status_)) return false;
  message.bytes[0] = status_;
  message.bytes[1] = data_[0];
  message.bytes[2] = received_ > 1 ? data_[1] : 0;
  message.size = static_cast<uint8_t>(received_ + 1);
  received_ = 0;
  return true;
}

void MidiParser::reset() {
  status_ = 0;
  received_ = 0;
  in_system_exclusive_ = false;
}

SingleMidiMessage read_single_midi_message(const uint8_t* bytes, size_t count, MidiMessage& message) {
  if (count == 0) return SingleMidiMessage::kEmpty;
  if (!is_midi_status_byte(bytes[0])) return SingleMidiMessage::kNoStatusByte;
  if (!is_midi_channel_status(bytes[0])) return SingleMidiMessage::kNotAChannelMessage;
  MidiParser parser;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0 && is_midi_status_byte(bytes[i])) return SingleMidiMessage::kDataByteExpected;
    if (parser.feed(bytes[i], message))
      return i + 1 == count ? SingleMidiMessage::kComplete : SingleMidiMessage::kTooManyBytes;
  }
  return SingleMidiMessage::kTooFewBytes;
}
