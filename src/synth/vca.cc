#include "synth/vca.h"

namespace {
constexpr double kTimeStep = 0.005;  // added in double, rounded back into the float `time`:
                                     // that rounding makes the default attack 201 steps long
}

void Vca::step() {
  if (active != 1) {
    level = 0;
    return;
  }
  const float t = time;
  const float end = static_cast<float>(static_cast<double>(attack) + decay);
  if (t < attack) {
    level = static_cast<float>(static_cast<double>(peak) * t / attack);
    time = static_cast<float>(static_cast<double>(t) + kTimeStep);
  } else if (t >= end) {
    level = 0;
    active = 0;
  } else if (released != 0) {
    level = release_time != 0
                ? static_cast<float>(level - level / (static_cast<double>(release_time) * 100.0))
                : 0.0f;
  } else if (sustain == 0) {
    level = static_cast<float>(peak - static_cast<double>(peak) * (static_cast<double>(t) - attack) / decay);
    time = static_cast<float>(static_cast<double>(t) + kTimeStep);
  } else {
    level = level > sustain ? static_cast<float>(level - level / 1000.0)
                            : static_cast<float>(static_cast<double>(peak) * sustain);
  }
}

void Vca::trigger() {
  level = 0;
  active = 1;
  time = 0;
  released = 0;
}
