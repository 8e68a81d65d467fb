// The audio layer's own contract, without a sound card: error texts, call
// order, output codes, and the NoSound stream that still pulls the callback.
#include "devices/fsound.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "devices/audio_output.h"
#include "devices/block_size.h"
#include "devices/error_text.h"
#include "devices/layer_error.h"
#include "devices/signal_safe_line.h"
#include "devices/stream_statistics.h"

namespace {

// wsy's usual rate; the layer takes any from kLowestRate to kHighestRate.
constexpr int kRate = 44100;

// The words of each failure are the user's only clue: every code the layer
// reports has words, and no two codes share them. (What the console prints
// for a real failure is compared byte for byte in tests/app/test_stream_error.py.)
TEST(ErrorText, EveryCodeTheLayerReportsHasWordsOfItsOwn) {
  const LayerError reported[] = {kErrNone,   kErrAfterInit,    kErrNotInitialised, kErrOutputInit, kErrDeviceInUse,
                                 kErrPlay,   kErrOutputFormat, kErrNoMemory,       kErrBadParameter};
  std::set<std::string> seen;
  for (LayerError code : reported) {
    ASSERT_NE(error_text(code), nullptr) << "code " << code;
    const std::string text = error_text(code);
    EXPECT_FALSE(text.empty()) << "code " << code;
    EXPECT_NE(text, "Unknown error") << "code " << code;
    EXPECT_TRUE(seen.insert(text).second) << "code " << code << " repeats \"" << text << "\"";
  }
}

TEST(ErrorText, CodesTheLayerNeverGivesAreUnknown) {
  for (int code : {-1, INT_MIN, INT_MAX, 1000}) EXPECT_STREQ(error_text(code), "Unknown error") << code;
}

signed char silent_fill(void*, void* buffer, int length, void*) {
  std::memset(buffer, 0, length);
  return 1;
}

class Layer : public ::testing::Test {
 protected:
  void SetUp() override {
    FSOUND_Close();
    FSOUND_SetDriver(0);  // a test before may have chosen another: each starts from the first
  }
  void TearDown() override { FSOUND_Close(); }
};

TEST_F(Layer, StreamCallsBeforeInitFailWithCode2) {
  EXPECT_EQ(FSOUND_Stream_Create(silent_fill, 32768, 0x1000150, kRate, nullptr), nullptr);
  EXPECT_EQ(FSOUND_GetError(), kErrNotInitialised);
  FSOUND_SetOutput(kOutputAlsaMenuCode);  // succeeds, and must not clear the code of a failure
  EXPECT_EQ(FSOUND_Stream_Play(0, nullptr), -1);
  EXPECT_EQ(FSOUND_GetError(), kErrNotInitialised);
}

TEST_F(Layer, MenuCodesSelectTheirOutputs) {
  const struct { int code, reported; } cases[] = {{2, 6}, {1, 4}, {7, 7}, {0, 0}, {6, 6}, {4, 4}};
  for (const auto& c : cases) {
    EXPECT_TRUE(FSOUND_SetOutput(c.code)) << c.code;
    EXPECT_EQ(FSOUND_GetOutput(), c.reported) << c.code;
  }
}

TEST_F(Layer, UnknownOutputCodeIsRefusedAndChangesNothing) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  for (int code : {3, 5, 8, -1}) {
    EXPECT_FALSE(FSOUND_SetOutput(code)) << code;
    EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
    EXPECT_EQ(FSOUND_GetOutput(), kOutputNoSound);
  }
}

TEST_F(Layer, NoSoundHasOneDriver) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  EXPECT_EQ(FSOUND_GetNumDrivers(), 1);
  EXPECT_STREQ(FSOUND_GetDriverName(0), "No sound");
  EXPECT_EQ(FSOUND_GetDriverName(1), nullptr);
  EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
}

TEST_F(Layer, SettingsAreRefusedOnceInitialised) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  ASSERT_TRUE(FSOUND_SetDriver(0));
  ASSERT_TRUE(FSOUND_Init(kRate, 32, 0));
  EXPECT_FALSE(FSOUND_SetOutput(kOutputAlsa));
  EXPECT_EQ(FSOUND_GetError(), kErrAfterInit);
  EXPECT_EQ(FSOUND_GetOutput(), kOutputNoSound);
  EXPECT_FALSE(FSOUND_SetDriver(0));
  EXPECT_FALSE(FSOUND_Init(kRate, 32, 0));
  EXPECT_EQ(FSOUND_GetError(), kErrAfterInit);
}

