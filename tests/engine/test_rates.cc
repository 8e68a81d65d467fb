// The modules and the engine at other rates than 44100: pitches stay in
// hertz and the envelope's times in seconds, measured in steps and compared
// with what 44100 steps a second give.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "session/event_script.h"
#include "session/session_log.h"
#include "synth/vca.h"
#include "synth/vco.h"
#include "wsy/engine.h"
#include "../test_support.h"

namespace {

constexpr int kRates[] = {22050, 48000, 88200, 96000};
constexpr char kSine[] = "LFO1;*FREQ=0;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n";

// Cycles a 440 Hz oscillator runs through in one second of steps.
double cycles_in_a_second(int rate) {
  Random noise;
  Vco vco(1.0f, 440.0f, Vco::kSine);
  vco.sample_rate = rate;
  int wraps = 0;
  for (int i = 0; i < rate; ++i) {
    const float before = vco.phase;
    vco.step(noise);
    if (vco.phase < before) ++wraps;  // the phase wraps at ten cycles
  }
  return 10.0 * wraps + vco.phase;
}

TEST(Rates, AnOscillatorKeepsItsFrequencyInHertz) {
  for (int rate : kRates) EXPECT_NEAR(cycles_in_a_second(rate), 440.0, 440.0 * 0.0005) << rate;
  EXPECT_NEAR(cycles_in_a_second(44100), 440.0, 440.0 * 0.0005);
}

Vca envelope_at(int rate) {
  Vca vca;
  vca.set_sample_rate(rate);
  vca.trigger();
  return vca;
}

// Seconds from the trigger until the default envelope ends by itself.
double note_length(int rate) {
  Vca vca = envelope_at(rate);
  long steps = 0;
  while (vca.active && steps < 10L * rate) {
    vca.step();
    ++steps;
  }
  return static_cast<double>(steps) / rate;
}

TEST(Rates, ANoteWithTheDefaultEnvelopeLastsAsLong) {
  const double at_44100 = note_length(44100);
  EXPECT_NEAR(at_44100, 0.458, 0.001);
  for (int rate : kRates) EXPECT_NEAR(note_length(rate) / at_44100, 1.0, 0.002) << rate;
}

// Seconds from the trigger until a sustaining envelope has fallen to its
// sustain level (from just under 1 to 0.01).
double sustain_fall(int rate) {
  Vca vca;
  vca.sustain = 0.01f;
  vca.set_sample_rate(rate);
  vca.trigger();
  long steps = 0;
  do {
    vca.step();
    ++steps;
  } while (!(vca.time >= vca.attack && vca.level == vca.sustain * vca.peak) && steps < 10L * rate);
  return static_cast<double>(steps) / rate;
}

TEST(Rates, TheSustainFallTakesAsLong) {
  const double at_44100 = sustain_fall(44100);
  EXPECT_GT(at_44100, 0.1);  // about 4600 steps of one thousandth each
  for (int rate : kRates) EXPECT_NEAR(sustain_fall(rate) / at_44100, 1.0, 0.005) << rate;
}

// Seconds from a release 0.1 s into a note until the level has fallen to a
// millionth of what it was, with release_time 1.
double release_fall(int rate) {
  Vca vca;
  vca.release_time = 1.0f;
  vca.set_sample_rate(rate);
  vca.trigger();
  for (int i = 0; i < rate / 10; ++i) vca.step();
  const double from = vca.level;
  vca.release();
  long steps = 0;
  do {
    vca.step();
    ++steps;
  } while (vca.level > from * 1e-6 && steps < 10L * rate);
  EXPECT_EQ(vca.active, 1);  // a released envelope stays active
  return static_cast<double>(steps) / rate;
}

TEST(Rates, TheReleaseFallTakesAsLong) {
  const double at_44100 = release_fall(44100);
  EXPECT_GT(at_44100, 0.02);  // about 1375 steps of 1 - 1/100 each
  for (int rate : kRates) EXPECT_NEAR(release_fall(rate) / at_44100, 1.0, 0.005) << rate;
}

// Back at 44100, an envelope is the one it always was, bit for bit.
TEST(Rates, BackAt44100TheEnvelopeIsTheHistoricalOne) {
  for (float sustain : {0.0f, 0.3f}) {
    Vca fresh, reset;
    fresh.sustain = reset.sustain = sustain;
    fresh.release_time = reset.release_time = 2.0f;
    reset.set_sample_rate(48000);
    reset.set_sample_rate(44100);
    EXPECT_EQ(reset.sample_rate(), 44100);
    fresh.trigger();
    reset.trigger();
    for (int i = 0; i < 30000; ++i) {
      if (i == 5000) {
        fresh.release();
        reset.release();
      }
      fresh.step();
      reset.step();
      ASSERT_EQ(fresh.level, reset.level) << i;
      ASSERT_EQ(fresh.time, reset.time) << i;
    }
  }
}

// A second of the engine's left channel with z held, at `rate`.
std::vector<int16_t> engine_second(Engine& engine) {
  const int rate = engine.sample_rate();
  std::vector<int16_t> out(2 * static_cast<size_t>(rate));
  engine.send(Command::play_note(58, 0));
  engine.render(rate, out.data());
  std::vector<int16_t> left(rate);
  for (int i = 0; i < rate; ++i) left[i] = out[2 * i];
  return left;
}

// Hertz from the rising zero crossings of frames [from, to).
double measured_pitch(const std::vector<int16_t>& left, int from, int to, int rate) {
  std::vector<double> crossings;
  for (int i = from + 1; i < to; ++i)
    if (left[i - 1] < 0 && left[i] >= 0)
      crossings.push_back(i - 1 + static_cast<double>(left[i - 1]) / (left[i - 1] - left[i]));
  if (crossings.size() < 10) return 0;
  return (crossings.size() - 1) * static_cast<double>(rate) / (crossings.back() - crossings.front());
}

TEST(Rates, TheEngineAppliesItsRateToItsPatchAndToEachSwappedIn) {
  EngineSettings settings;
  settings.autoplay = false;
  settings.sample_rate = 48000;
  LoadResult result;
  std::unique_ptr<Engine> engine = Engine::from_text(kSine, "sine.wsy", settings, LoadOptions{}, result);
  ASSERT_TRUE(engine) << result.error;
  EXPECT_EQ(engine->sample_rate(), 48000);
  std::vector<int16_t> left = engine_second(*engine);
  EXPECT_NEAR(measured_pitch(left, 1000, 19000, 48000), 440.0, 0.2);

  // A patch loaded for the swap knows nothing of the rate: the engine gives it.
  PatchPtr next = load_patch(kSine, "next.wsy", LoadOptions{}, result);
  ASSERT_TRUE(next);
  ASSERT_TRUE(engine->swap_patch(next));
  left = engine_second(*engine);
  EXPECT_NEAR(measured_pitch(left, 1000, 19000, 48000), 440.0, 0.2);
}

TEST(Rates, ARateOutOfRangeIsTakenAsTheNearestEnd) {
  LoadResult result;
  for (auto [asked, taken] : {std::pair{7999, kMinSampleRate}, std::pair{0, kMinSampleRate},
                              std::pair{192001, kMaxSampleRate}, std::pair{kMaxSampleRate, kMaxSampleRate}}) {
    EngineSettings settings;
    settings.sample_rate = asked;
    std::unique_ptr<Engine> engine = Engine::from_text(kSine, "sine.wsy", settings, LoadOptions{}, result);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->sample_rate(), taken) << asked;
  }
  EXPECT_EQ(EngineSettings{}.sample_rate, 44100);
}

