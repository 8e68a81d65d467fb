#pragma once
// What the window shows, as a plain record: the main loop fills it, the view
// draws it. Nothing here refers to the engine, so a test can make one up.
#include <cstdint>
#include <string>
#include <vector>

#include "wsy/engine.h"  // ScopeSnapshot

// The note heard now (with several voices: one voice's note) and what started it.
struct SoundingNote {
  enum class Cause : uint8_t { kNone, kKey, kMidi, kAutoPlay, kEnter };
  Cause cause = Cause::kNone;  // kNone: nothing sounds
  int32_t note = 0;            // engine note number (58 is A4)
  double hz = 0;               // the frequency it sounds at
};

// One modulation or mixer input of the patch: "LFO_VIBRATO → VCO_LEAD  phase".
struct LinkLine {
  std::string source;
  std::string target;
  std::string input;  // "amp", "freq", "phase", or the mixer's input ("IN1")
};

struct WindowStatus {
  std::string output;       // "JACK, device \"system\""
  int block_frames = 0;     // 0: not playing yet
  std::string midi;         // the MIDI port and its connections; empty: no MIDI
  int64_t underflows = 0;
  std::string last_reload;  // "reloaded at 04:12:07", or why the last one failed; empty: none yet
};

struct WindowState {
  int32_t held_key = 0;  // SDL key symbol of the note key held now ('z'...); 0: none
  // With several voices, every note key held now (held_key is the latest).
  std::vector<int32_t> held_keys;
  SoundingNote sounding;  // with one voice
  // The engine's voices: 1, the monophonic keyboard, shows `sounding`; with
  // more, `voice_notes` holds each voice's note (cause kNone: the voice is
  // free), and the window shows the busy ones and how many they are.
  int voices = 1;
  std::vector<SoundingNote> voice_notes;
  float level = 0;       // the envelope, 0..1
  ScopeSnapshot scope;   // the newest output samples
  int scope_frames = 0;  // of which the trace shows this many (20 ms at the engine's rate); 0: 20 ms at 44100 Hz
  std::string patch_file;
  std::vector<LinkLine> links;
  WindowStatus status;
};
