#pragma once
// Error codes of the audio layer, as FSOUND_GetError reports them; error_text()
// turns them into words. Every output kind answers with one of these.
enum LayerError {
  kErrNone = 0,
  kErrAfterInit = 1,      // call not allowed after FSOUND_Init
  kErrNotInitialised = 2, // stream call before FSOUND_Init
  kErrOutputInit = 3,     // no device, or it could not be opened
  kErrDeviceInUse = 4,    // device busy
  kErrPlay = 5,           // the stream would not start
  kErrOutputFormat = 6,
  kErrNoMemory = 12,
  kErrBadParameter = 14,
};
