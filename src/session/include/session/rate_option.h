#pragma once
// The sample rate both programs take, wsy and wsy-render (--rate HZ), read
// the same way by both and by the event script's "0 rate HZ" line.
#include <string>

constexpr const char kRateOption[] = "--rate";

// `text` as a sample rate: a whole number of hertz, digits only, from
// kMinSampleRate to kMaxSampleRate. False, with `rate` unchanged, for
// anything else ("+48000", " 48000", "44100.5", "48k").
bool read_sample_rate(const char* text, int& rate);

// The sentence for a --rate value read_sample_rate refuses (no program name,
// no newline).
std::string rate_option_error(const char* value);
