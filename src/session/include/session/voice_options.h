#pragma once
// The voice options both programs take, wsy and wsy-render: --voices N and
// --velocity S, read the same way by both, and by the event script's
// "0 voices N" and "0 velocity S" lines.
#include <string>

constexpr const char kVoicesOption[] = "--voices";
constexpr const char kVelocityOption[] = "--velocity";

// `text` as a voice count: a whole number from 1 to kMaxVoices. False, with
// `voices` unchanged, for anything else.
bool read_voice_count(const char* text, int& voices);
// `text` as a velocity sensitivity: a decimal number from 0 to 1 ("0.5",
// ".25", "1", "2.5e-1"). False, with `velocity` unchanged, for anything else
// (no sign, no "inf" or "nan", no hexadecimal).
bool read_velocity_sensitivity(const char* text, double& velocity);

// Reads `value` for `option` (kVoicesOption or kVelocityOption) into `voices`
// or `velocity`. False, with `error` set to the sentence for the user (no
// program name, no newline) and both left alone, when `value` is out of the
// option's range or no number, or `option` is neither of them.
bool read_voice_option(const char* option, const char* value, int& voices, double& velocity, std::string& error);

// The shortest decimal text that reads back (read_velocity_sensitivity,
// strtod) to exactly `velocity`: "0", "0.5", "0.3", "1".
std::string velocity_text(double velocity);