TEST_F(Layer, CloseAllowsANewStart) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  ASSERT_TRUE(FSOUND_Init(kRate, 32, 0));
  FSOUND_Close();
  EXPECT_EQ(FSOUND_Stream_Create(silent_fill, 32768, 0x1000150, kRate, nullptr), nullptr);
  EXPECT_EQ(FSOUND_GetError(), kErrNotInitialised);
  EXPECT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  EXPECT_TRUE(FSOUND_Init(kRate, 32, 0));
}

TEST_F(Layer, BadInitParametersGiveCode14) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  EXPECT_FALSE(FSOUND_Init(0, 32, 0));
  EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
  EXPECT_FALSE(FSOUND_SetDriver(-1));
  EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
}

TEST_F(Layer, TheOutputRateIsTheOneInitialisedAtAndOnlyARateWsyPlaysAt) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  EXPECT_EQ(FSOUND_GetOutputRate(), 0) << "not initialised";
  for (int rate : {kLowestRate - 1, kHighestRate + 1, 4000}) {
    EXPECT_FALSE(FSOUND_Init(rate, 32, 0)) << rate;
    EXPECT_EQ(FSOUND_GetError(), kErrBadParameter) << rate;
    EXPECT_EQ(FSOUND_GetOutputRate(), 0) << rate;
  }
  // NoSound has no rate of its own: it plays at the one asked for, flag or not.
  for (unsigned flags : {0u, kInitDeviceRate}) {
    for (int rate : {kLowestRate, 22050, 48000, kHighestRate}) {
      ASSERT_TRUE(FSOUND_Init(rate, 32, flags)) << rate;
      EXPECT_EQ(FSOUND_GetOutputRate(), rate) << rate;
      AudioStream* stream = FSOUND_Stream_Create(silent_fill, 32768, 0x1000150, rate, nullptr);
      ASSERT_NE(stream, nullptr) << rate;
      FSOUND_Close();
      EXPECT_EQ(FSOUND_GetOutputRate(), 0) << "closed";
      ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
    }
  }
}

TEST_F(Layer, AMissingDeviceFailsInitWithCode3) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputAlsaMenuCode));  // ALSA
  ASSERT_TRUE(FSOUND_SetDriver(9999));
  EXPECT_FALSE(FSOUND_Init(kRate, 32, 0));
  EXPECT_EQ(FSOUND_GetError(), kErrOutputInit);
}

TEST_F(Layer, StreamParametersAreChecked) {
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  ASSERT_TRUE(FSOUND_Init(kRate, 32, 0));
  EXPECT_EQ(FSOUND_Stream_Create(nullptr, 32768, 0x1000150, kRate, nullptr), nullptr);
  EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
  EXPECT_EQ(FSOUND_Stream_Create(silent_fill, 0, 0x1000150, kRate, nullptr), nullptr);
  EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
  EXPECT_EQ(FSOUND_Stream_Create(silent_fill, 32768, 0x1000100 | 0x20 /* mono */, kRate, nullptr), nullptr);
  EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
  EXPECT_EQ(FSOUND_Stream_Play(0, reinterpret_cast<AudioStream*>(&silent_fill)), -1);
  EXPECT_EQ(FSOUND_GetError(), kErrBadParameter);
  EXPECT_FALSE(FSOUND_Stream_Close(nullptr));
}

// What the NoSound thread hands the callback, seen from the callback.
struct Seen {
  std::atomic<int> calls{0};
  std::atomic<long> frames{0};
  std::atomic<int> largest{0};
  std::atomic<bool> bad_length{false};
  std::atomic<bool> wrong_handle{false};
  std::atomic<void*> handle{nullptr};
};

signed char recording_fill(void* stream, void* buffer, int length, void* user_data) {
  Seen& seen = *static_cast<Seen*>(user_data);
  std::memset(buffer, 0x55, length);  // the whole block must be writable
  if (length <= 0 || length % 4 != 0) seen.bad_length.store(true);
  void* expected = seen.handle.load();
  if (expected && stream != expected) seen.wrong_handle.store(true);
  if (length > seen.largest.load()) seen.largest.store(length);
  seen.frames.fetch_add(length / 4);
  seen.calls.fetch_add(1);
  return 1;
}

