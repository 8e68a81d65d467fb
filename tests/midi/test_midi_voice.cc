// The monophonic last-note-priority logic: what each message asks of the engine.
#include <gtest/gtest.h>

#include "midi/midi_voice.h"

namespace {

MidiMessage message(uint8_t status, uint8_t data1, uint8_t data2 = 0) {
  MidiMessage m;
  m.bytes[0] = status;
  m.bytes[1] = data1;
  m.bytes[2] = data2;
  m.size = midi_data_bytes_after(status) + 1;
  return m;
}

MidiMessage note_on(uint8_t note, uint8_t channel = 0) { return message(0x90 | channel, note, 100); }
MidiMessage note_off(uint8_t note, uint8_t channel = 0) { return message(0x80 | channel, note, 64); }
MidiMessage control(uint8_t controller, uint8_t value) { return message(0xB0, controller, value); }
MidiMessage bend(uint8_t lsb, uint8_t msb) { return message(0xE0, lsb, msb); }

// A compact picture of an action: "play 58", "release" or "nothing".
std::string note_of(const MidiAction& action) {
  switch (action.note) {
    case MidiAction::kPlay: return "play " + std::to_string(action.engine_note);
    case MidiAction::kRelease: return "release";
    default: return "nothing";
  }
}

std::string apply(MidiVoice& voice, const MidiMessage& m) { return note_of(voice.apply(m)); }

TEST(MidiVoiceNotes, NoteOnPlaysTheMidiNoteMinusEleven) {
  MidiVoice voice;
  EXPECT_EQ(apply(voice, note_on(69)), "play 58");  // A4, 440 Hz
  EXPECT_EQ(voice.sounding_note(), 69);
  EXPECT_EQ(apply(voice, note_on(81)), "play 70");  // an octave higher
  EXPECT_EQ(apply(voice, note_on(0)), "play -11");
  EXPECT_EQ(apply(voice, note_on(127)), "play 116");
  // Velocity does not matter, as long as it is not 0.
  EXPECT_EQ(apply(voice, message(0x90, 60, 1)), "play 49");
}

TEST(MidiVoiceNotes, ReleasingTheLastKeyReleases) {
  MidiVoice voice;
  apply(voice, note_on(60));
  EXPECT_EQ(apply(voice, note_off(60)), "release");
  EXPECT_EQ(voice.sounding_note(), -1);
  // Note on with velocity 0 is a note off.
  apply(voice, note_on(60));
  EXPECT_EQ(apply(voice, message(0x90, 60, 0)), "release");
  // A note off for a key that is not held does nothing at all.
  EXPECT_EQ(apply(voice, note_off(60)), "nothing");
  EXPECT_EQ(apply(voice, note_off(61)), "nothing");
}

TEST(MidiVoiceNotes, TheNewestHeldKeySoundsAgain) {
  MidiVoice voice;
  apply(voice, note_on(60));
  apply(voice, note_on(64));
  EXPECT_EQ(apply(voice, note_on(67)), "play 56");
  EXPECT_EQ(voice.held_count(), 3);
  // Releasing an older key changes nothing that sounds.
  EXPECT_EQ(apply(voice, note_off(64)), "nothing");
  EXPECT_EQ(voice.sounding_note(), 67);
  // Releasing the sounding key goes back to the newest one still held.
  EXPECT_EQ(apply(voice, note_off(67)), "play 49");
  EXPECT_EQ(voice.sounding_note(), 60);
  EXPECT_EQ(apply(voice, note_off(60)), "release");
}

TEST(MidiVoiceNotes, PressingAHeldKeyAgainMovesItToTheTop) {
  MidiVoice voice;
  apply(voice, note_on(60));
  apply(voice, note_on(64));
  apply(voice, note_on(67));
  EXPECT_EQ(apply(voice, note_on(60)), "play 49");  // retriggers
  EXPECT_EQ(voice.held_count(), 3);                 // held once, not twice
  EXPECT_EQ(voice.held_key(0), 60);
  EXPECT_EQ(voice.held_key(1), 67);
  EXPECT_EQ(voice.held_key(2), 64);
  EXPECT_EQ(apply(voice, note_off(60)), "play 56");  // 67 is now the newest
  EXPECT_EQ(apply(voice, note_off(67)), "play 53");
  EXPECT_EQ(apply(voice, note_off(64)), "release");
}

TEST(MidiVoiceNotes, AllOneHundredAndTwentyEightKeysAtOnce) {
  MidiVoice voice;
  for (int n = 0; n < 128; ++n) apply(voice, note_on(static_cast<uint8_t>(n)));
  EXPECT_EQ(voice.held_count(), 128);
  for (int n = 127; n > 0; --n) EXPECT_EQ(apply(voice, note_off(static_cast<uint8_t>(n))), "play " + std::to_string(n - 1 - 11));
  EXPECT_EQ(apply(voice, note_off(0)), "release");
}

TEST(MidiVoiceNotes, MessagesThatAreNotChannelMessagesAreIgnored) {
  // Only the parser makes messages, but one put together by hand may be wrong.
  MidiVoice voice;
  EXPECT_EQ(apply(voice, message(0x90, 0x80, 100)), "nothing");  // note 128
  EXPECT_EQ(apply(voice, message(0x90, 200, 100)), "nothing");
  EXPECT_EQ(apply(voice, message(0xF0, 60, 100)), "nothing");
  EXPECT_EQ(apply(voice, message(0x00, 60, 100)), "nothing");
  EXPECT_EQ(voice.held_count(), 0);
  EXPECT_EQ(voice.apply(message(0xE0, 0x00, 0x80)).bend, 0.0);  // msb out of range
}

TEST(MidiVoiceSustain, ThePedalKeepsAReleasedKeySounding) {
  MidiVoice voice;
  EXPECT_EQ(apply(voice, control(64, 64)), "nothing");  // 64 is down
  EXPECT_TRUE(voice.pedal_down());
  apply(voice, note_on(60));
  EXPECT_EQ(apply(voice, note_off(60)), "nothing");
  EXPECT_EQ(voice.sounding_note(), 60);
  EXPECT_EQ(apply(voice, control(64, 63)), "release");  // 63 is up
  EXPECT_FALSE(voice.pedal_down());
  EXPECT_EQ(voice.sounding_note(), -1);
}

TEST(MidiVoiceSustain, LiftingThePedalGoesBackToAHeldKey) {
  MidiVoice voice;
  apply(voice, control(64, 127));
  apply(voice, note_on(60));
  apply(voice, note_on(64));
  EXPECT_EQ(apply(voice, note_off(64)), "nothing");  // sustained
  EXPECT_EQ(apply(voice, control(64, 0)), "play 49");
  EXPECT_EQ(voice.sounding_note(), 60);
}

TEST(MidiVoiceSustain, LiftingThePedalWhileTheKeyIsHeldChangesNothing) {
  MidiVoice voice;
  apply(voice, control(64, 100));
  apply(voice, note_on(60));
  EXPECT_EQ(apply(voice, control(64, 10)), "nothing");
  EXPECT_EQ(apply(voice, note_off(60)), "release");
  // Without any note, the pedal does nothing either way.
  EXPECT_EQ(apply(voice, control(64, 127)), "nothing");
  EXPECT_EQ(apply(voice, control(64, 0)), "nothing");
}

TEST(MidiVoiceSustain, ASustainedNoteIsPressedAgain) {
  MidiVoice voice;
  apply(voice, control(64, 127));
  apply(voice, note_on(60));
  apply(voice, note_off(60));
  EXPECT_EQ(apply(voice, note_on(60)), "play 49");
  EXPECT_EQ(apply(voice, control(64, 0)), "nothing");  // held again
  EXPECT_EQ(apply(voice, note_off(60)), "release");
}

TEST(MidiVoiceAllNotesOff, ReleasesMidNoteAndForgetsHeldKeysAndPedal) {
  for (uint8_t controller : {120, 123, 124, 125, 126, 127}) {
    SCOPED_TRACE(int{controller});
    MidiVoice voice;
    apply(voice, control(64, 127));
    apply(voice, note_on(60));
    apply(voice, note_on(64));
    EXPECT_EQ(apply(voice, control(controller, 0)), "release");
    EXPECT_EQ(voice.held_count(), 0);
    EXPECT_FALSE(voice.pedal_down());
    EXPECT_EQ(voice.sounding_note(), -1);
    // The keys' later note offs find nothing.
    EXPECT_EQ(apply(voice, note_off(64)), "nothing");
    EXPECT_EQ(apply(voice, note_off(60)), "nothing");
    // Again, with nothing sounding: nothing to release.
    EXPECT_EQ(apply(voice, control(controller, 0)), "nothing");
    // Afterwards, notes play as usual.
    EXPECT_EQ(apply(voice, note_on(62)), "play 51");
    EXPECT_EQ(apply(voice, note_off(62)), "release");
  }
}

TEST(MidiVoiceAllNotesOff, OtherControllersAndMessagesDoNothing) {
  MidiVoice voice;
  apply(voice, note_on(60));
  for (uint8_t controller : {0, 1, 7, 10, 11, 63, 65, 66, 67, 119, 122})
    EXPECT_EQ(apply(voice, control(controller, 127)), "nothing") << int{controller};
  EXPECT_EQ(apply(voice, message(0xC0, 5)), "nothing");        // program change
  EXPECT_EQ(apply(voice, message(0xD0, 100)), "nothing");      // channel pressure
  EXPECT_EQ(apply(voice, message(0xA0, 60, 100)), "nothing");  // key pressure
  EXPECT_EQ(voice.sounding_note(), 60);
  EXPECT_EQ(voice.held_count(), 1);
  EXPECT_EQ(apply(voice, note_off(60)), "release");
}

TEST(MidiVoiceBend, RangeTimesValueOverEightThousandOneHundredNinetyTwo) {
  MidiVoice voice;  // default range: 2 semitones
  // 14-bit value = msb * 128 + lsb; 8192 (0x2000: lsb 0x00, msb 0x40) is the centre.
  MidiAction action = voice.apply(bend(0x00, 0x40));
  EXPECT_EQ(action.bend, 0.0);
  action = voice.apply(bend(0x00, 0x60));  // 12288: a quarter of full range up
  EXPECT_EQ(action.bend, 1.0);
  EXPECT_EQ(action.note, MidiAction::kNothing);
  EXPECT_EQ(voice.apply(bend(0x00, 0x00)).bend, -2.0);  // 0: all the way down
  // 16383: one step short of +2, i.e. 2 - 2/8192.
  EXPECT_EQ(voice.apply(bend(0x7F, 0x7F)).bend, 1.999755859375);
  EXPECT_EQ(voice.apply(bend(0x01, 0x40)).bend, 0.000244140625);  // 8193: 2/8192
  EXPECT_EQ(voice.bend(), 0.000244140625);

  MidiVoice octave(MidiSettings{0, 12});
  EXPECT_EQ(octave.apply(bend(0x00, 0x60)).bend, 6.0);
  EXPECT_EQ(octave.apply(bend(0x00, 0x00)).bend, -12.0);
  MidiVoice widest(MidiSettings{0, 24});
  EXPECT_EQ(widest.apply(bend(0x7F, 0x7F)).bend, 23.9970703125);  // 24 - 24/8192
  MidiVoice none(MidiSettings{0, 0});
  EXPECT_EQ(none.apply(bend(0x7F, 0x7F)).bend, 0.0);
}

TEST(MidiVoiceBend, EveryActionCarriesTheBendOfTheMoment) {
  MidiVoice voice;
  voice.apply(bend(0x00, 0x20));  // 4096: -1 semitone
  MidiAction action = voice.apply(note_on(60));
  EXPECT_EQ(action.bend, -1.0);
  EXPECT_EQ(voice.apply(note_off(60)).bend, -1.0);
  // The bend outlives notes; all notes off leaves it too.
  EXPECT_EQ(voice.apply(control(123, 0)).bend, -1.0);
}

TEST(MidiVoiceBend, ResetAllControllersCentresTheBendAndLiftsThePedal) {
  MidiVoice voice;
  voice.apply(bend(0x00, 0x60));
  voice.apply(control(64, 127));
  voice.apply(note_on(60));
  voice.apply(note_on(64));
  voice.apply(note_off(64));  // sustained
  MidiAction action = voice.apply(control(121, 0));
  EXPECT_EQ(action.bend, 0.0);
  EXPECT_EQ(note_of(action), "play 49");  // pedal up: back to the held key
  EXPECT_FALSE(voice.pedal_down());
  action = voice.apply(control(121, 0));
  EXPECT_EQ(action.bend, 0.0);
  EXPECT_EQ(note_of(action), "nothing");
}

TEST(MidiVoiceChannels, OnlyTheChosenChannelIsHeard) {
  MidiVoice voice(MidiSettings{3, 2});  // MIDI channel 3: status nibble 2
  EXPECT_EQ(apply(voice, note_on(60, 0)), "nothing");
  EXPECT_EQ(apply(voice, note_on(60, 3)), "nothing");
  EXPECT_EQ(apply(voice, note_on(60, 2)), "play 49");
  EXPECT_EQ(apply(voice, note_off(60, 0)), "nothing");
  EXPECT_EQ(apply(voice, message(0xB0, 123, 0)), "nothing");
  EXPECT_EQ(voice.apply(message(0xE0, 0x00, 0x60)).bend, 0.0);
  EXPECT_EQ(voice.sounding_note(), 60);
  EXPECT_EQ(apply(voice, note_off(60, 2)), "release");

  MidiVoice sixteen(MidiSettings{16, 2});
  EXPECT_EQ(apply(sixteen, note_on(60, 14)), "nothing");
  EXPECT_EQ(apply(sixteen, note_on(60, 15)), "play 49");
}

TEST(MidiVoiceChannels, AllChannelsShareOneHeldListAndPedal) {
  MidiVoice voice;  // channel 0: all
  apply(voice, note_on(60, 0));
  EXPECT_EQ(apply(voice, note_on(64, 9)), "play 53");
  EXPECT_EQ(apply(voice, note_off(64, 4)), "play 49");  // released on another channel
  apply(voice, message(0xBF, 64, 127));                 // pedal on channel 16
  EXPECT_EQ(apply(voice, note_off(60, 1)), "nothing");
  EXPECT_EQ(apply(voice, message(0xB7, 64, 0)), "release");
}

TEST(MidiVoiceOtherNotes, AKeyOrAutoPlayNoteEndsTheMidiNote) {
  MidiVoice voice;
  apply(voice, note_on(60));
  apply(voice, note_on(64));
  voice.other_note_started();
  EXPECT_EQ(voice.sounding_note(), -1);
  EXPECT_EQ(voice.held_count(), 2);  // held keys stay
  // The note offs of the MIDI keys leave the other note alone.
  EXPECT_EQ(apply(voice, note_off(64)), "nothing");
  EXPECT_EQ(apply(voice, note_off(60)), "nothing");
  EXPECT_EQ(voice.held_count(), 0);
  // So does all notes off.
  apply(voice, note_on(67));
  voice.other_note_started();
  EXPECT_EQ(apply(voice, control(123, 0)), "nothing");
  // A new note on plays as usual.
  EXPECT_EQ(apply(voice, note_on(69)), "play 58");
}

TEST(MidiVoiceOtherNotes, ThePedalStaysDownButHoldsNothing) {
  MidiVoice voice;
  apply(voice, control(64, 127));
  apply(voice, note_on(60));
  apply(voice, note_off(60));  // sustained
  voice.other_note_started();
  EXPECT_TRUE(voice.pedal_down());
  EXPECT_EQ(apply(voice, control(64, 0)), "nothing");
  // Bends still reach whatever sounds: 10240, an eighth of full range up.
  EXPECT_EQ(voice.apply(bend(0x00, 0x50)).bend, 0.5);
}

}  // namespace
