#pragma once

// The console dialogue: asks for the output type and the driver, and
// initialises the layer at kSampleRate. True when the layer is initialised.
// Escape, or the end of input, at either prompt ends the process with status 0.
bool select_output();