bool wait_for_calls(const Seen& seen, int calls) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (seen.calls.load() < calls) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A NoSound stream of `length` bytes a block, filled by recording_fill into
// `seen`, not yet playing.
AudioStream* nosound_stream(Seen& seen, int length) {
  EXPECT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  EXPECT_TRUE(FSOUND_Init(kRate, 32, 0));
  return FSOUND_Stream_Create(recording_fill, length, 0x1000150, kRate, &seen);
}

TEST_F(Layer, NoSoundStreamPullsTheCallbackUntilClosed) {
  Seen seen;
  AudioStream* stream = nosound_stream(seen, 32768);
  ASSERT_NE(stream, nullptr);
  seen.handle.store(stream);
  EXPECT_EQ(seen.calls.load(), 0) << "nothing is pulled before play";
  EXPECT_EQ(FSOUND_Stream_Play(0, stream), 0);
  ASSERT_TRUE(wait_for_calls(seen, 10));
  EXPECT_FALSE(seen.bad_length.load());
  EXPECT_FALSE(seen.wrong_handle.load());
  EXPECT_LE(seen.largest.load(), 32768);
  EXPECT_TRUE(FSOUND_Stream_Close(stream));
  const int after_close = seen.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(seen.calls.load(), after_close) << "the callback ran after the stream was closed";
}

TEST_F(Layer, BlocksNeverExceedTheStreamLength) {
  Seen seen;
  AudioStream* stream = nosound_stream(seen, 66);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
  ASSERT_TRUE(wait_for_calls(seen, 20));
  FSOUND_Close();  // closes the playing stream too
  EXPECT_FALSE(seen.bad_length.load());
  EXPECT_EQ(seen.largest.load(), 64);
}

TEST(BlockFrames, ParsesWholeNumbersInRange) {
  EXPECT_EQ(fsound_parse_block_frames(nullptr), 0);
  EXPECT_EQ(fsound_parse_block_frames(""), 0);
  EXPECT_EQ(fsound_parse_block_frames("16"), 16);
  EXPECT_EQ(fsound_parse_block_frames("0256"), 256);
  EXPECT_EQ(fsound_parse_block_frames("8192"), 8192);
  for (const char* bad : {"0", "15", "8193", "-1", "+256", "256 ", " 256", "2.5", "abc", "1e3",
                          "99999999999999999999999"})
    EXPECT_EQ(fsound_parse_block_frames(bad), -1) << bad;
}

// The underflow line for `count` underflows with blocks of `block_frames`.
int underflow_line(long count, long block_frames, char* line, int size) {
  StreamStatus status;
  status.underflows = count;
  status.block_frames = block_frames;
  return fsound_underflow_line(status, line, size);
}

TEST(Underflows, NoLineForNone) {
  char line[256] = "x";
  EXPECT_EQ(underflow_line(0, 256, line, sizeof line), 0);
  EXPECT_STREQ(line, "");
}

TEST(Underflows, OneLineWithTheCountAndAdvice) {
  char line[256];
  const int n = underflow_line(3, 128, line, sizeof line);
  const std::string text(line);
  EXPECT_EQ(n, static_cast<int>(text.size()));
  EXPECT_EQ(text.rfind("wsy: 3 underflows while playing: ", 0), 0u) << text;
  EXPECT_NE(text.find("(blocks of 128 frames)"), std::string::npos) << text;
  EXPECT_NE(text.find("WSY_BUFFER_FRAMES, such as 256."), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1) << "exactly one line";
  underflow_line(1, 256, line, sizeof line);
  EXPECT_EQ(std::string(line).rfind("wsy: 1 underflow while", 0), 0u) << line;
  underflow_line(1234567890L, 8192, line, sizeof line);
  EXPECT_NE(std::string(line).find("1234567890 underflows"), std::string::npos) << line;
  EXPECT_NE(std::string(line).find("such as 8192."), std::string::npos) << "never past the largest block";
}

TEST(Underflows, ALineIsCutToTheBuffer) {
  char line[12];
  std::memset(line, 'x', sizeof line);
  const int n = underflow_line(42, 256, line, 10);
  EXPECT_EQ(n, 9);
  EXPECT_STREQ(line, "wsy: 42 u");
  EXPECT_EQ(line[10], 'x') << "nothing written past the size given";
}