bool read_script(const std::string& text, EventScript& script, std::string& error) {
  FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  const bool ok = read_event_script(in, script, error);
  std::fclose(in);
  return ok;
}

TEST(Rates, TheScriptsRateLine) {
  EventScript with, without;
  std::string error;
  ASSERT_TRUE(read_script("# a take\n\n0 rate 96000\n0 z down\n4800 z up\n", with, error)) << error;
  EXPECT_EQ(with.sample_rate, 96000);
  ASSERT_EQ(with.commands.size(), 2u);
  EXPECT_EQ(with.commands[1].frame, 4800);
  ASSERT_TRUE(read_script("0 z down\n", without, error)) << error;
  EXPECT_EQ(without.sample_rate, 0);
  for (const char* bad : {"0 z down\n0 rate 48000\n", "0 rate 48000\n0 rate 48000\n", "1 rate 48000\n",
                          "0 rate 7999\n", "0 rate 192001\n", "0 rate\n", "0 rate 48000 Hz\n", "0 rate -48000\n",
                          "0 rate 99999999999999999999\n"}) {
    EventScript script;
    EXPECT_FALSE(read_script(bad, script, error)) << bad;
  }
}

TEST(Rates, ASessionLogNamesItsRateFirst) {
  const std::string path = write_temp_file("take.log", "");
  {
    SessionLog log;
    std::string error;
    ASSERT_TRUE(log.open(path, "sine.wsy", true, error, "", 48000)) << error;
    Report applied = Report::of(Report::kApplied, 24000);
    applied.command = Command::play_note(58, 24000);
    log.add(applied);
    log.end(48000);
  }
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string first_event;
  std::istringstream lines(text.str());
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#') {
      first_event = line;
      break;
    }
  EXPECT_EQ(first_event, "0 rate 48000");
  EventScript script;
  std::string error;
  ASSERT_TRUE(read_script(text.str(), script, error)) << error;
  EXPECT_EQ(script.sample_rate, 48000);
  EXPECT_EQ(script.end_frame, std::optional<int64_t>(48000));
  std::remove(path.c_str());
}

}  // namespace
