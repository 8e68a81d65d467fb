#include "window/sounding_text.h"

#include <algorithm>
#include <cstdio>

#include "window/note_name.h"

const char* cause_word(SoundingNote::Cause cause) {
  switch (cause) {
    case SoundingNote::Cause::kKey: return "key";
    case SoundingNote::Cause::kEnter: return "Enter";
    case SoundingNote::Cause::kMidi: return "MIDI";
    case SoundingNote::Cause::kAutoPlay: return "auto-play";
    case SoundingNote::Cause::kNone: break;
  }
  return "";
}

std::string sounding_text(const SoundingNote& s) {
  if (s.cause == SoundingNote::Cause::kNone) return "Sounding: nothing";
  // With one voice Enter's note is shown as a key's, as the window always has.
  const char* cause = s.cause == SoundingNote::Cause::kEnter ? cause_word(SoundingNote::Cause::kKey)
                                                             : cause_word(s.cause);
  char text[160];
  std::snprintf(text, sizeof text, "Sounding: %s   note %d   %.2f Hz   (%s)", note_name(s.note).c_str(),
                static_cast<int>(s.note), s.hz, cause);
  return text;
}

int busy_voices(const WindowState& state) {
  return static_cast<int>(std::count_if(state.voice_notes.begin(), state.voice_notes.end(), [](const SoundingNote& n) {
    return n.cause != SoundingNote::Cause::kNone;
  }));
}

std::string voices_heading(const WindowState& state) {
  return "Sounding: " + std::to_string(busy_voices(state)) + " of " + std::to_string(state.voices) + " voices";
}

std::string voice_notes_text(const WindowState& state) {
  constexpr SoundingNote::Cause kOrder[] = {SoundingNote::Cause::kKey, SoundingNote::Cause::kEnter,
                                            SoundingNote::Cause::kMidi, SoundingNote::Cause::kAutoPlay};
  std::string text;
  std::vector<int32_t> notes;
  for (SoundingNote::Cause cause : kOrder) {
    notes.clear();
    for (const SoundingNote& n : state.voice_notes)
      if (n.cause == cause) notes.push_back(n.note);
    if (notes.empty()) continue;
    std::sort(notes.begin(), notes.end());
    if (!text.empty()) text += "   ";
    for (int32_t note : notes) text += note_name(note) + " ";
    text += "(" + std::string(cause_word(cause)) + ")";
  }
  return text;
}
