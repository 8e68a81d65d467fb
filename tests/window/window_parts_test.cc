// The window's pieces that need no display: note names, the scope's trigger
// and trace, the redraw pace.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "window/note_name.h"
#include "window/redraw_pacer.h"
#include "window/scope_trace.h"

namespace {

TEST(NoteName, NamesTheKeysAsMusiciansDo) {
  EXPECT_EQ(note_name(58), "A4");  // key z, concert A
  EXPECT_EQ(note_name(59), "A#4");
  EXPECT_EQ(note_name(61), "C5");  // the octave number changes at C
  EXPECT_EQ(note_name(60), "B4");
  EXPECT_EQ(note_name(65), "E5");
  EXPECT_EQ(note_name(46), "A3");
  EXPECT_EQ(note_name(49), "C4");  // middle C
  EXPECT_EQ(note_name(-11), "C-1");
  EXPECT_EQ(note_name(-12), "B-2");
}

TEST(NoteName, WholeHertz) {
  EXPECT_EQ(whole_hertz(440.0), "440 Hz");
  EXPECT_EQ(whole_hertz(466.1637615), "466 Hz");
  EXPECT_EQ(whole_hertz(523.2511306), "523 Hz");
  EXPECT_EQ(whole_hertz(659.5), "660 Hz");
  EXPECT_EQ(whole_hertz(0.2), "0 Hz");
}

std::vector<int16_t> sine(double hz, double amplitude, int first_frame, int count = 2048) {
  std::vector<int16_t> s(count);
  for (int i = 0; i < count; ++i)
    s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * (first_frame + i) / 44100.0)));
  return s;
}

TEST(ScopeTrigger, StartsAtTheNewestRisingCrossing) {
  for (double hz : {55.0, 110.0, 300.0, 440.0, 1000.0, 3000.0}) {
    const std::vector<int16_t> s = sine(hz, 10000, 17);
    const int start = scope_trigger(s.data(), 2048, kScopeShownFrames);
    ASSERT_GE(start, 1) << hz;
    ASSERT_LE(start, 2048 - kScopeShownFrames) << hz;
    EXPECT_LT(s[start - 1], 0) << hz;
    EXPECT_GE(s[start], 0) << hz;
    // The newest: less than a period before the latest possible start.
    EXPECT_LT(2048 - kScopeShownFrames - start, 44100.0 / hz + 1) << hz;
  }
}

TEST(ScopeTrigger, SteadyToneGivesTheSamePicture) {
  // 441 Hz: exactly 100 frames a period.
  const std::vector<int16_t> a = sine(441, 9000, 0), b = sine(441, 9000, 4321);
  const int sa = scope_trigger(a.data(), 2048, kScopeShownFrames);
  const int sb = scope_trigger(b.data(), 2048, kScopeShownFrames);
  EXPECT_TRUE(std::equal(a.begin() + sa, a.begin() + sa + kScopeShownFrames, b.begin() + sb));
}

TEST(ScopeTrigger, WithoutACrossingShowsTheNewestFrames) {
  std::vector<int16_t> silence(2048, 0);
  EXPECT_EQ(scope_trigger(silence.data(), 2048, kScopeShownFrames), 2048 - kScopeShownFrames);
  // Noise below the arming level never triggers.
  std::vector<int16_t> hum = sine(2000, kScopeArmLevel - 1, 0);
  EXPECT_EQ(scope_trigger(hum.data(), 2048, kScopeShownFrames), 2048 - kScopeShownFrames);
  // Fewer frames than shown: from the first.
  EXPECT_EQ(scope_trigger(silence.data(), 100, kScopeShownFrames), 0);
}

TEST(ScopeColumns, SilenceIsOneRowAcrossTheMiddle) {
  std::vector<int16_t> silence(kScopeShownFrames, 0);
  std::vector<ScopeColumn> c(600);
  scope_columns(silence.data(), kScopeShownFrames, 600, 200, c.data());
  for (const ScopeColumn& column : c) {
    ASSERT_EQ(column.top, 100);
    ASSERT_EQ(column.bottom, 100);
  }
}

TEST(ScopeColumns, ToneSpansItsAmplitudeAsAnUnbrokenLine) {
  const std::vector<int16_t> s = sine(300, kScopeFullScale / 2, 0, kScopeShownFrames);
  std::vector<ScopeColumn> c(600);
  scope_columns(s.data(), kScopeShownFrames, 600, 200, c.data());
  int top = 200, bottom = 0;
  for (int x = 0; x < 600; ++x) {
    top = std::min<int>(top, c[x].top);
    bottom = std::max<int>(bottom, c[x].bottom);
    ASSERT_LE(c[x].top, c[x].bottom);
    if (x > 0) {  // each column touches its left neighbour
      EXPECT_LE(c[x].top, c[x - 1].bottom + 1) << x;
      EXPECT_GE(c[x].bottom, c[x - 1].top - 1) << x;
    }
  }
  EXPECT_NEAR(top, 50, 1);  // half of full scale: half of the upper half
  EXPECT_NEAR(bottom, 150, 1);

  // Past full scale is clipped to the edges.
  std::vector<int16_t> loud(kScopeShownFrames, 32767);
  loud[400] = -32768;
  scope_columns(loud.data(), kScopeShownFrames, 600, 200, c.data());
  EXPECT_EQ(c[0].top, 0);
  int lowest = 0;
  for (const ScopeColumn& column : c) lowest = std::max<int>(lowest, column.bottom);
  EXPECT_EQ(lowest, 199);
}

TEST(RedrawPacer, AtMostTwentyASecond) {
  constexpr int64_t kMs = 1000000;
  RedrawPacer pacer(20);
  EXPECT_TRUE(pacer.due(5 * kMs));
  EXPECT_FALSE(pacer.due(5 * kMs));
  EXPECT_FALSE(pacer.due(54 * kMs));
  EXPECT_TRUE(pacer.due(55 * kMs));
  // Asked every millisecond for a second: twenty.
  int redraws = 0;
  for (int64_t t = 1000 * kMs; t < 2000 * kMs; t += kMs) redraws += pacer.due(t);
  EXPECT_EQ(redraws, 20);
  // After a quiet spell, at once.
  EXPECT_TRUE(pacer.due(5000 * kMs));
}

}  // namespace
