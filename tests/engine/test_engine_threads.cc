// The engine between two threads, as wsy runs it: the main thread sends
// commands and takes reports while the audio thread renders blocks flat out.
// Every command arrives once, in the order sent, at a frame that never goes
// back, and its report comes back with it; the sample buffers are the audio
// thread's alone. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "../test_support.h"
#include "wsy/engine.h"

namespace {

TEST(EngineThreads, CommandsArriveOnceInOrderAndReportsComeBack) {
  EngineSettings settings;
  settings.autoplay = false;  // only the commands start notes
  LoadResult result;
  std::unique_ptr<Engine> engine =
      Engine::from_text("LFO1;*FREQ=5;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n", "threads.wsy", settings, {}, result);
  ASSERT_TRUE(engine) << result.error;

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    std::vector<int16_t> block(2 * 64);
    while (!stop.load(std::memory_order_relaxed)) engine->render(64, block.data());
  });

  constexpr int kCommands = 20000;
  // The six note keys' notes, and 0 for Enter; applied as they were sent,
  // a key let go as minus that, minus 1.
  const int32_t notes[] = {58, 59, 61, 62, 64, 65, 0};
  std::vector<int32_t> sent_keys, applied_keys;
  int64_t last_frame = -1;
  bool frames_in_order = true;
  long trigs = 0, untrigs = 0;
  Report report;
  auto take = [&] {
    while (engine->take_report(report)) {
      if (report.kind == Report::kApplied) {
        const Command& c = report.command;
        const int32_t note = c.kind == Command::kReplay || c.kind == Command::kReleaseReplay ? 0 : c.note;
        applied_keys.push_back(c.kind == Command::kPlayNote || c.kind == Command::kReplay ? note : -note - 1);
        frames_in_order = frames_in_order && report.frame >= last_frame;
        last_frame = report.frame;
      }
      trigs += report.kind == Report::kTrig;
      untrigs += report.kind == Report::kUntrig;
    }
  };
  for (int i = 0; i < kCommands; ++i) {
    const int32_t note = notes[i / 2 % 7];
    const Command command = note ? (i % 2 ? Command::release_note(note) : Command::play_note(note))
                                 : (i % 2 ? Command::release_replay() : Command::replay());
    while (!engine->send(command)) take();  // full: let the audio thread catch up
    sent_keys.push_back(i % 2 ? -note - 1 : note);
    if (i % 64 == 0) take();
  }
  while (static_cast<int>(applied_keys.size()) < kCommands) {
    take();
    std::this_thread::yield();
  }
  stop.store(true);
  audio.join();
  take();

  EXPECT_EQ(applied_keys, sent_keys);
  EXPECT_TRUE(frames_in_order);
  EXPECT_EQ(trigs, kCommands / 2);   // every key down plays, Enter included
  EXPECT_EQ(untrigs, kCommands / 2); // every key up releases
  EXPECT_EQ(engine->lost_reports(), 0);
  EXPECT_GT(engine->frames(), last_frame);
}

}  // namespace
