#include "devices/error_text.h"

#include <cstdio>

namespace {
const char* const kTexts[] = {
    "No errors",
    "Cannot call this command after FSOUND_Init.  Call FSOUND_Close first.",
    "This command failed because FSOUND_Init was not called",
    "Error initializing output device.",
    "The output device is already in use and cannot be reused.",
    "Playing the sound failed.",
    "Soundcard does not support the features needed for this soundsystem (16bit stereo output)",
    "Error setting cooperative level for hardware.",
    "Error creating hardware sound buffer.",
    "File not found",
    "Unknown file format",
    "Error loading file",
    "Not enough memory ",
    "The version number of this file format is not supported",
    "An invalid parameter was passed to this function",
    "Tried to use an EAX command on a non EAX enabled channel or output.",
    "Failed to allocate a new channel",
    "Recording not supported on this device",
    "Required Mediaplayer codec is not installed",
};
constexpr int32_t kCount = sizeof kTexts / sizeof kTexts[0];
}  // namespace

const char* error_text(int32_t code) {
  if (code < 0 || code >= kCount) return "Unknown error";
  return kTexts[code];
}

void print_layer_error(int32_t code) {
  std::fputs("Error!\n", stdout);
  std::printf("%s\n", error_text(code));
}
