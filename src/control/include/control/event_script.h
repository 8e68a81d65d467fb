#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "control/events.h"

// One line of a wsy-render event script: the event and the frame before
// which it reaches the event queue.
struct ScriptedEvent {
  int64_t frame;
  Event event;
};

// Reads a script: "FRAME KEY down|up", "FRAME user" or "FRAME close" per line,
// frames non-decreasing; blank lines and '#' lines are skipped. On a bad line
// returns false with `error` naming the line and what is wrong.
bool read_event_script(FILE* in, std::vector<ScriptedEvent>& events, std::string& error);
