// Several voices: the rule that picks a note's voice, and the engine playing
// with 2 to 8 (and 32) voices. Where the samples are checked they are checked
// against engines with one voice playing the same notes alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine_core.h"
#include "patch/patch.h"
#include "session/key_table.h"
#include "voice.h"
#include "wsy/engine.h"
#include "../test_support.h"

namespace {

// ---- choose_voice, table by table ----

// One voice's state as the rule sees it.
struct Row {
  bool busy;
  int32_t note;
  int64_t started;
  int64_t released_at;  // -1: held (its key or the pedal holds it)
};

struct Choice {
  const char* what;
  std::vector<Row> voices;
  int32_t note;
  int expected;
};

std::vector<Voice> voices_of(const std::vector<Row>& rows) {
  std::vector<Voice> voices(rows.size());
  for (size_t v = 0; v < rows.size(); ++v) {
    voices[v].busy = rows[v].busy;
    voices[v].note = rows[v].note;
    voices[v].started = rows[v].started;
    voices[v].released_at = rows[v].released_at;
    voices[v].vca.active = rows[v].busy;
    voices[v].vca.released = rows[v].released_at >= 0;
  }
  return voices;
}

TEST(ChooseVoice, TheRulesInOrder) {
  const Choice table[] = {
      {"all free: the first", {{false, 58, 0, -1}, {false, 58, 0, -1}}, 60, 0},
      {"the lowest free one", {{true, 58, 0, -1}, {true, 59, 1, -1}, {false, 60, 2, 3}, {false, 0, 0, -1}}, 61, 2},
      {"a free voice before the one playing the same note", {{true, 58, 0, -1}, {false, 61, 1, 2}}, 58, 1},
      {"a free voice before a released one", {{true, 58, 0, 1}, {false, 61, 2, -1}}, 62, 1},
      {"none free: the voice playing the same note", {{true, 58, 0, -1}, {true, 60, 1, -1}, {true, 62, 2, -1}}, 60, 1},
      {"the same note, although released and not the oldest",
       {{true, 58, 0, -1}, {true, 60, 1, 5}, {true, 62, 2, 3}}, 60, 1},
      {"the same note before a voice released longer ago", {{true, 58, 3, -1}, {true, 60, 1, 2}}, 58, 0},
      {"the released voice released longest ago", {{true, 58, 0, -1}, {true, 60, 1, 6}, {true, 62, 2, 4}}, 64, 2},
      {"a released voice before an older held one", {{true, 58, 0, -1}, {true, 60, 5, 9}}, 64, 1},
      {"released longest ago, not started longest ago", {{true, 58, 1, 7}, {true, 60, 4, 5}, {true, 62, 0, -1}}, 64, 1},
      {"all held: the one started longest ago", {{true, 58, 3, -1}, {true, 60, 1, -1}, {true, 62, 2, -1}}, 64, 1},
      {"all held: the oldest, wherever it is", {{true, 58, 5, -1}, {true, 60, 6, -1}, {true, 62, 4, -1}}, 64, 2},
      {"one voice, busy: itself", {{true, 58, 0, -1}}, 64, 0},
  };
  for (const Choice& c : table) {
    SCOPED_TRACE(c.what);
    const std::vector<Voice> voices = voices_of(c.voices);
    EXPECT_EQ(choose_voice(voices.data(), static_cast<int>(voices.size()), c.note), c.expected);
  }
}

TEST(ChooseVoice, OnlyTheFirstCountVoicesAreChosenFrom) {
  // Four voices of room, two in use: the free ones beyond the count are not there.
  const std::vector<Voice> voices =
      voices_of({{true, 58, 1, -1}, {true, 60, 0, -1}, {false, 62, 0, -1}, {false, 64, 0, -1}});
  EXPECT_EQ(choose_voice(voices.data(), 2, 66), 1);
  EXPECT_EQ(choose_voice(voices.data(), 3, 66), 2);
}

// ---- The engine with several voices ----

// A sine at the note played, loud enough that eight voices in phase pass full scale.
constexpr const char* kTone = "LFO1;*FREQ=0;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n";
// The same an octave up: a patch to reload into.
constexpr const char* kToneOctaveUp = "LFO1;*FREQ=0;\nVCO1;*NOTE=12;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n";

MidiBytes bytes(std::initializer_list<uint8_t> b) {
  MidiBytes m;
  m.size = static_cast<uint8_t>(b.size());
  std::copy(b.begin(), b.end(), m.bytes);
  return m;
}

// An engine of `voices` voices, its reports gathered as the programs take them.
struct Play {
  std::unique_ptr<Engine> engine;
  std::string printed;
  std::vector<Report> reports;  // every report since the start
  std::vector<int16_t> samples;  // every frame since the start, left and right

