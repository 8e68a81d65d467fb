// --rate as both programs read it.
#include "session/rate_option.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RateOption, WholeHertzFromTheLowestToTheHighestRate) {
  for (const auto& [text, expected] : {std::pair{"8000", 8000}, {"22050", 22050}, {"48000", 48000},
                                       {"192000", 192000}, {"044100", 44100}}) {
    int rate = 0;
    ASSERT_TRUE(read_sample_rate(text, rate)) << text;
    EXPECT_EQ(rate, expected) << text;
  }
}

// What strtol alone would take (a sign, leading spaces) is refused too.
TEST(RateOption, AnythingElseIsRefusedAndNamed) {
  for (const char* bad : {"7999", "192001", "+48000", " 48000", "48000 ", "-8000", "", "44100.5", "48k", "4.8e4",
                          "99999999999999999999"}) {
    int rate = 12345;
    EXPECT_FALSE(read_sample_rate(bad, rate)) << bad;
    EXPECT_EQ(rate, 12345) << bad;
    EXPECT_EQ(rate_option_error(bad),
              std::string("--rate takes a whole number of hertz from 8000 to 192000, not \"") + bad + "\"");
  }
}

}  // namespace
