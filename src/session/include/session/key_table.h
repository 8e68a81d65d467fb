#pragma once
// The computer keyboard wsy plays with, as the window, the event scripts and
// the session log name its keys. The engine knows notes and actions only;
// this table turns keys into them and back.
#include <cstdint>
#include <optional>

// Key symbols as SDL 1.2 numbers them (lower-case ASCII for letters and digits).
enum KeySym : int32_t { kKeyReturn = 13, kKeyEscape = 27 };

// The six note keys: z x c v b n play notes 58 59 61 62 64 65 (58 is 440 Hz).
std::optional<int32_t> note_for_key(int32_t sym);
// The note key that plays `note`, if one does.
std::optional<int32_t> key_for_note(int32_t note);
