#pragma once
#include <cstdint>

// The audio layer's error code (FSOUND_GetError) as a fixed English text.
// Never null: unknown codes, negative ones included, give "Unknown error".
const char* error_text(int32_t code);
