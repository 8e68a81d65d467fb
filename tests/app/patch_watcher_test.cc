// The patch watcher on real files in a folder of its own: each way of saving
// is one change, reported once the writes have stopped.
#include "app/patch_watcher.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class PatchWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wsy-watch-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    file_ = folder_ + "/RODUV_2.WSY";
    write(file_, "VCO1;\n");
    ASSERT_TRUE(watcher_.watch(file_));
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  static void write(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }

  // Runs the main loop's part for `span`: poll the descriptor, take changes.
  // Returns how many changes came, and when the first did.
  int changes_within(milliseconds span, Clock::time_point* first = nullptr) {
    int changes = 0;
    const auto until = Clock::now() + span;
    for (auto now = Clock::now(); now < until; now = Clock::now()) {
      pollfd p{watcher_.fd(), POLLIN, 0};
      const int left = static_cast<int>(std::chrono::duration_cast<milliseconds>(until - now).count());
      if (poll(&p, 1, left) > 0 && watcher_.take_change()) {
        if (changes++ == 0 && first) *first = Clock::now();
      }
    }
    return changes;
  }

  // One change, no sooner than the quiet time after `last_touch`, and nothing after it.
  void expect_one_change(Clock::time_point last_touch, const char* what) {
    Clock::time_point seen;
    EXPECT_EQ(changes_within(milliseconds(600), &seen), 1) << what;
    const auto after = std::chrono::duration_cast<milliseconds>(seen - last_touch).count();
    EXPECT_GE(after, PatchWatcher::kQuietMs - 5) << what;
    EXPECT_LE(after, 400) << what;
  }

  std::string folder_, file_;
  PatchWatcher watcher_;
};

TEST_F(PatchWatcherTest, QuietUntilTheFileIsTouched) {
  EXPECT_GE(watcher_.fd(), 0);
  EXPECT_EQ(changes_within(milliseconds(250)), 0);
  // Other files of the folder are not the patch.
  write(folder_ + "/other.wsy", "VCO2;\n");
  write(folder_ + "/RODUV_2.WSY~", "VCO3;\n");
  EXPECT_EQ(changes_within(milliseconds(250)), 0);
}

TEST_F(PatchWatcherTest, EveryWayOfSavingIsOneChange) {
  write(file_, "VCO1;*NOTE=12;\n");
  expect_one_change(Clock::now(), "written in place");

  // An editor's safe save: a new file renamed over the old one.
  write(folder_ + "/.RODUV_2.WSY.swp", "VCO1;*NOTE=7;\n");
  ASSERT_EQ(std::rename((folder_ + "/.RODUV_2.WSY.swp").c_str(), file_.c_str()), 0);
  expect_one_change(Clock::now(), "renamed over");

  ASSERT_EQ(std::remove(file_.c_str()), 0);
  expect_one_change(Clock::now(), "removed");

  write(file_, "VCO1;\n");
  expect_one_change(Clock::now(), "created again");

  ASSERT_EQ(chmod(file_.c_str(), 0), 0);
  expect_one_change(Clock::now(), "made unreadable");

  // Moved away: the name no longer reads.
  ASSERT_EQ(std::rename(file_.c_str(), (folder_ + "/moved").c_str()), 0);
  expect_one_change(Clock::now(), "moved away");
}

TEST_F(PatchWatcherTest, ManyQuickWritesAreOneChangeAfterTheLast) {
  Clock::time_point last;
  // 40 writes 15 ms apart: 600 ms of saving, never quiet for 100 ms.
  int early = 0;
  for (int i = 0; i < 40; ++i) {
    FILE* f = std::fopen(file_.c_str(), i % 2 ? "a" : "w");
    ASSERT_NE(f, nullptr);
    std::fputs("VCO1;", f);
    std::fflush(f);
    std::fputs("*NOTE=12;\n", f);  // a second write in the same save
    std::fclose(f);
    last = Clock::now();
    early += changes_within(milliseconds(15));
  }
  EXPECT_EQ(early, 0) << "a change was reported while the writes went on";
  expect_one_change(last, "after the burst");
}

TEST_F(PatchWatcherTest, ANewTouchRestartsTheQuietTime) {
  write(file_, "VCO1;\n");
  EXPECT_EQ(changes_within(milliseconds(20)), 0);  // the quiet time has begun
  // Past the quiet time, but the expiry is not taken before the next write.
  std::this_thread::sleep_for(milliseconds(PatchWatcher::kQuietMs + 50));
  write(file_, "VCO1;*NOTE=3;\n");
  expect_one_change(Clock::now(), "the second write counts from itself");
}

TEST(PatchWatcher, AFolderThatCannotBeWatchedIsSaid) {
  PatchWatcher watcher;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(watcher.watch("/nonexistent-wsy-folder/RODUV_2.WSY"));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("/nonexistent-wsy-folder/RODUV_2.WSY"), std::string::npos) << said;
  EXPECT_EQ(watcher.fd(), -1);
  EXPECT_FALSE(watcher.take_change());
}

TEST(PatchWatcher, AFileNameAloneWatchesTheWorkingFolder) {
  char pattern[] = "/tmp/wsy-watch-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  PatchWatcher watcher;
  ASSERT_TRUE(watcher.watch("RODUV_2.WSY"));
  ASSERT_EQ(chdir(previous), 0);
  free(previous);
  FILE* f = std::fopen((folder + "/RODUV_2.WSY").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  bool changed = false;
  for (auto until = Clock::now() + milliseconds(600); !changed && Clock::now() < until;) {
    pollfd p{watcher.fd(), POLLIN, 0};
    if (poll(&p, 1, 50) > 0) changed = watcher.take_change();
  }
  EXPECT_TRUE(changed);
  std::filesystem::remove_all(folder);
}

}  // namespace
