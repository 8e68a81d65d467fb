// --midi-channel and --bend-range as both programs read them.
#include "midi/midi_options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

TEST(MidiOptions, ChannelsOneToSixteen) {
  MidiSettings settings;
  std::string error;
  ASSERT_TRUE(read_midi_option("--midi-channel", "1", settings, error)) << error;
  EXPECT_EQ(settings.channel, 1);
  ASSERT_TRUE(read_midi_option("--midi-channel", "16", settings, error)) << error;
  EXPECT_EQ(settings.channel, 16);
  EXPECT_EQ(settings.bend_range, 2) << "the other setting is left alone";
}

TEST(MidiOptions, BendRangeZeroToTwentyFour) {
  MidiSettings settings;
  std::string error;
  ASSERT_TRUE(read_midi_option("--bend-range", "0", settings, error)) << error;
  EXPECT_EQ(settings.bend_range, 0);
  ASSERT_TRUE(read_midi_option("--bend-range", "24", settings, error)) << error;
  EXPECT_EQ(settings.bend_range, 24);
  EXPECT_EQ(settings.channel, 0);
}

TEST(MidiOptions, AnythingElseIsRefusedWithTheRangeAndLeavesTheSettings) {
  for (const char* bad : {"0", "17", "-1", "", "1.5", "3x", "99999999999999999999"}) {
    MidiSettings settings{5, 7};
    std::string error;
    EXPECT_FALSE(read_midi_option("--midi-channel", bad, settings, error)) << bad;
    EXPECT_EQ(error, std::string("--midi-channel takes a whole number from 1 to 16, not \"") + bad + "\"");
    EXPECT_EQ(settings.channel, 5);
    EXPECT_EQ(settings.bend_range, 7);
  }
  MidiSettings settings;
  std::string error;
  EXPECT_FALSE(read_midi_option("--bend-range", "25", settings, error));
  EXPECT_EQ(error, "--bend-range takes a whole number from 0 to 24, not \"25\"");
  EXPECT_FALSE(read_midi_option("--patch", "1", settings, error));
  EXPECT_NE(error.find("--patch"), std::string::npos) << error;
}

// What a session log asks wsy-render for reads back to the same settings.
TEST(MidiOptions, TheOptionsTextReadsBackToTheSameSettings) {
  EXPECT_EQ(midi_options_text(MidiSettings{}), "") << "the defaults need no option";
  for (const MidiSettings played : {MidiSettings{10, 2}, MidiSettings{0, 12}, MidiSettings{16, 0}}) {
    const std::string text = midi_options_text(played);
    std::istringstream words(text);
    MidiSettings read;
    std::string option, value, error;
    while (words >> option >> value) ASSERT_TRUE(read_midi_option(option.c_str(), value.c_str(), read, error)) << text;
    EXPECT_EQ(read.channel, played.channel) << text;
    EXPECT_EQ(read.bend_range, played.bend_range) << text;
  }
}

}  // namespace
