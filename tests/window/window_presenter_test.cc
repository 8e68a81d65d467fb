// What the window gathers from a real engine's reports, with one voice and
// with several: the notes sounding, what started each, how many voices are
// busy, the keys held; and the words it shows for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "session/key_table.h"
#include "window/note_name.h"
#include "window/sounding_text.h"
#include "window/window_presenter.h"
#include "wsy/engine.h"

namespace {

constexpr const char* kSinePatch = "LFO1;*FREQ=0;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n";

// An engine with `voices` voices and the presenter it reports to, the engine
// played block by block on this thread as wsy-render plays it.
struct Played {
  std::unique_ptr<Engine> engine;
  WindowPresenter window;

  explicit Played(int voices, bool autoplay = false) {
    EngineSettings settings;
    settings.voices = voices;
    settings.voice_room = voices;
    settings.autoplay = autoplay;
    LoadResult result;
    engine = Engine::from_text(kSinePatch, "sine.wsy", settings, {}, result);
    EXPECT_TRUE(engine) << result.error;
    window.show_voices(engine->settings().voices);
  }

  void midi(uint8_t status, uint8_t key, uint8_t value) {
    const uint8_t bytes[3] = {status, key, value};
    ASSERT_TRUE(engine->send(Command::midi_message(bytes, 3)));
  }
  void key_down(char key) { ASSERT_TRUE(engine->send(Command::play_note(*note_for_key(key)))); }
  void key_up(char key) { ASSERT_TRUE(engine->send(Command::release_note(*note_for_key(key)))); }

  // Plays `frames` frames and hands every report to the window, as main.cc does.
  void play(int frames) {
    std::vector<int16_t> out(2 * 256);
    for (int done = 0; done < frames; done += 256) {
      engine->render(std::min(256, frames - done), out.data());
      Report report;
      while (engine->take_report(report)) window.take(report);
    }
  }

