#pragma once
// How the window names an engine note: note 58 is A4 (440 Hz), a step is a semitone.
#include <cstdint>
#include <string>

// "A4", "A#4", "C5": the name with sharps, and the octave that starts at C.
std::string note_name(int32_t note);

// A frequency as the key list shows it: whole hertz, "440 Hz", "466 Hz".
std::string whole_hertz(double hz);
