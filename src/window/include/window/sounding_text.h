#pragma once
// The words the window shows for the notes sounding: with one voice, the
// note line it has always shown; with several, how many voices are busy and
// each busy voice's note, grouped by what started it.
#include <string>
#include <vector>

#include "window/window_state.h"

// "Sounding: A4   note 58   440.00 Hz   (key)", or "Sounding: nothing".
std::string sounding_text(const SoundingNote& sounding);

// What started a note, as the window names it: "key", "Enter", "MIDI", "auto-play".
const char* cause_word(SoundingNote::Cause cause);

// Voices busy now: entries of `voice_notes` whose cause is not kNone.
int busy_voices(const WindowState& state);

// "Sounding: 3 of 8 voices".
std::string voices_heading(const WindowState& state);

// The busy voices' notes, grouped by what started them (keys, Enter, MIDI,
// auto-play), each group's notes from low to high and its cause after them
// in brackets, the groups three spaces apart: "A4 C#5 (key)   A3 E4 (MIDI)".
// Empty when no voice is busy.
std::string voice_notes_text(const WindowState& state);

// `text` in lines of at most `fits(line)` each, broken at spaces but never
// before a bracket, so that a cause stays with its last note; a word longer
// than a line stands alone.
template <typename Fits>
std::vector<std::string> wrap_words(const std::string& text, Fits fits) {
  std::vector<std::string> lines;
  std::string line;
  size_t at = 0;
  while (at < text.size()) {
    // The next piece: up to a space that is not followed by another space or a bracket.
    size_t end = at;
    while (end < text.size()) {
      end = text.find(' ', end);
      if (end == std::string::npos) {
        end = text.size();
        break;
      }
      const size_t next = text.find_first_not_of(' ', end);
      if (next == std::string::npos || text[next] != '(') break;
      end = next;
    }
    const std::string piece = text.substr(at, end - at);
    const size_t gap_end = text.find_first_not_of(' ', end);
    const std::string gap = text.substr(end, (gap_end == std::string::npos ? text.size() : gap_end) - end);
    at = gap_end == std::string::npos ? text.size() : gap_end;
    if (!line.empty() && !fits(line + piece)) {
      while (!line.empty() && line.back() == ' ') line.pop_back();
      lines.push_back(line);
      line.clear();
    }
    line += piece + gap;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (!line.empty()) lines.push_back(line);
  return lines;
}
