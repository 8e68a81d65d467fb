#pragma once
#include <cstdint>

// The audio layer's error code (FSOUND_GetError) as a fixed English text.
// Never null: unknown codes, negative ones included, give "Unknown error".
const char* error_text(int32_t code);

// A failure of the audio layer as the console shows it: "Error!" and, on the
// next line, the text of `code`.
void print_layer_error(int32_t code);
