#pragma once

// The console dialogue: asks for the output type and the driver, and
// initialises the layer at `rate` frames a second, or with 0 at 44100 Hz
// (kDefaultSampleRate), where a JACK server plays at its own rate instead.
// True when the layer is initialised; FSOUND_GetOutputRate then says at which rate.
// Escape, or the end of input, at either prompt ends the process with status 0.
bool select_output(int rate);
