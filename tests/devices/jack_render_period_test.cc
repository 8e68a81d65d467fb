// JackClient's period without a server: what the render function computes
// reaches JACK's float ports as s / 32768 exactly, with the period's MIDI
// events handed to it as they came. (With a server: test_jack_output.py.)
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "devices/jack_client.h"

namespace {

// Counts up through every 16-bit value on the left, mirrored (-s - 1) on the right.
struct Ramp {
  int next = -32768;
  int calls = 0;
  int frames = 0;
  const RawMidiEvent* events = nullptr;
  int event_count = -1;
  static void render(void* user, int frames, int16_t* out, const RawMidiEvent* events, int count) {
    Ramp& r = *static_cast<Ramp*>(user);
    ++r.calls;
    r.frames = frames;
    r.events = events;
    r.event_count = count;
    for (int i = 0; i < frames; ++i, r.next = r.next == 32767 ? -32768 : r.next + 1) {
      out[2 * i] = static_cast<int16_t>(r.next);
      out[2 * i + 1] = static_cast<int16_t>(-r.next - 1);
    }
  }
};

// JACK's ports take floats from -1 to 1: the 16-bit range maps onto it
// whole, 0 to 0, half scale to half, the most negative value to -1 and the
// most positive one just short of 1, and no two values meet.
TEST(JackRenderPeriod, SixteenBitValuesBecomeFloatsFromMinusOneToJustUnderOne) {
  Ramp ramp;
  JackClient output(&Ramp::render, &ramp);
  std::vector<float> left(256), right(256);
  std::vector<float> of(65536);  // the float each value went out as, from -32768 up
  std::vector<float> mirrored(65536);
  for (int period = 0; period < 256; ++period) {
    output.render_period(256, nullptr, 0, left.data(), right.data());
    for (int i = 0; i < 256; ++i) {
      of[static_cast<size_t>(256 * period + i)] = left[i];
      mirrored[static_cast<size_t>(256 * period + i)] = right[i];
    }
  }
  EXPECT_EQ(ramp.calls, 256);
  auto value = [&](int s) { return of[static_cast<size_t>(s + 32768)]; };
  EXPECT_EQ(value(0), 0.0f);
  EXPECT_FALSE(std::signbit(value(0)));
  EXPECT_EQ(value(16384), 0.5f);
  EXPECT_EQ(value(-16384), -0.5f);
  EXPECT_EQ(value(-32768), -1.0f);
  EXPECT_LT(value(32767), 1.0f);
  // The steps are 2^-15 apart: 32767 is the last step below 1.
  EXPECT_EQ(value(32767), 1.0f - 0x1p-15f);
  EXPECT_EQ(value(1), 0x1p-15f);
  // Order kept, and so no two values alike; a value and its negative mirror each other.
  for (int s = -32767; s <= 32767; ++s) {
    ASSERT_LT(value(s - 1), value(s)) << "sample " << s;
    ASSERT_EQ(value(-s), -value(s)) << "sample " << s;
  }
  // The right channel carried -s - 1 for each s: the same value for the same sample.
  for (int s = -32768; s <= 32767; ++s) ASSERT_EQ(mirrored[static_cast<size_t>(s + 32768)], value(-s - 1)) << s;
  // The ends of the range, by value.
  ramp.next = 32767;
  output.render_period(2, nullptr, 0, left.data(), right.data());
  EXPECT_EQ(left[0], 0.999969482421875f);
  EXPECT_EQ(left[1], -1.0f);
  EXPECT_EQ(right[1], 0.999969482421875f);
}

TEST(JackRenderPeriod, TheRenderFunctionGetsThePeriodAndItsEvents) {
  Ramp ramp;
  JackClient output(&Ramp::render, &ramp);
  const RawMidiEvent events[2] = {{0, 3, {0x90, 69, 100}}, {63, 3, {0x80, 69, 0}}};
  std::vector<float> left(JackClient::kMaxPeriodFrames), right(JackClient::kMaxPeriodFrames);
  output.render_period(64, events, 2, left.data(), right.data());
  EXPECT_EQ(ramp.frames, 64);
  EXPECT_EQ(ramp.events, events);
  EXPECT_EQ(ramp.event_count, 2);
  // JACK's largest period is computed whole, in one call.
  output.render_period(JackClient::kMaxPeriodFrames, nullptr, 0, left.data(), right.data());
  EXPECT_EQ(ramp.frames, JackClient::kMaxPeriodFrames);
  EXPECT_EQ(output.oversized_periods(), 0);
}

TEST(JackRenderPeriod, APeriodLargerThanTheScratchBufferIsSilenceAndCounted) {
  Ramp ramp;
  JackClient output(&Ramp::render, &ramp);
  const int frames = JackClient::kMaxPeriodFrames + 1;
  std::vector<float> left(frames, 0.5f), right(frames, 0.5f);
  output.render_period(frames, nullptr, 0, left.data(), right.data());
  EXPECT_EQ(ramp.calls, 0);
  EXPECT_EQ(output.oversized_periods(), 1);
  for (int i = 0; i < frames; ++i) ASSERT_TRUE(left[i] == 0.0f && right[i] == 0.0f);
}

TEST(JackRenderPeriod, BeforeOpeningThereIsNothingToNameOrConnect) {
  JackClient output(&Ramp::render, nullptr);
  EXPECT_FALSE(output.is_open());
  EXPECT_FALSE(output.lost());
  EXPECT_EQ(output.client_name(), "");
  EXPECT_EQ(output.midi_port_name(), "");
  EXPECT_TRUE(output.midi_connections().empty());
  EXPECT_EQ(output.output_latency_frames(), 0);
  const MidiConnectResult r = output.connect_midi("system:midi_capture_1");
  EXPECT_TRUE(r.connected.empty());
  EXPECT_NE(r.warning, "");
  std::string error;
  EXPECT_FALSE(output.start(error));
  EXPECT_NE(error, "");
  output.close();
}

}  // namespace