TEST(Underflows, WithoutABlockSizeTheLineGivesNoAdvice) {
  char line[256];
  underflow_line(2, 0, line, sizeof line);
  EXPECT_STREQ(line, "wsy: 2 underflows while playing: the device asked for samples late and the sound broke up.\n");
  underflow_line(5, 64, line, sizeof line);
  EXPECT_NE(std::string(line).find("(blocks of 64 frames); if you hear crackles, try a larger WSY_BUFFER_FRAMES, "
                                   "such as 128.\n"),
            std::string::npos)
      << line;
}

// Measured (WSY_MEASURE_LATENCY), the line is there also without underflows,
// with how long the slowest block took against how long a block lasts.
TEST(Underflows, MeasuredTheLineSaysHowCloseTheBlocksCameToLate) {
  StreamStatus status;
  status.measuring = true;
  status.block_frames = 256;
  status.block_period_ns = 5804988;
  status.slowest_block_ns = 1234567;
  char line[512];
  underflow_line(0, 0, line, sizeof line);
  EXPECT_STREQ(line, "") << "not measured: nothing to say";
  fsound_underflow_line(status, line, sizeof line);
  EXPECT_STREQ(line,
               "wsy: 0 underflows: the device never asked for samples late.\n"
               "wsy: the slowest block took 1234 us to fill; a block lasts 5804 us.\n");
}

// What the NoSound thread tells about its blocks, in the stream's status: the
// block it computes (256 frames unless WSY_BUFFER_FRAMES says otherwise), how
// long one lasts at the stream's rate, and no underflow nor JACK figure.
TEST_F(Layer, NoSoundStreamStatusShowsItsBlocks) {
  unsetenv("WSY_BUFFER_FRAMES");  // read at the first stream of the process
  Seen seen;
  AudioStream* stream = nosound_stream(seen, 32768);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(fsound_stream_status(*stream).block_frames, 0) << "no block before play";
  ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
  ASSERT_TRUE(wait_for_calls(seen, 5));
  const StreamStatus status = fsound_stream_status(*stream);
  EXPECT_EQ(status.block_frames, 256);
  EXPECT_EQ(status.block_period_ns, 256LL * 1000000000 / kRate);
  EXPECT_EQ(status.underflows, 0);
  EXPECT_EQ(status.xruns, 0);
  EXPECT_EQ(status.dropped_midi_events, 0);
  EXPECT_FALSE(status.measuring);
  EXPECT_FALSE(fsound_stream_lost(stream)) << "a NoSound stream has no device to lose";
  EXPECT_EQ(fsound_stream_label(stream), "NoSound");
  EXPECT_EQ(fsound_stream_midi_input(stream), "");
}

// The terminal signals are the main thread's: the NoSound thread starts with
// them blocked, and the thread that started it keeps its own mask.
std::atomic<int> pump_blocks_sigint{-1};
signed char mask_reading_fill(void*, void* buffer, int length, void*) {
  std::memset(buffer, 0, length);
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  bool all = true;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) all = all && sigismember(&mask, sig) == 1;
  pump_blocks_sigint.store(all ? 1 : 0);
  return 1;
}

TEST_F(Layer, TheNoSoundThreadTakesNoTerminalSignal) {
  sigset_t before, after;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  ASSERT_EQ(sigismember(&before, SIGINT), 0) << "the test starts with SIGINT unblocked";
  ASSERT_TRUE(FSOUND_SetOutput(kOutputNoSound));
  ASSERT_TRUE(FSOUND_Init(kRate, 32, 0));
  AudioStream* stream = FSOUND_Stream_Create(mask_reading_fill, 1024, 0x1000150, kRate, nullptr);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(FSOUND_Stream_Play(0, stream), 0);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (pump_blocks_sigint.load() < 0 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(pump_blocks_sigint.load(), 1) << "SIGINT, SIGTERM, SIGHUP and SIGQUIT blocked on the NoSound thread";
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGINT), 0) << "the caller's mask is as it was";
  EXPECT_EQ(sigismember(&after, SIGTERM), 0);
}

// The builder the signal handler writes its line with.
TEST(SignalSafeLine, WritesNumbersOfEverySign) {
  char buffer[64];
  SignalSafeLine line{buffer, sizeof buffer};
  line.put(0L);
  line.put(" ");
  line.put(-42L);
  line.put(" ");
  line.put(LONG_MIN);
  const std::string expected = "0 -42 " + std::to_string(LONG_MIN);
  EXPECT_EQ(std::string(buffer), expected);
  EXPECT_EQ(line.length, static_cast<int>(expected.size()));
}

}  // namespace
