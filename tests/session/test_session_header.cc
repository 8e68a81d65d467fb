// A session log's header read back by the event script reader: the rate,
// the voices and the velocity a session played with, and where the reader
// takes the voices and velocity lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "session/event_script.h"
#include "session/session_log.h"

namespace {

bool read_script(const std::string& text, EventScript& script, std::string& error) {
  FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  const bool ok = read_event_script(in, script, error);
  std::fclose(in);
  return ok;
}

std::string temporary_path() {
  char path[] = "/tmp/wsy_session_header_XXXXXX";
  const int fd = mkstemp(path);
  close(fd);
  return path;
}

TEST(SessionHeader, ALogGivesBackItsRateVoicesAndVelocity) {
  struct Case {
    int rate;
    int voices;
    double velocity;
  };
  for (const Case c : {Case{44100, 1, 0.0}, Case{48000, 8, 1.0}, Case{96000, 32, 0.3}, Case{22050, 3, 1.0 / 3}}) {
    const std::string path = temporary_path();
    {
      SessionLog log;
      std::string error;
      ASSERT_TRUE(log.open(path, "sine.wsy", true, error, "", c.rate, c.voices, c.velocity)) << error;
      Report applied = Report::of(Report::kApplied, 100);
      const uint8_t note_on[] = {0x90, 0x45, 0x20};
      applied.command = Command::midi_message(note_on, 3);
      log.add(applied);
      log.end(4410);
    }
    FILE* in = std::fopen(path.c_str(), "r");
    ASSERT_TRUE(in);
    EventScript script;
    std::string error;
    ASSERT_TRUE(read_event_script(in, script, error)) << error;
    std::fclose(in);
    std::remove(path.c_str());
    EXPECT_EQ(script.sample_rate, c.rate);
    ASSERT_TRUE(script.voices.has_value());
    EXPECT_EQ(*script.voices, c.voices);
    ASSERT_TRUE(script.velocity.has_value());
    EXPECT_EQ(*script.velocity, c.velocity) << "the velocity reads back exactly";
    ASSERT_EQ(script.commands.size(), 1u);
    EXPECT_EQ(script.commands[0].midi.size, 3) << "the note on keeps its velocity byte";
    EXPECT_EQ(script.commands[0].midi.bytes[2], 0x20);
  }
}

TEST(SessionHeader, AScriptWithoutTheLinesLeavesThemToTheCommandLine) {
  EventScript script;
  std::string error;
  ASSERT_TRUE(read_script("0 rate 48000\n0 z down\n", script, error)) << error;
  EXPECT_FALSE(script.voices.has_value());
  EXPECT_FALSE(script.velocity.has_value());
}

TEST(SessionHeader, VoicesAndVelocityLinesComeBeforeTheEventsInAnyOrder) {
  for (const char* good : {"0 voices 4\n0 velocity 0.5\n0 z down\n", "# a take\n0 rate 44100\n\n0 velocity .5\n0 voices 4\n",
                           "0 velocity 0.5\n0 voices 4\n100 end\n"}) {
    EventScript script;
    std::string error;
    ASSERT_TRUE(read_script(good, script, error)) << good << error;
    EXPECT_EQ(script.voices.value_or(0), 4) << good;
    EXPECT_EQ(script.velocity.value_or(0), 0.5) << good;
  }
  for (const char* bad : {"0 z down\n0 voices 4\n", "0 voices 4\n0 voices 4\n", "0 velocity 1\n0 velocity 1\n",
                          "0 voices 2\n0 rate 48000\n", "5 voices 2\n", "0 voices 0\n", "0 voices 33\n", "0 voices\n",
                          "0 voices 2 3\n", "0 velocity 1.5\n", "0 velocity -0.1\n", "0 velocity nan\n",
                          "0 velocity\n", "0 user\n0 velocity 0\n"}) {
    EventScript script;
    std::string error;
    EXPECT_FALSE(read_script(bad, script, error)) << bad;
    EXPECT_NE(error.find("line "), std::string::npos) << error;
  }
}

TEST(SessionHeader, TheLinesAreWrittenAsTheReaderReadsThem) {
  EXPECT_EQ(voices_script_line(8), "0 voices 8");
  EXPECT_EQ(velocity_script_line(0), "0 velocity 0");
  for (double s : {0.0, 0.1, 0.25, 1.0 / 7, 1.0}) {
    EventScript script;
    std::string error;
    ASSERT_TRUE(read_script(voices_script_line(5) + "\n" + velocity_script_line(s) + "\n", script, error)) << error;
    EXPECT_EQ(script.voices.value_or(0), 5);
    EXPECT_EQ(script.velocity.value_or(-1), s) << velocity_script_line(s);
  }
}

}  // namespace
