#pragma once
#include <cstdint>

// Sums up to 24 inputs, each weighted by the whole number 10000 / input_count,
// so that oscillators in -1..1 land well inside the 16-bit sample range.
struct Mixer {
  static constexpr int kInputs = 24;
  static constexpr int kNameSize = 800;

  char name[kNameSize] = {};
  int32_t input_count = 0;
  float inputs[kInputs] = {};  // input number k (1..24) is inputs[k - 1]
  float output = 0;

  int sum();
  float get_output() const { return output; }
};
