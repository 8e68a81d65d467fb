#pragma once
// What the audio layer's calls remember between them: the output and driver
// chosen, whether FSOUND_Init has run, the last error and the open streams.
// Main thread only.
#include <deque>
#include <string>
#include <vector>

#include "devices/fsound.h"

struct LayerState {
  int output = kOutputAlsa;  // what FSOUND_GetOutput reports
  int driver = 0;
  bool initialised = false;
  int rate = 0;  // what FSOUND_GetOutputRate reports once initialised
  int error = kErrNone;
  std::vector<AudioStream*> streams;
  std::deque<std::string> names;  // driver names handed out; a deque keeps earlier ones in place
};

extern LayerState layer;

// Records `code` as the layer's error; returns 0, the calls' "failed".
signed char layer_fail(int code);
