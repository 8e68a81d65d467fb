// --voices and --velocity as both programs read them.
#include "session/voice_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "wsy/engine.h"

namespace {

TEST(VoiceOptions, VoicesFromOneToTheMostAnEngineSounds) {
  for (const auto& [text, expected] : {std::pair{"1", 1}, {"2", 2}, {"8", 8}, {"32", kMaxVoices}, {"007", 7}}) {
    int voices = 0;
    double velocity = 0.25;
    std::string error;
    ASSERT_TRUE(read_voice_option("--voices", text, voices, velocity, error)) << text << ": " << error;
    EXPECT_EQ(voices, expected) << text;
    EXPECT_EQ(velocity, 0.25) << "the other setting is left alone";
  }
}

TEST(VoiceOptions, AnyOtherVoiceCountIsRefusedWithTheRange) {
  for (const char* bad : {"0", "33", "-1", "+2", " 2", "2 ", "", "2.0", "1e1", "3x", "99999999999999999999"}) {
    int voices = 5;
    double velocity = 0.5;
    std::string error;
    EXPECT_FALSE(read_voice_option("--voices", bad, voices, velocity, error)) << bad;
    EXPECT_EQ(error, std::string("--voices takes a whole number of voices from 1 to 32, not \"") + bad + "\"");
    EXPECT_EQ(voices, 5) << bad;
    EXPECT_EQ(velocity, 0.5) << bad;
  }
}

TEST(VoiceOptions, VelocityFromZeroToOne) {
  for (const auto& [text, expected] :
       {std::pair{"0", 0.0}, {"1", 1.0}, {"0.5", 0.5}, {".25", 0.25}, {"1.0", 1.0}, {"2.5e-1", 0.25}, {"0e0", 0.0}}) {
    int voices = 3;
    double velocity = -1;
    std::string error;
    ASSERT_TRUE(read_voice_option("--velocity", text, voices, velocity, error)) << text << ": " << error;
    EXPECT_EQ(velocity, expected) << text;
    EXPECT_EQ(voices, 3);
  }
}

TEST(VoiceOptions, AnyOtherVelocityIsRefusedAndNamed) {
  for (const char* bad : {"1.0001", "2", "-0.5", "-0", "+0.5", "nan", "inf", "infinity", "0x1p-1", "", " 0.5", "0.5 ",
                          "0,5", "half", "1e400", ".", "e1"}) {
    int voices = 3;
    double velocity = 0.75;
    std::string error;
    EXPECT_FALSE(read_voice_option("--velocity", bad, voices, velocity, error)) << bad;
    EXPECT_NE(error.find("--velocity takes a number from 0"), std::string::npos) << error;
    EXPECT_NE(error.find(std::string("not \"") + bad + "\""), std::string::npos) << error;
    EXPECT_EQ(velocity, 0.75) << bad;
  }
  int voices = 1;
  double velocity = 0;
  std::string error;
  EXPECT_FALSE(read_voice_option("--rate", "1", voices, velocity, error));
  EXPECT_NE(error.find("--rate"), std::string::npos) << error;
}

// A velocity written for a log reads back to the very same number.
TEST(VoiceOptions, VelocityTextReadsBackExactly) {
  EXPECT_EQ(velocity_text(0.0), "0");
  EXPECT_EQ(velocity_text(1.0), "1");
  EXPECT_EQ(velocity_text(0.5), "0.5");
  for (double s : {0.1, 0.3, 1.0 / 3, 2.0 / 3, 0.7, 1e-9, 0.9999999999999999, 5e-324, 0.123456789012345678}) {
    const std::string text = velocity_text(s);
    double read = -1;
    ASSERT_TRUE(read_velocity_sensitivity(text.c_str(), read)) << text;
    EXPECT_EQ(read, s) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), s) << text;
  }
}

}  // namespace
