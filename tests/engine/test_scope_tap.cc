// The scope's hand-over between the audio thread and the window: a reader
// gets the newest frames in order, with the level written after the last of
// them, whatever the writer does meanwhile.
#include "scope_tap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

// Each frame carries its own number, so a snapshot shows where it came from.
int16_t sample_of(int64_t frame) { return frame < 0 ? 0 : static_cast<int16_t>(frame & 0x7fff); }
float level_of(int64_t frames_written) { return static_cast<float>(frames_written & 0xffffff); }

// Writes frames first..first+count-1 as one block.
void write_numbered(ScopeTap& tap, int64_t first, int count) {
  std::vector<int16_t> stereo(2 * count);
  for (int i = 0; i < count; ++i) {
    stereo[2 * i] = sample_of(first + i);
    stereo[2 * i + 1] = -1;  // the right channel must not show
  }
  tap.write(stereo.data(), count, level_of(first + count));
}

// Empty when the snapshot is one moment of the numbered stream.
std::string inconsistency(const ScopeSnapshot& s) {
  const int64_t first = s.frames_written - ScopeSnapshot::kFrames;
  for (int i = 0; i < ScopeSnapshot::kFrames; ++i)
    if (s.samples[i] != sample_of(first + i))
      return "frame " + std::to_string(first + i) + " holds " + std::to_string(s.samples[i]);
  if (s.level != level_of(s.frames_written))
    return "level " + std::to_string(s.level) + " after frame " + std::to_string(s.frames_written);
  return "";
}

TEST(ScopeTap, StartsSilent) {
  auto tap = std::make_unique<ScopeTap>();
  ScopeSnapshot s;
  s.samples[0] = 5;
  ASSERT_TRUE(tap->read(s));
  EXPECT_EQ(s.frames_written, 0);
  EXPECT_EQ(s.level, 0.0f);
  for (int16_t v : s.samples) ASSERT_EQ(v, 0);
}

TEST(ScopeTap, KeepsTheNewestFramesOfTheLeftChannel) {
  auto tap = std::make_unique<ScopeTap>();
  ScopeSnapshot s;
  // Fewer frames than a snapshot: the older part is silence.
  write_numbered(*tap, 0, 300);
  ASSERT_TRUE(tap->read(s));
  EXPECT_EQ(s.frames_written, 300);
  EXPECT_EQ(inconsistency(s), "");
  EXPECT_EQ(s.samples[ScopeSnapshot::kFrames - 1], 299);
  EXPECT_EQ(s.samples[ScopeSnapshot::kFrames - 301], 0);

  // Many small blocks wrap around the ring several times.
  int64_t frame = 300;
  for (int block = 0; block < 200; ++block) {
    const int count = 1 + block % 97;
    write_numbered(*tap, frame, count);
    frame += count;
  }
  ASSERT_TRUE(tap->read(s));
  EXPECT_EQ(s.frames_written, frame);
  EXPECT_EQ(inconsistency(s), "");

  // One block longer than the ring: its end is what shows.
  write_numbered(*tap, frame, 3 * ScopeTap::kCapacity + 5);
  frame += 3 * ScopeTap::kCapacity + 5;
  ASSERT_TRUE(tap->read(s));
  EXPECT_EQ(s.frames_written, frame);
  EXPECT_EQ(inconsistency(s), "");
}

TEST(ScopeTap, EmptyBlockChangesNothing) {
  auto tap = std::make_unique<ScopeTap>();
  write_numbered(*tap, 0, 100);
  int16_t none[2] = {7, 7};
  tap->write(none, 0, 0.5f);
  ScopeSnapshot s;
  ASSERT_TRUE(tap->read(s));
  EXPECT_EQ(s.frames_written, 100);
  EXPECT_EQ(inconsistency(s), "");
}

// The audio thread writes blocks of random sizes while the main thread reads:
// every snapshot that read() accepts is one moment of the stream. `pause_us`
// spaces the blocks as a device would (0: flat out, the worst case).
void hammer(int pause_us, double seconds, int& accepted, int& refused) {
  auto tap = std::make_unique<ScopeTap>();
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    std::mt19937 random(12345);
    std::vector<int16_t> stereo(2 * 1024);
    int64_t frame = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      const int count = 1 + static_cast<int>(random() % 1024);
      for (int i = 0; i < count; ++i) stereo[2 * i] = sample_of(frame + i);
      tap->write(stereo.data(), count, level_of(frame + count));
      frame += count;
      if (pause_us) std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
    }
  });
  ScopeSnapshot s;
  int64_t last_seen = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (!tap->read(s)) {
      ++refused;
      continue;
    }
    ++accepted;
    const std::string wrong = inconsistency(s);
    if (!wrong.empty()) {
      stop = true;
      audio.join();
      FAIL() << "torn snapshot at " << s.frames_written << ": " << wrong;
    }
    ASSERT_GE(s.frames_written, last_seen) << "the frame count went back";
    last_seen = s.frames_written;
  }
  stop = true;
  audio.join();
}

TEST(ScopeTapThreads, FlatOutWriterNeverTearsASnapshot) {
  int accepted = 0, refused = 0;
  hammer(0, 1.5, accepted, refused);
  EXPECT_GT(accepted, 0) << refused << " reads refused, none accepted";
}

TEST(ScopeTapThreads, PacedWriterLetsReadsThrough) {
  int accepted = 0, refused = 0;
  hammer(200, 1.0, accepted, refused);
  EXPECT_GT(accepted, 100);
  // A reader stopped for longer than the ring lasts may miss a turn; most must not.
  EXPECT_LT(refused, accepted / 10 + 1) << accepted << " accepted";
}

}  // namespace
