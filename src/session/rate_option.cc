#include "session/rate_option.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "wsy/engine.h"

bool read_sample_rate(const char* text, int& rate) {
  if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;  // strtol takes a sign and spaces
  char* end = nullptr;
  errno = 0;
  const long hz = std::strtol(text, &end, 10);
  if (*end || errno || hz < kMinSampleRate || hz > kMaxSampleRate) return false;
  rate = static_cast<int>(hz);
  return true;
}

std::string rate_option_error(const char* value) {
  return std::string(kRateOption) + " takes a whole number of hertz from " + std::to_string(kMinSampleRate) +
         " to " + std::to_string(kMaxSampleRate) + ", not \"" + value + "\"";
}
