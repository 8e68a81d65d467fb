#pragma once
#include <optional>
#include <string>
#include <vector>

#include "midi/midi_voice.h"

// wsy's command line. Anything wsy does not know is ignored with a one-line
// warning on standard error, so that a run with stray arguments plays as one
// without them.
struct WsyOptions {
  std::optional<std::string> patch;  // --patch FILE; none: RODUV_2.WSY here
  std::string record;                // --record FILE: the session log
  bool autoplay = true;              // --no-autoplay
  bool watch = true;                 // --no-watch: the patch file is not reloaded when saved
  bool midi = true;                  // --no-midi: no MIDI input at all
  std::vector<std::string> midi_connect;  // --midi-connect PORT, in order
  MidiSettings midi_settings;        // --midi-channel N, --bend-range R
  int rate = 0;                      // --rate HZ; 0: JACK's server rate, else 44100 Hz
  int voices = 1;                    // --voices N: notes at once, 1..kMaxVoices
  double velocity = 0;               // --velocity S: velocity sensitivity, 0..1
};

// Parses argv. --help and --version print to standard output and end the
// process with status 0; an option without its value ends it with status 2.
WsyOptions parse_wsy_options(int argc, char** argv);

extern const char kWsyUsage[];
