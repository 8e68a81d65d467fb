#include "window/scope_trace.h"

#include <algorithm>

int scope_trigger(const int16_t* samples, int count, int shown) {
  const int latest_start = count - shown;
  if (latest_start <= 0) return 0;
  int found = latest_start;
  bool armed = false;
  for (int i = 1; i <= latest_start; ++i) {
    if (samples[i - 1] < -kScopeArmLevel) armed = true;
    if (armed && samples[i - 1] < 0 && samples[i] >= 0) {
      found = i;
      armed = false;
    }
  }
  return found;
}

namespace {
int row_of(int sample, int height) {
  const int middle = height / 2;
  const int row = middle - static_cast<int>(static_cast<int64_t>(sample) * middle / kScopeFullScale);
  return std::clamp(row, 0, height - 1);
}
}  // namespace

void scope_columns(const int16_t* samples, int shown, int width, int height, ScopeColumn* out) {
  int previous_row = row_of(samples[0], height);
  for (int x = 0; x < width; ++x) {
    const int first = static_cast<int>(static_cast<int64_t>(x) * shown / width);
    const int last = std::max(first, static_cast<int>(static_cast<int64_t>(x + 1) * shown / width) - 1);
    int top = previous_row, bottom = previous_row;
    for (int i = first; i <= last && i < shown; ++i) {
      const int row = row_of(samples[i], height);
      top = std::min(top, row);
      bottom = std::max(bottom, row);
      previous_row = row;
    }
    out[x].top = static_cast<int16_t>(top);
    out[x].bottom = static_cast<int16_t>(bottom);
  }
}
