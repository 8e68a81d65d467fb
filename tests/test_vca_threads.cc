// The envelope shared by two threads: the main thread triggers and releases
// while the audio thread runs the stream fill flat out. Checks the handoff's
// promises: a new note never starts from the old note's time, never loses
// its `active` to the end of the note before it, and a release that follows
// a trigger at once is never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "patch/patch.h"
#include "control/stream_fill.h"
#include "synth/vca.h"
#include "test_support.h"

namespace {

constexpr int kFramesPerCall = 16;
constexpr int64_t kNoteFrames = 20205;  // steps from trigger to the end of an unreleased note

class AudioThread {
 public:
  AudioThread() : thread_([this] { run(); }) {}
  ~AudioThread() {
    stop_.store(true);
    thread_.join();
  }
  int64_t frames() const { return frames_.load(std::memory_order_acquire); }
  int last_peak() const { return last_peak_.load(std::memory_order_acquire); }
  // The loudest sample since the last call, whatever the main thread missed.
  int take_max_peak() { return max_peak_.exchange(0, std::memory_order_acq_rel); }
  void wait_frames(int64_t n) const {
    const int64_t until = frames() + n;
    while (frames() < until) std::this_thread::yield();
  }

 private:
  void run() {
    int16_t buffer[2 * kFramesPerCall];
    while (!stop_.load()) {
      stream_callback(nullptr, buffer, sizeof buffer, nullptr);
      int peak = 0;
      for (int16_t s : buffer) peak = std::max(peak, std::abs(static_cast<int>(s)));
      last_peak_.store(peak, std::memory_order_release);
      int loudest = max_peak_.load(std::memory_order_relaxed);
      while (peak > loudest && !max_peak_.compare_exchange_weak(loudest, peak, std::memory_order_acq_rel)) {}
      frames_.fetch_add(kFramesPerCall, std::memory_order_acq_rel);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> frames_{0};
  std::atomic<int> last_peak_{0};
  std::atomic<int> max_peak_{0};
  std::thread thread_;
};

struct Shared {
  LoadedPatch loaded{"LFO1;*FREQ=0;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n"};
  Vca vca;
  FILE* sink = std::fopen("/dev/null", "w");
  Shared() {
    vca.console = sink;
    the_patch = loaded.patch.get();
    the_vca = &vca;
  }
  ~Shared() { std::fclose(sink); }
};

// A note lasts its full length unless something cuts it: observing it idle
// earlier means a step paired it with a stale time or a stale end.
void expect_full_length(const Vca& vca, const AudioThread& audio, int64_t triggered_at) {
  while (vca.active()) std::this_thread::yield();
  const int64_t lasted = audio.frames() - triggered_at;
  ASSERT_GE(lasted, kNoteFrames - kFramesPerCall) << "a note ended after " << lasted << " frames";
}

TEST(VcaThreads, NotesSurviveTheNoteBefore) {
  Shared shared;
  AudioThread audio;
  std::srand(7);
  for (int round = 0; round < 150; ++round) {
    const int64_t first = audio.frames();
    shared.vca.trigger();
    ASSERT_TRUE(shared.vca.active());
    // Retrigger near the end of that note, where a stale time or end step would bite.
    const int64_t near_end = kNoteFrames - 64 + std::rand() % 96;
    while (audio.frames() - first < near_end && shared.vca.active()) {}
    const int64_t again = audio.frames();
    shared.vca.trigger();
    ASSERT_TRUE(shared.vca.active());
    expect_full_length(shared.vca, audio, again);
  }
}

TEST(VcaThreads, TriggerStormKeepsActive) {
  Shared shared;
  AudioThread audio;
  for (int i = 0; i < 20000; ++i) {
    shared.vca.trigger();
    ASSERT_TRUE(shared.vca.active());
  }
  expect_full_length(shared.vca, audio, audio.frames());
}

TEST(VcaThreads, ReleaseRightAfterTriggerIsKept) {
  Shared shared;
  AudioThread audio;
  for (int round = 0; round < 300; ++round) {
    shared.vca.trigger();
    shared.vca.release();
    // Past the 201-step attack, a released note is silent and stays active.
    audio.wait_frames(201 + 3 * kFramesPerCall);
    ASSERT_EQ(audio.last_peak(), 0) << "round " << round << ": the release was lost";
    ASSERT_TRUE(shared.vca.active());
    ASSERT_TRUE(shared.vca.released());
  }
  // And a trigger after a release clears it again: the note sounds.
  audio.take_max_peak();
  shared.vca.trigger();
  ASSERT_FALSE(shared.vca.released());
  audio.wait_frames(1000);
  EXPECT_GT(audio.take_max_peak(), 0);
}

}  // namespace