  const WindowState& state() const { return window.state(); }
};

TEST(WindowVoices, ChordShowsEachNoteWithWhatStartedIt) {
  Played p(8);
  p.midi(0x90, 57, 100);  // A3
  p.midi(0x90, 61, 90);   // C#4
  p.midi(0x90, 64, 80);   // E4
  p.key_down('z');        // A4
  p.play(512);
  EXPECT_EQ(p.state().voices, 8);
  EXPECT_EQ(busy_voices(p.state()), 4);
  EXPECT_EQ(voices_heading(p.state()), "Sounding: 4 of 8 voices");
  EXPECT_EQ(voice_notes_text(p.state()), "A4 (key)   A3 C#4 E4 (MIDI)");
  EXPECT_EQ(p.state().held_keys, std::vector<int32_t>{'z'});

  // Each voice's note at its pitch: A3 220 Hz, C#4 277.18 Hz, E4 329.63 Hz, A4 440 Hz.
  std::vector<double> hz;
  for (const SoundingNote& voice : p.state().voice_notes) {
    if (voice.cause != SoundingNote::Cause::kNone) hz.push_back(voice.hz);
  }
  std::sort(hz.begin(), hz.end());
  ASSERT_EQ(hz.size(), 4u);
  EXPECT_NEAR(hz[0], 220.0, 0.005);
  EXPECT_NEAR(hz[1], 277.183, 0.005);
  EXPECT_NEAR(hz[2], 329.628, 0.005);
  EXPECT_NEAR(hz[3], 440.0, 0.005);
}

TEST(WindowVoices, FreedVoiceLeavesAndTheCountFollows) {
  Played p(8);
  p.midi(0x90, 57, 100);
  p.midi(0x90, 61, 100);
  p.key_down('x');
  p.key_down('c');
  p.play(512);
  EXPECT_EQ(voices_heading(p.state()), "Sounding: 4 of 8 voices");
  EXPECT_EQ(p.state().held_keys, (std::vector<int32_t>{'x', 'c'}));

  p.midi(0x80, 61, 0);  // C#4 off: its voice is released, then free
  p.play(512);
  EXPECT_EQ(voices_heading(p.state()), "Sounding: 3 of 8 voices");
  EXPECT_EQ(voice_notes_text(p.state()), "A#4 C5 (key)   A3 (MIDI)");

  p.key_up('x');
  p.play(512);
  EXPECT_EQ(voice_notes_text(p.state()), "C5 (key)   A3 (MIDI)");
  EXPECT_EQ(p.state().held_keys, std::vector<int32_t>{'c'});
  EXPECT_EQ(p.state().held_key, 'c') << "the latest key is still held";

  // Held notes run out by themselves: every voice free again.
  p.play(3 * 44100);
  EXPECT_EQ(voices_heading(p.state()), "Sounding: 0 of 8 voices");
  EXPECT_EQ(voice_notes_text(p.state()), "");
}

TEST(WindowVoices, AllNotesOffAndAllSoundOffEmptyTheList) {
  for (const uint8_t controller : {123, 120}) {
    Played p(4);
    p.midi(0x90, 50, 100);
    p.midi(0x90, 55, 100);
    p.play(256);
    ASSERT_EQ(busy_voices(p.state()), 2);
    p.midi(0xB0, controller, 0);
    p.play(512);
    EXPECT_EQ(busy_voices(p.state()), 0) << int(controller);
  }
}

TEST(WindowVoices, AStolenVoiceShowsItsNewNote) {
  Played p(2);
  p.midi(0x90, 57, 100);  // A3
  p.play(256);
  p.midi(0x90, 61, 100);  // C#4
  p.play(256);
  p.midi(0x90, 64, 100);  // E4: no voice free, the oldest note's is taken
  p.play(256);
  EXPECT_EQ(voices_heading(p.state()), "Sounding: 2 of 2 voices");
  EXPECT_EQ(voice_notes_text(p.state()), "C#4 E4 (MIDI)");
}

TEST(WindowVoices, EnterAndAutoPlayAreNamed) {
  Played p(4);
  p.midi(0x90, 61, 100);
  p.play(256);
  p.midi(0x80, 61, 0);
  p.play(256);
  ASSERT_EQ(busy_voices(p.state()), 0);
  ASSERT_TRUE(p.engine->send(Command::replay()));  // the last note again
  p.play(256);
  EXPECT_EQ(voice_notes_text(p.state()), "C#4 (Enter)");

  Played automatic(4, true);
  automatic.play(256);
  EXPECT_EQ(voices_heading(automatic.state()), "Sounding: 1 of 4 voices");
  const std::string text = voice_notes_text(automatic.state());
  EXPECT_TRUE(text.size() > 12 && text.ends_with(" (auto-play)")) << text;
  for (const SoundingNote& voice : automatic.state().voice_notes) {
    if (voice.cause != SoundingNote::Cause::kNone) {
      EXPECT_EQ(text, note_name(voice.note) + " (auto-play)");
    }
  }
}

TEST(WindowVoices, OneVoiceIsTheMonophonicKeyboard) {
  Played p(1);
  EXPECT_EQ(p.state().voices, 1);
  p.midi(0x90, 57, 100);
  p.play(256);
  EXPECT_TRUE(p.state().voice_notes.empty());
  EXPECT_EQ(sounding_text(p.state().sounding), "Sounding: A3   note 46   220.00 Hz   (MIDI)");
  p.key_down('z');
  p.key_down('x');
  p.play(256);
  EXPECT_EQ(p.state().held_key, 'x') << "only the latest key is lit";
  EXPECT_TRUE(p.state().held_keys.empty());
  EXPECT_EQ(sounding_text(p.state().sounding), "Sounding: A#4   note 59   466.16 Hz   (key)");
  p.key_up('x');
  p.play(256);
  EXPECT_EQ(sounding_text(p.state().sounding), "Sounding: nothing");
  // Enter's note (the last one again) is shown as a key's, as the window always has.
  ASSERT_TRUE(p.engine->send(Command::replay()));
  p.play(256);
  EXPECT_EQ(sounding_text(p.state().sounding), "Sounding: A#4   note 59   466.16 Hz   (key)");
}

TEST(WindowVoices, NoteListBreaksAtSpacesKeepingACauseWithItsNote) {
  const auto at_most = [](size_t n) { return [n](const std::string& line) { return line.size() <= n; }; };
  const std::string text = "A4 C#5 (key)   A3 C#4 E4 (MIDI)";
  EXPECT_EQ(wrap_words(text, at_most(100)), std::vector<std::string>{text});
  EXPECT_EQ(wrap_words(text, at_most(14)),
            (std::vector<std::string>{"A4 C#5 (key)", "A3 C#4", "E4 (MIDI)"}));
  EXPECT_EQ(wrap_words(text, at_most(4)),
            (std::vector<std::string>{"A4", "C#5 (key)", "A3", "C#4", "E4 (MIDI)"}));
  EXPECT_TRUE(wrap_words("", at_most(10)).empty());
}

}  // namespace
