#include "session/voice_options.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wsy/engine.h"

bool read_voice_count(const char* text, int& voices) {
  if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (*end || errno || n < 1 || n > kMaxVoices) return false;
  voices = static_cast<int>(n);
  return true;
}

bool read_velocity_sensitivity(const char* text, double& velocity) {
  // Digits, one point, an exponent: what strtod reads beyond that (a sign,
  // "inf", "nan", "0x...") is no sensitivity a user means.
  const unsigned char first = static_cast<unsigned char>(text[0]);
  if (!std::isdigit(first) && first != '.') return false;
  for (const char* c = text; *c; ++c)
    if (*c == 'x' || *c == 'X') return false;
  // A number too small for a double reads as the nearest one (0 or a
  // subnormal, with ERANGE), which is what it says; one too large is beyond 1.
  char* end = nullptr;
  const double s = std::strtod(text, &end);
  if (*end || !(s >= 0.0 && s <= 1.0)) return false;
  velocity = s;
  return true;
}

bool read_voice_option(const char* option, const char* value, int& voices, double& velocity, std::string& error) {
  if (std::strcmp(option, kVoicesOption) == 0) {
    if (read_voice_count(value, voices)) return true;
    error = std::string(option) + " takes a whole number of voices from 1 to " + std::to_string(kMaxVoices) +
            ", not \"" + value + "\"";
    return false;
  }
  if (std::strcmp(option, kVelocityOption) == 0) {
    if (read_velocity_sensitivity(value, velocity)) return true;
    error = std::string(option) + " takes a number from 0 (every note at full level) to 1 (the note's velocity "
            "counts fully), not \"" + value + "\"";
    return false;
  }
  error = std::string(option) + " is not a voice option";
  return false;
}

std::string velocity_text(double velocity) {
  char text[64];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, velocity);
  return std::string(text, written.ptr);
}
