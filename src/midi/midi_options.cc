#include "midi/midi_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kLowestChannel = 1, kHighestChannel = 16;
constexpr long kLowestBendRange = 0, kHighestBendRange = 24;

// A whole number from `low` to `high`, or false with `error` set.
bool whole_number_in(const char* option, const char* text, long low, long high, long& n, std::string& error) {
  char* end = nullptr;
  errno = 0;
  n = std::strtol(text, &end, 10);
  if (*text && !*end && !errno && n >= low && n <= high) return true;
  error = std::string(option) + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
          ", not \"" + text + "\"";
  return false;
}

}  // namespace

bool read_midi_option(const char* option, const char* value, MidiSettings& settings, std::string& error) {
  long n = 0;
  if (std::strcmp(option, kMidiChannelOption) == 0) {
    if (!whole_number_in(option, value, kLowestChannel, kHighestChannel, n, error)) return false;
    settings.channel = static_cast<uint8_t>(n);
    return true;
  }
  if (std::strcmp(option, kBendRangeOption) == 0) {
    if (!whole_number_in(option, value, kLowestBendRange, kHighestBendRange, n, error)) return false;
    settings.bend_range = static_cast<uint8_t>(n);
    return true;
  }
  error = std::string(option) + " is not a MIDI option";
  return false;
}

std::string midi_options_text(const MidiSettings& settings) {
  std::string text;
  if (settings.channel) text += std::string(" ") + kMidiChannelOption + " " + std::to_string(settings.channel);
  if (settings.bend_range != MidiSettings{}.bend_range)
    text += std::string(" ") + kBendRangeOption + " " + std::to_string(settings.bend_range);
  return text;
}
