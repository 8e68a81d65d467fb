#include "midi/midi_voice.h"

MidiAction MidiVoice::apply(const MidiMessage& message) {
  // The parser never makes anything else; a message put together by other
  // means that is not a channel message with 7-bit data is ignored.
  if (!is_midi_channel_status(message.status()) || message.data1() > 0x7F || message.data2() > 0x7F)
    return with_bend({});
  if (settings_.channel != 0 && message.channel() + 1 != settings_.channel) return with_bend({});
  switch (message.kind()) {
    case kMidiNoteOn:
      if (message.data2() > 0) return note_on(message.data1());
      return note_off(message.data1());
    case kMidiNoteOff:
      return note_off(message.data1());
    case kMidiControlChange:
      return control_change(message.data1(), message.data2());
    case kMidiPitchBend:
      return pitch_bend(message.data1(), message.data2());
    default:
      return with_bend({});
  }
}

MidiAction MidiVoice::note_on(uint8_t note) {
  remove_held(note);
  held_[held_count_++] = note;
  return play(note);
}

MidiAction MidiVoice::note_off(uint8_t note) {
  if (!remove_held(note)) return with_bend({});
  if (note != sounding_ || pedal_down_) return with_bend({});
  return fall_back();
}

MidiAction MidiVoice::control_change(uint8_t controller, uint8_t value) {
  switch (controller) {
    case 64:  // sustain pedal
      pedal_down_ = value >= 64;
      if (!pedal_down_ && sounding_ != kNone) {
        for (int i = 0; i < held_count_; ++i)
          if (held_[i] == sounding_) return with_bend({});
        return fall_back();
      }
      return with_bend({});
    case 121: {  // reset all controllers
      MidiAction action = control_change(64, 0);
      bend_value_ = 0;
      bend_ = 0;
      action.bend = 0;
      return action;
    }
    case 120:  // all sound off
    case 123:  // all notes off
    case 124:  // omni off, omni on, mono on, poly on: all notes off too
    case 125:
    case 126:
    case 127: {
      held_count_ = 0;
      pedal_down_ = false;
      MidiAction action;
      if (sounding_ != kNone) action.note = MidiAction::kRelease;
      sounding_ = kNone;
      return with_bend(action);
    }
    default:
      return with_bend({});
  }
}

MidiAction MidiVoice::pitch_bend(uint8_t lsb, uint8_t msb) {
  bend_value_ = (msb << 7 | lsb) - 8192;
  bend_ = bend_in_semitones();
  MidiAction action;
  action.bend = bend_;
  return action;
}

double MidiVoice::bend_in_semitones() const {
  return settings_.bend_range * static_cast<double>(bend_value_) / 8192.0;
}

void MidiVoice::change_settings(MidiSettings settings) {
  settings_ = settings;
  bend_ = bend_in_semitones();
}

MidiAction MidiVoice::fall_back() {
  if (held_count_ > 0) return play(held_[held_count_ - 1]);
  sounding_ = kNone;
  MidiAction action;
  action.note = MidiAction::kRelease;
  return with_bend(action);
}

MidiAction MidiVoice::play(int note) {
  sounding_ = note;
  MidiAction action;
  action.note = MidiAction::kPlay;
  action.engine_note = note - 11;
  return with_bend(action);
}

MidiAction MidiVoice::with_bend(MidiAction action) const {
  action.bend = bend_;
  return action;
}

bool MidiVoice::remove_held(uint8_t note) {
  for (int i = 0; i < held_count_; ++i) {
    if (held_[i] != note) continue;
    for (int j = i + 1; j < held_count_; ++j) held_[j - 1] = held_[j];
    --held_count_;
    return true;
  }
  return false;
}