  explicit Play(int voices, bool autoplay = false, const std::string& text = kTone, double velocity = 0) {
    EngineSettings settings;
    settings.voices = voices;
    settings.autoplay = autoplay;
    settings.velocity = velocity;
    LoadResult result;
    engine = Engine::from_text(text, "voices.wsy", settings, LoadOptions{}, result);
    EXPECT_TRUE(engine) << result.error;
  }
  EngineCore& core() { return engine_core(*engine); }
  const Voice& voice(int v) { return core().voice(v); }
  Vco& vco(int v) { return *voice(v).patch->find_vco("VCO1"); }
  int busy() {
    int n = 0;
    for (int v = 0; v < core().voice_count(); ++v) n += voice(v).busy;
    return n;
  }
  void send(const Command& command) { ASSERT_TRUE(engine->send(command)); }
  void midi(std::initializer_list<uint8_t> b, int64_t frame = Command::kAtOnce) {
    send(Command::midi_message(bytes(b), frame));
  }
  // Renders `frames` frames; returns their left samples.
  std::vector<int16_t> render(int frames) {
    std::vector<int16_t> out(2 * static_cast<size_t>(frames));
    engine->render(frames, out.data());
    samples.insert(samples.end(), out.begin(), out.end());
    Report report;
    while (engine->take_report(report)) {
      if (const char* text = report_text(report)) printed += text;
      reports.push_back(report);
    }
    std::vector<int16_t> left(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) left[i] = out[2 * i];
    return left;
  }
  // The voices of the reports of `kind`, in order, from report `from` on.
  std::vector<int> voices_of(Report::Kind kind, size_t from = 0) const {
    std::vector<int> list;
    for (size_t i = from; i < reports.size(); ++i)
      if (reports[i].kind == kind) list.push_back(reports[i].voice);
    return list;
  }
};

// The left channel of a one-voice engine playing `note` alone from frame
// `start` (a key held throughout), `frames` frames in all.
std::vector<int16_t> alone(int32_t note, int frames, int start = 0, const std::string& text = kTone) {
  Play mono(1, false, text);
  mono.send(Command::play_note(note, start));
  return mono.render(frames);
}

class Voices : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(TwoToEight, Voices, ::testing::Range(2, 9));

// Notes of the six keys and beyond, all different.
int32_t nth_note(int i) { return 50 + 3 * i; }

TEST_P(Voices, EachNoteTakesAFreeVoiceUntilNoneIsFree) {
  const int n = GetParam();
  Play run(n);
  for (int i = 0; i < n; ++i) run.send(Command::play_note(nth_note(i)));
  run.render(500);  // past the attack, which a release does not cut short
  std::vector<int> expected(n);
  for (int i = 0; i < n; ++i) expected[i] = i;
  EXPECT_EQ(run.voices_of(Report::kTrig), expected);
  EXPECT_EQ(run.busy(), n);
  for (int v = 0; v < n; ++v) {
    EXPECT_EQ(run.voice(v).note, nth_note(v));
    EXPECT_EQ(run.voice(v).patch->base_note, nth_note(v));
  }
  // Every voice's oscillator at its own note's pitch, as a voice alone plays it.
  for (int v = 0; v < n; ++v) {
    Play mono(1);
    mono.send(Command::play_note(nth_note(v)));
    mono.render(10);
    EXPECT_EQ(run.vco(v).frequency, mono.vco(0).frequency) << v;
  }
  // A voice let go falls silent at once (this envelope has no release time)
  // and the next note takes it.
  const size_t before = run.reports.size();
  run.send(Command::release_note(nth_note(n / 2)));
  run.render(2);
  EXPECT_EQ(run.voices_of(Report::kVoiceFree, before), std::vector<int>{n / 2});
  run.send(Command::play_note(90));
  run.render(1);
  EXPECT_EQ(run.voices_of(Report::kTrig, before), std::vector<int>{n / 2});
  EXPECT_EQ(run.voice(n / 2).note, 90);
}

TEST_P(Voices, TheSameNoteIsRetriggeredOnItsVoiceWhenNoneIsFree) {
  const int n = GetParam();
  Play run(n);
  for (int i = 0; i < n; ++i) run.send(Command::play_note(nth_note(i)));
  run.render(3000);
  const int v = n - 1;  // the newest: not the one the oldest rule would take
  std::vector<int64_t> started(n);
  for (int i = 0; i < n; ++i) started[i] = run.voice(i).started;
  const size_t before = run.reports.size();
  run.midi({0x90, static_cast<uint8_t>(nth_note(v) + 11), 100});
  run.render(1);
  EXPECT_EQ(run.voices_of(Report::kTrig, before), std::vector<int>{v});
  EXPECT_EQ(run.voice(v).origin, Report::kByMidi);
  // Its envelope starts again: the level of a note's first step.
  Play fresh(1);
  fresh.send(Command::play_note(nth_note(v)));
  fresh.render(1);
  EXPECT_EQ(run.voice(v).vca.level, fresh.core().vca().level);
  for (int i = 0; i < n - 1; ++i) EXPECT_EQ(run.voice(i).started, started[i]) << "voice " << i << " untouched";
  // With a voice free, the same note takes the free voice instead.
  Play spare(n);
  spare.send(Command::play_note(58));
  spare.send(Command::play_note(58));
  spare.render(1);
  EXPECT_EQ(spare.voices_of(Report::kTrig), (std::vector<int>{0, 1}));
}

TEST_P(Voices, TheVoiceReleasedLongestAgoIsStolenBeforeTheOldestHeld) {
  const int n = GetParam();
  Play run(n);
  for (int i = 0; i < n; ++i) run.send(Command::play_note(nth_note(i), i));  // voice i started at frame i
  run.render(300);  // past the attack
  // Voices 2 and 1 (with two voices: voice 1) let go, in that order, at the
  // frame the next notes come: still sounding (their release is stepped from
  // this frame on), so none is free.
  const std::vector<int> let_go = n > 2 ? std::vector<int>{2, 1} : std::vector<int>{1};
  const size_t before = run.reports.size();
  for (int v : let_go) run.send(Command::release_note(nth_note(v), 400));
  for (int k = 0; k <= static_cast<int>(let_go.size()); ++k) run.send(Command::play_note(90 + k, 400));
  run.render(101);
  EXPECT_EQ(run.voices_of(Report::kUntrig, before), let_go);
  // Released longest ago first, then the other released one, then the oldest held (voice 0).
  std::vector<int> taken = let_go;
  taken.push_back(0);
  EXPECT_EQ(run.voices_of(Report::kTrig, before), taken);
  for (size_t k = 0; k < taken.size(); ++k) EXPECT_EQ(run.voice(taken[k]).note, 90 + static_cast<int>(k));
  // All held again: the next note steals the voice whose note started longest
  // ago, the first voice not taken over above, or else the first taken over.
  run.send(Command::play_note(99));
  run.render(1);
  EXPECT_EQ(run.reports.back().kind, Report::kSounding);
  EXPECT_EQ(run.reports.back().voice, n > 3 ? 3 : taken.front());
}

TEST_P(Voices, ThePedalHoldsEveryVoiceWhoseKeyIsUpAndReleasesThemAtItsLift) {
  const int n = GetParam();
  Play run(n);
  const int held = std::min(n, 3);
  for (int i = 0; i < held; ++i) run.midi({0x90, static_cast<uint8_t>(60 + 4 * i), 100});
  run.midi({0xB0, 64, 127});
  for (int i = 0; i < held; ++i) run.midi({0x80, static_cast<uint8_t>(60 + 4 * i), 0});
  run.render(500);
  EXPECT_EQ(run.printed.find("UNTRIG"), std::string::npos) << "the pedal holds them";
  EXPECT_EQ(run.busy(), held);
  for (int i = 0; i < held; ++i) {
    EXPECT_TRUE(run.voice(i).sustained) << i;
    EXPECT_FALSE(run.voice(i).released()) << i;
  }
  // A note played with the pedal down and still held stays at the lift.
  if (n > held) run.midi({0x90, 90, 100});
  run.midi({0xB0, 64, 0}, 700);
  const size_t before = run.reports.size();
  run.render(300);
  std::vector<int> released(held);
  for (int i = 0; i < held; ++i) released[i] = i;
  EXPECT_EQ(run.voices_of(Report::kUntrig, before), released);
  for (size_t i = before; i < run.reports.size(); ++i)
    if (run.reports[i].kind == Report::kUntrig) {
      EXPECT_EQ(run.reports[i].frame, 700);
    }
  EXPECT_EQ(run.busy(), n > held ? 1 : 0);
  if (n > held) {
    EXPECT_FALSE(run.voice(held).released());
  }
  // With the pedal up, a note off releases at once.
  if (n > held) {
    const size_t after = run.reports.size();
    run.midi({0x80, 90, 0});
    run.render(1);
    EXPECT_EQ(run.voices_of(Report::kUntrig, after), std::vector<int>{held});
  }
}

TEST_P(Voices, AllNotesOffAndItsFamilyReleaseEveryVoice) {
  const int n = GetParam();
  for (uint8_t controller : {123, 124, 125, 126, 127}) {
    SCOPED_TRACE(static_cast<int>(controller));
    Play run(n);
    for (int i = 0; i < n; ++i) run.midi({0x90, static_cast<uint8_t>(50 + 2 * i), 100});
    run.midi({0xB0, 64, 127});  // the pedal too: lifted by it
    run.render(1000);
    const size_t before = run.reports.size();
    run.midi({0xB0, controller, 0});
    run.render(2);
    std::vector<int> all(n);
    for (int v = 0; v < n; ++v) all[v] = v;
    EXPECT_EQ(run.voices_of(Report::kUntrig, before), all);
    EXPECT_EQ(run.busy(), 0);
    EXPECT_FALSE(run.core().midi_voice().pedal_down());
    // A key after it plays, and its note off releases it with no pedal held.
    run.midi({0x90, 69, 100});
    run.midi({0x80, 69, 0}, 1010);
    run.render(20);
    ASSERT_GE(run.printed.size(), 13u);
    EXPECT_EQ(run.printed.substr(run.printed.size() - 13), "\nTRIG\nUNTRIG\n");
  }
}

TEST_P(Voices, AllSoundOffSilencesEveryVoiceAtOnce) {
  const int n = GetParam();
  Play run(n);
  for (int i = 0; i < n; ++i) run.midi({0x90, static_cast<uint8_t>(50 + 2 * i), 100});
  run.render(1000);
  EXPECT_EQ(run.busy(), n);
  run.midi({0xB0, 120, 0}, 1000);
  const size_t before = run.reports.size();
  const std::vector<int16_t> after = run.render(500);
  EXPECT_EQ(run.busy(), 0);
  std::vector<int> all(n);
  for (int v = 0; v < n; ++v) all[v] = v;
  EXPECT_EQ(run.voices_of(Report::kVoiceFree, before), all);
  for (size_t i = before; i < run.reports.size(); ++i)
    if (run.reports[i].kind == Report::kVoiceFree) {
      EXPECT_EQ(run.reports[i].frame, 1000);
    }
  for (int i = 0; i < 500; ++i) ASSERT_EQ(after[i], 0) << "frame " << 1000 + i;
  for (int v = 0; v < n; ++v) EXPECT_EQ(run.voice(v).vca.level, 0.0f);
}

TEST_P(Voices, TheBendBendsEveryVoice) {
  const int n = GetParam();
  Play run(n);
  for (int i = 0; i < n; ++i) run.midi({0x90, static_cast<uint8_t>(50 + 2 * i), 100});
  run.render(10);
  std::vector<float> unbent(n);
  for (int v = 0; v < n; ++v) unbent[v] = run.vco(v).frequency;
  run.midi({0xE0, 0x00, 0x60});
  run.render(2);
  for (int v = 0; v < n; ++v) {
    SCOPED_TRACE(v);
    EXPECT_GT(run.vco(v).frequency, unbent[v] * 1.05f) << "bent up";
    // The same note alone, bent the same way, on one voice.
    Play mono(1);
    mono.midi({0x90, static_cast<uint8_t>(50 + 2 * v), 100});
    mono.render(10);
    EXPECT_EQ(mono.vco(0).frequency, unbent[v]);
    mono.midi({0xE0, 0x00, 0x60});
    mono.render(2);
    EXPECT_EQ(run.vco(v).frequency, mono.vco(0).frequency);
  }
}

TEST_P(Voices, AReloadReplacesEveryVoicesPatchAtOneFrameAndTheNotesPlayOn) {
  const int n = GetParam();
  Play run(n);
  for (int i = 0; i < n; ++i) run.send(Command::play_note(nth_note(i)));
  run.render(1000);
  std::vector<const Patch*> old(n);
  for (int v = 0; v < n; ++v) old[v] = run.voice(v).patch;
  LoadResult result;
  PatchPtr next = load_patch(kToneOctaveUp, "up.wsy", LoadOptions{}, result);
  ASSERT_TRUE(next);
  const Patch* swapped_in = next.get();
  ASSERT_TRUE(run.engine->swap_patch(next, 1500));
  run.render(500);  // up to frame 1500: not yet
  for (int v = 0; v < n; ++v) EXPECT_EQ(run.voice(v).patch, old[v]) << v;
  std::vector<float> level(n);
  for (int v = 0; v < n; ++v) level[v] = run.voice(v).vca.level;
  const size_t before = run.reports.size();
  run.render(1);
  // Every voice in the new patch from frame 1500, its own copy of it.
  EXPECT_EQ(run.voice(0).patch, swapped_in);
  for (int v = 0; v < n; ++v) {
    SCOPED_TRACE(v);
    EXPECT_NE(run.voice(v).patch, old[v]);
    if (v > 0) {
      EXPECT_EQ(run.voice(v).patch, swapped_in->voice_copies[v - 1].get());
    }
    for (int w = 0; w < v; ++w) EXPECT_NE(run.voice(v).patch, run.voice(w).patch);
    EXPECT_EQ(run.voice(v).patch->base_note, nth_note(v));
    // The envelope goes on: no new note, the level one step further down the decay.
    EXPECT_LT(run.voice(v).vca.level, level[v]);
    EXPECT_GT(run.voice(v).vca.level, level[v] - 0.001f);
  }
  int retired = 0;
  for (size_t i = before; i < run.reports.size(); ++i) {
    EXPECT_NE(run.reports[i].kind, Report::kTrig);
    if (run.reports[i].kind == Report::kPatchRetired) {
      ++retired;
      const PatchPtr gone(run.reports[i].patch);
    }
  }
  EXPECT_EQ(retired, 1);
  // Each voice now sounds at its note in the new patch, as one voice plays it.
  run.render(10);
  for (int v = 0; v < n; ++v) {
    Play mono(1, false, kToneOctaveUp);
    mono.send(Command::play_note(nth_note(v)));
    mono.render(10);
    EXPECT_EQ(run.vco(v).frequency, mono.vco(0).frequency) << v;
    Play before_reload(1);
    before_reload.send(Command::play_note(nth_note(v)));
    before_reload.render(10);
    EXPECT_NE(run.vco(v).frequency, before_reload.vco(0).frequency) << v;
  }
}

TEST(VoicesKeys, EachNoteKeyIsAVoiceOfItsOwnAndItsReleaseReleasesThatOne) {
  Play run(6);
  const char keys[] = "zxcvbn";
  for (int i = 0; i < 6; ++i) {
    const std::optional<int32_t> note = note_for_key(keys[i]);
    ASSERT_TRUE(note);
    run.send(Command::play_note(*note));
  }
  run.render(500);
  EXPECT_EQ(run.voices_of(Report::kTrig), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  for (int v = 0; v < 6; ++v) EXPECT_EQ(run.voice(v).note, *note_for_key(keys[v]));
  const size_t before = run.reports.size();
  run.send(Command::release_note(*note_for_key('c')));
  run.render(2);
  EXPECT_EQ(run.voices_of(Report::kUntrig, before), std::vector<int>{2});
  EXPECT_EQ(run.busy(), 5);
  EXPECT_FALSE(run.voice(2).busy);
  // The same key again takes a free voice (the one let go), the others play on.
  run.send(Command::play_note(*note_for_key('c')));
  run.render(1);
  EXPECT_EQ(run.voices_of(Report::kTrig, before), std::vector<int>{2});
  EXPECT_EQ(run.busy(), 6);
}

TEST(VoicesKeys, EnterRetunesEveryVoicesPatchAndReplaysTheLastNoteOnAVoiceOfItsOwn) {
  Play run(4);
  run.send(Command::play_note(58));
  run.send(Command::play_note(62));
  run.render(10);
  const size_t before = run.reports.size();
  run.send(Command::replay());
  run.render(10);
  EXPECT_EQ(run.voices_of(Report::kTrig, before), std::vector<int>{2});
  EXPECT_EQ(run.voice(2).note, 62);
  EXPECT_EQ(run.voice(2).origin, Report::kByEnter);
  // The replayed note at the pitch one voice plays after the same keys and
  // Enter, and every voice's patch (a free one's too) retuned as that voice's.
  Play mono(1);
  mono.send(Command::play_note(58));
  mono.send(Command::play_note(62));
  mono.render(10);
  const int32_t untuned = mono.core().patch().vco_links[0].note;
  mono.send(Command::replay());
  mono.render(10);
  ASSERT_NE(mono.core().patch().vco_links[0].note, untuned);
  EXPECT_EQ(run.vco(2).frequency, mono.vco(0).frequency);
  for (int v = 0; v < 4; ++v)
    EXPECT_EQ(run.voice(v).patch->vco_links[0].note, mono.core().patch().vco_links[0].note) << v;
  // Enter let go releases the note it started and no other.
  const size_t held = run.reports.size();
  run.send(Command::release_replay());
  run.render(1);
  EXPECT_EQ(run.voices_of(Report::kUntrig, held), std::vector<int>{2});
  EXPECT_TRUE(run.voice(0).busy);
  EXPECT_TRUE(run.voice(1).busy);
}

TEST(VoicesAutoPlay, ARandomNoteOnlyWhenNoVoiceSounds) {
  Play run(4, true), mono(1, true);
  run.render(1);
  mono.render(1);
  EXPECT_EQ(run.printed, mono.printed);
  EXPECT_EQ(run.reports.front().kind, Report::kMiam);
  EXPECT_EQ(run.busy(), 1);
  run.send(Command::play_note(64, 5000));
  run.render(24000);  // the first random note ends near frame 20300; the key's note still sounds
  size_t miam = 0;
  for (const Report& r : run.reports) miam += r.kind == Report::kMiam;
  EXPECT_EQ(miam, 1u) << "no random note while a voice sounds";
  EXPECT_EQ(run.busy(), 1);
  run.render(6000);
  // The key's note ends near frame 25300; the next frame plays a random note.
  int64_t freed = -1, next_miam = -1;
  for (const Report& r : run.reports) {
    if (r.kind == Report::kVoiceFree) freed = r.frame;
    if (r.kind == Report::kMiam && r.frame > 0) next_miam = r.frame;
  }
  ASSERT_GT(freed, 20000);
  EXPECT_EQ(next_miam, freed + 1);
}

TEST(VoicesAutoPlay, AutoPlayAloneSoundsAsOneVoiceDoes) {
  // Random notes one after the other never overlap: each plays alone, as
  // with one voice, through several notes.
  Play mono(1, true), poly(5, true);
  mono.render(100000);
  poly.render(100000);
  EXPECT_EQ(poly.printed, mono.printed);
  EXPECT_EQ(poly.samples, mono.samples);
  EXPECT_GE(std::count_if(mono.reports.begin(), mono.reports.end(),
                          [](const Report& r) { return r.kind == Report::kMiam; }),
            4);
}

TEST(VoicesReports, TrigAndUntrigComeInTheOrderOfTheVoicesEvents) {
  Play run(3);
  run.send(Command::play_note(58, 0));
  run.send(Command::play_note(60, 10));
  run.send(Command::release_note(58, 20));
  run.send(Command::play_note(62, 20));   // voice 2 is free
  run.send(Command::play_note(64, 30));   // voice 0, let go in its attack, still sounds: none free, it is the released one
  run.send(Command::play_note(65, 40));   // none free, none released: the oldest held, voice 1
  run.send(Command::release_note(62, 50));
  run.send(Command::release_note(65, 50));
  run.render(100);
  EXPECT_EQ(run.printed, "\nTRIG\n\nTRIG\nUNTRIG\n\nTRIG\n\nTRIG\n\nTRIG\nUNTRIG\nUNTRIG\n");
  std::vector<std::pair<int, int>> events;  // (kind, voice) of each TRIG and UNTRIG
  std::vector<int64_t> frames;
  for (const Report& r : run.reports)
    if (r.kind == Report::kTrig || r.kind == Report::kUntrig) {
      events.emplace_back(r.kind, r.voice);
      frames.push_back(r.frame);
    }
  const int t = Report::kTrig, u = Report::kUntrig;
  EXPECT_EQ(events, (std::vector<std::pair<int, int>>{{t, 0}, {t, 1}, {u, 0}, {t, 2}, {t, 0}, {t, 1}, {u, 2}, {u, 1}}));
  EXPECT_EQ(frames, (std::vector<int64_t>{0, 10, 20, 20, 30, 40, 50, 50}));
}

// ---- The sound: against engines of one voice ----

TEST_P(Voices, ANoteAloneOnAFreshEngineSoundsAsWithOneVoice) {
  const int n = GetParam();
  for (const int start : {0, 777}) {
    SCOPED_TRACE(start);
    Play mono(1), poly(n);
    mono.midi({0x90, 69, 100}, start);
    poly.midi({0x90, 69, 100}, start);
    mono.midi({0x80, 69, 0}, start + 9000);
    poly.midi({0x80, 69, 0}, start + 9000);
    mono.render(12000);
    poly.render(12000);
    EXPECT_EQ(poly.samples, mono.samples);
    EXPECT_EQ(poly.printed, mono.printed);
  }
}

TEST_P(Voices, AChordIsTheSumOfItsNotesPlayedAlone) {
  const int n = GetParam();
  constexpr int kFrames = 22000, kLater = 1500;
  Play chord(n);
  // The last note starts later, on a voice that has not run before.
  for (int i = 0; i < n; ++i) chord.send(Command::play_note(nth_note(i), i == n - 1 ? kLater : 0));
  const std::vector<int16_t> got = chord.render(kFrames);
  std::vector<std::vector<int16_t>> notes;
  for (int i = 0; i < n; ++i) notes.push_back(alone(nth_note(i), kFrames));
  int compared = 0, loud = 0;
  for (int f = 0; f < kFrames; ++f) {
    long sum = 0;
    for (int i = 0; i < n; ++i) {
      const int at = i == n - 1 ? f - kLater : f;
      if (at >= 0) sum += notes[i][at];
    }
    // Each note's samples are truncated on their own: the sum of n of them
    // lies within n steps of the chord's.
    if (std::abs(sum) > 32767 - n) continue;
    ASSERT_LE(std::abs(got[f] - sum), n) << "frame " << f;
    ++compared;
    loud += std::abs(sum) > 2000;
  }
  EXPECT_GT(compared, kFrames / 2);
  EXPECT_GT(loud, 1000);
}

TEST_P(Voices, AFreeVoiceCostsNothingItsOscillatorsStayWhereTheyAre) {
  const int n = GetParam();
  Play run(n);
  LoadedPatch fresh(kTone);
  run.send(Command::play_note(58));
  run.render(5000);
  EXPECT_NE(run.vco(0).phase, fresh.patch->find_vco("VCO1")->phase);
  for (int v = 1; v < n; ++v)
    for (size_t o = 0; o < fresh.patch->vcos.size(); ++o) {
      EXPECT_EQ(run.voice(v).patch->vcos[o]->phase, fresh.patch->vcos[o]->phase) << v;
      EXPECT_EQ(run.voice(v).patch->vcos[o]->output, fresh.patch->vcos[o]->output) << v;
    }
  // And one that has played keeps its phase once free.
  run.send(Command::release_note(58));
  run.render(2);
  EXPECT_FALSE(run.voice(0).busy);
  const float phase = run.vco(0).phase;
  run.render(3000);
  EXPECT_EQ(run.vco(0).phase, phase);
}

TEST(VoicesSound, ThirtyTwoVoicesAtFullLevelSitAtTheLimitsAndNeverWrap) {
  Play run(kMaxVoices);
  // The same key 32 times: each on a free voice, all in phase.
  for (int v = 0; v < kMaxVoices; ++v) run.midi({0x90, 69, 127});
  const std::vector<int16_t> got = run.render(12000);
  EXPECT_EQ(run.busy(), kMaxVoices);
  Play mono(1);
  mono.midi({0x90, 69, 127});
  const std::vector<int16_t> one = mono.render(12000);
  int high = 0, low = 0;
  for (int f = 0; f < 12000; ++f) {
    const long loud = static_cast<long>(kMaxVoices) * one[f];
    if (loud >= 32767 + kMaxVoices) {
      ASSERT_EQ(got[f], 32767) << f;
      ++high;
    } else if (loud <= -32768 - kMaxVoices) {
      ASSERT_EQ(got[f], -32768) << f;
      ++low;
    } else {
      ASSERT_LE(std::abs(got[f] - loud), kMaxVoices) << f;
    }
    if (f > 0) {
      ASSERT_LT(std::abs(got[f] - got[f - 1]), 32768) << "a wrap at frame " << f;
    }
  }
  EXPECT_GT(high, 1000);
  EXPECT_GT(low, 1000);
  // The right channel too.
  for (size_t i = 3; i < run.samples.size(); i += 2)
    ASSERT_LT(std::abs(run.samples[i] - run.samples[i - 2]), 32768) << "a wrap at frame " << i / 2;
}

TEST_P(Voices, OneNoteOnEveryVoiceIsTheirSumOrSitsAtTheLimit) {
  // Fewer voices than it takes to pass full scale stay the sum; more sit at the limits.
  const int n = GetParam();
  Play run(n);
  for (int v = 0; v < n; ++v) run.midi({0x90, 69, 127});
  const std::vector<int16_t> got = run.render(6000);
  const std::vector<int16_t> one = alone(58, 6000);
  for (int f = 1; f < 6000; ++f) ASSERT_LT(std::abs(got[f] - got[f - 1]), 32768) << f;
  const int16_t peak = *std::max_element(one.begin(), one.end());
  const int16_t got_peak = *std::max_element(got.begin(), got.end());
  if (static_cast<long>(n) * peak < 32767)
    EXPECT_LE(std::abs(got_peak - n * peak), n);
  else
    EXPECT_EQ(got_peak, 32767);
}

TEST_P(Voices, WithoutTouchEveryVelocityPlaysAtFullLevel) {
  // Touch 0: a note at velocity 1 is the same bytes as one voice at 127.
  const int n = GetParam();
  Play mono(1), soft(n), hard(n);
  mono.midi({0x90, 69, 127});
  soft.midi({0x90, 69, 1});
  hard.midi({0x90, 69, 127});
  soft.midi({0x90, 73, 1}, 3000);
  hard.midi({0x90, 73, 127}, 3000);
  mono.render(3000);
  soft.render(8000);
  hard.render(8000);
  EXPECT_EQ(std::vector<int16_t>(soft.samples.begin(), soft.samples.begin() + 6000), mono.samples);
  EXPECT_EQ(soft.samples, hard.samples);
  EXPECT_EQ(soft.voice(0).gain, 1.0);
  EXPECT_EQ(soft.voice(1).gain, 1.0);
}

double rms(const std::vector<int16_t>& s) {
  double sum = 0;
  for (int16_t x : s) sum += static_cast<double>(x) * x;
  return std::sqrt(sum / static_cast<double>(s.size()));
}

TEST(VoicesVelocity, FullTouchScalesTheLevelAsTheSquareOfTheVelocity) {
  // A louder patch, so that a soft note's samples are far from the truncation step.
  const std::string loud = "LFO1;*FREQ=0;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;VCO1:IN2;VCO1:IN3;VCO1:IN4;\n";
  Play soft(4, false, loud, 1.0), hard(4, false, loud, 1.0);
  soft.midi({0x90, 69, 32});
  hard.midi({0x90, 69, 127});
  const double ratio = rms(soft.render(20000)) / rms(hard.render(20000));
  const double expected = (32.0 / 127) * (32.0 / 127);
  EXPECT_NEAR(ratio, expected, expected * 0.005);
  // In a chord, each note at its own velocity.
  Play chord(4, false, loud, 1.0), low(1, false, loud, 1.0), high(1, false, loud, 1.0);
  chord.midi({0x90, 69, 32});
  chord.midi({0x90, 76, 127});
  low.midi({0x90, 69, 32});
  high.midi({0x90, 76, 127});
  const std::vector<int16_t> c = chord.render(20000), a = low.render(20000), b = high.render(20000);
  for (int f = 0; f < 20000; ++f)
    if (std::abs(a[f] + b[f]) < 32000) {
      ASSERT_LE(std::abs(c[f] - (a[f] + b[f])), 2) << f;
    }
}

}  // namespace
