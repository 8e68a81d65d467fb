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

#include "engine/engine.h"
#include "engine/key_table.h"
#include "../test_support.h"

namespace {

TEST(EngineThreads, CommandsArriveOnceInOrderAndReportsComeBack) {
  Capture trace, warnings;
  EngineSettings settings;
  settings.autoplay = false;  // only the commands start notes
  settings.console = trace.file();
  settings.diagnostics = warnings.file();
  const std::string path = write_temp_file("threads.wsy", "LFO1;*FREQ=5;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n");
  std::unique_ptr<Engine> engine(start_engine(path.c_str(), settings));
  std::remove(path.c_str());
  ASSERT_TRUE(engine);

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    std::vector<int16_t> block(2 * 64);
    while (!stop.load(std::memory_order_relaxed)) engine->render(64, block.data());
  });

  constexpr int kCommands = 20000;
  const int32_t keys[] = {'z', 'x', 'c', 'v', 'b', 'n', kKeyReturn};
  std::vector<int32_t> sent_keys, applied_keys;
  int64_t last_frame = -1;
  bool frames_in_order = true;
  long trigs = 0, untrigs = 0;
  Report report;
  auto take = [&] {
    while (engine->take_report(report)) {
      if (report.kind == Report::kApplied) {
        applied_keys.push_back(report.command.kind == Command::kKeyDown ? report.command.key : -report.command.key);
        frames_in_order = frames_in_order && report.frame >= last_frame;
        last_frame = report.frame;
      }
      trigs += report.kind == Report::kTrig;
      untrigs += report.kind == Report::kUntrig;
    }
  };
  for (int i = 0; i < kCommands; ++i) {
    const int32_t key = keys[i / 2 % 7];
    const Command command = i % 2 ? Command::key_up(key) : Command::key_down(key);
    while (!engine->send(command)) take();  // full: let the audio thread catch up
    sent_keys.push_back(i % 2 ? -key : key);
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
  delete &engine->patch();
}

}  // namespace
