#pragma once
#include <cstdint>

// The classic C library generator, reproduced so that every run plays the same
// notes: state = state * 214013 + 2531011 (mod 2^32), yielding bits 16..30.
// Each thread that draws owns one of these; the note picker and the noise
// waveform never disturb each other's sequence.
struct Random {
  uint32_t state = 1;

  int next() {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7FFF);
  }
};
