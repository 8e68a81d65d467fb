#include "synth/mixer.h"

#include <algorithm>

int Mixer::sum() {
  float total = 0;
  if (input_count > 0) {
    const int gain = 10000 / input_count;  // whole number on purpose: 3 inputs give 3333
    // More links than inputs only lowers the gain; the sum stops at the last input.
    const int summed = std::min<int>(input_count, kInputs);
    for (int i = 0; i < summed; ++i)
      total = static_cast<float>(static_cast<double>(gain) * inputs[i] + total);
  }
  output = total;
  return 1;
}
