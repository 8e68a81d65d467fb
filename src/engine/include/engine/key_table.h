#pragma once
#include <cstdint>
#include <optional>

// Key symbols as SDL 1.2 numbers them (lower-case ASCII for letters and digits).
enum KeySym : int32_t { kKeyReturn = 13, kKeyEscape = 27 };

// The six note keys: z x c v b n play notes 58 59 61 62 64 65 (58 is 440 Hz).
std::optional<int32_t> note_for_key(int32_t sym);
