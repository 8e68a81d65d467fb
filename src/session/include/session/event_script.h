#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "wsy/engine.h"

// An event script, one event a line, frames never decreasing:
//   0 rate HZ           the script's sample rate (frames are counted at it); the
//                       first event line if present; without it, 44100 Hz
//   0 voices N          the notes at once it was played with, 1..kMaxVoices
//   0 velocity S        the velocity sensitivity it was played with, 0..1
//                       (these two: each once, at frame 0, after the rate
//                       line and before every other event)
//   FRAME KEY down|up   KEY: z x c v b n return escape, or a lower-case letter or digit
//   FRAME user          a random note, as when the envelope runs out
//   FRAME midi B1 [B2 [B3]]  one MIDI channel message, two hex digits a byte
//   FRAME close         the window's close button (does nothing)
//   FRAME patch FILE    the patch in FILE replaces the one playing (FILE: the
//                       rest of the line; the reader of the script decides
//                       what a relative name is relative to)
//   FRAME end           the end of the render (the last line only)
// Blank lines and lines starting with '#' are skipped.
struct EventScript {
  // Each with its frame, in file order: note keys and Enter as the engine's
  // note and replay commands (other keys play nothing and give none). A
  // kSwapPatch command has no patch yet: its file is in `patch_files`.
  std::vector<Command> commands;
  // The files of the kSwapPatch commands, as written, one each in the same order.
  std::vector<std::string> patch_files;
  std::optional<int64_t> escape_frame; // Escape ends the render before this frame
  std::optional<int64_t> end_frame;    // from "FRAME end"
  int sample_rate = 0;                 // from "0 rate HZ"; 0 when the script has no rate line (44100 Hz)
  std::optional<int> voices;           // from "0 voices N"
  std::optional<double> velocity;      // from "0 velocity S"
};

// Reads a script. On a bad line returns false with `error` naming the line
// and what is wrong.
bool read_event_script(FILE* in, EventScript& script, std::string& error);

// The script line of a command applied before `frame`, without a line break;
// empty for a command that has no line (a swap; a note no key plays).
std::string event_script_line(int64_t frame, const Command& command);
// The line of a patch swap applied before `frame`: "FRAME patch FILE".
std::string patch_script_line(int64_t frame, const std::string& file);
// The line that gives a script's sample rate: "0 rate HZ".
std::string rate_script_line(int sample_rate);
// The lines that give the voices and the velocity sensitivity a script was
// played with: "0 voices N", "0 velocity S" (S in the shortest text that
// reads back to exactly `velocity`).
std::string voices_script_line(int voices);
std::string velocity_script_line(double velocity);
