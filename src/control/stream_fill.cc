#include "control/stream_fill.h"

#include <cstring>

#include "patch/patch.h"
#include "synth/vca.h"

Patch* the_patch = nullptr;
Vca* the_vca = nullptr;

int16_t to_sample(double value) {
  if (!(value >= -0x1p63 && value < 0x1p63)) return 0;
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int64_t>(value)));
}

signed char stream_callback(void* /*stream*/, void* buffer, int length, void* /*user_data*/) {
  Patch& patch = *the_patch;
  Vca& vca = *the_vca;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  const int frames = length >> 2;
  for (int i = 0; i < frames; ++i) {
    vca.step();
    patch.evaluate();
    // Exact in double; the left sample takes it as is, the right one rounded
    // to float first, so the two differ by one step where rounding crosses a
    // whole number.
    const double product = static_cast<double>(patch.get_output()) * vca.level;
    const int16_t frame[2] = {to_sample(product), to_sample(static_cast<float>(product))};
    std::memcpy(out + 4 * i, frame, sizeof frame);
  }
  return 1;
}
