#pragma once
#include <cstdint>

#include "midi/midi_message.h"

// What the engine does after one MIDI message.
struct MidiAction {
  enum Note : uint8_t {
    kNothing,
    kPlay,     // base_note := engine_note, then trigger (prints "TRIG")
    kRelease,  // release the envelope (prints "UNTRIG")
  };
  Note note = kNothing;
  int32_t engine_note = 0;    // with kPlay: the MIDI note - 11 (MIDI 69 is engine note 58, 440 Hz)
  double bend = 0;            // the pitch bend now, in semitones (always set)
};

struct MidiSettings {
  uint8_t channel = 0;     // 1..16: listen to that channel only; 0: to all of them
  uint8_t bend_range = 2;  // semitones at full pitch bend, 0..24
};

// The monophonic, last-note-priority keyboard logic for MIDI. It keeps the held
// keys (newest first), the sustain pedal, the sounding MIDI note and the pitch
// bend, and says what each message asks of the engine:
//
// - Messages on other channels than the one chosen are ignored; so are
//   velocity, key and channel pressure, program change and other controllers.
// - Note on m (velocity > 0): m goes to the top of the held keys and sounds.
// - Note off m (or note on with velocity 0): m leaves the held keys; if it
//   was sounding, it keeps sounding while the pedal is down, otherwise the
//   newest held key sounds again, or, with none held, the note is released.
// - CC 64 (sustain) >= 64 puts the pedal down; below 64 lifts it, and a
//   sounding note whose key is up then ends as under note off.
// - CC 120, 123, 124..127: held keys forgotten, pedal lifted, the sounding
//   MIDI note released.
// - CC 121: bend back to 0, pedal lifted.
// - Pitch bend: bend = range * (value - 8192) / 8192 semitones.
//
// Runs on the audio thread: fixed storage, no allocation, no lock.
class MidiVoice {
 public:
  explicit MidiVoice(MidiSettings settings = {}) : settings_(settings) {}

  MidiAction apply(const MidiMessage& message);

  // A letter key, Enter or the auto-play started a note: it ends the sounding
  // MIDI note (its note off will do nothing). Held keys and pedal stay.
  void other_note_started() { sounding_ = kNone; }

  // New settings while playing (a plugin's controls): the held keys and the
  // pedal stay; the bend held now is heard at the new range.
  void change_settings(MidiSettings settings);

  // For the engine's retune and for tests.
  double bend() const { return bend_; }
  int sounding_note() const { return sounding_; }  // the MIDI note, or -1
  bool pedal_down() const { return pedal_down_; }
  int held_count() const { return held_count_; }
  int held_key(int newest_first) const { return held_[held_count_ - 1 - newest_first]; }
  const MidiSettings& settings() const { return settings_; }

 private:
  static constexpr int kNone = -1;

  MidiAction note_on(uint8_t note);
  MidiAction note_off(uint8_t note);
  MidiAction control_change(uint8_t controller, uint8_t value);
  MidiAction pitch_bend(uint8_t lsb, uint8_t msb);
  // The sounding note's key is up and no pedal holds it: the newest held key
  // sounds again, or the note is released.
  MidiAction fall_back();
  MidiAction play(int note);
  MidiAction with_bend(MidiAction action) const;
  double bend_in_semitones() const;
  bool remove_held(uint8_t note);

  MidiSettings settings_;
  uint8_t held_[128] = {};  // held keys, oldest first; each at most once
  int held_count_ = 0;
  int sounding_ = kNone;
  bool pedal_down_ = false;
  int bend_value_ = 0;  // the last pitch bend, -8192..8191
  double bend_ = 0;      // it in semitones at the range chosen
};
