#pragma once
// What a request to connect a MIDI input from other ports did.
#include <string>
#include <vector>

struct MidiConnectResult {
  std::vector<std::string> connected;  // the ports now feeding the input, by name
  std::string warning;                 // a sentence for the user when nothing was connected (no newline); else empty
};
