#include "synth/vca.h"

#include <cmath>

#include "synth/sample_rate.h"

namespace {
// Time units per step at 44100 steps a second, added in double and rounded
// back into the float `time`: that rounding makes the default attack 201
// steps long there.
constexpr double kTimeUnitsPerSecond = 0.005 * kReferenceRate;  // 220.5, exact in double
constexpr double kSustainFall = 1000.0;  // the sustain loses level / 1000 per step at 44100
}  // namespace

void Vca::set_sample_rate(int rate) {
  sample_rate_ = rate;
  // A correctly rounded division: 220.5 / 44100 is the double nearest 0.005,
  // the very constant the envelope has always added.
  time_step_ = kTimeUnitsPerSecond / rate;
  steps_ratio_ = static_cast<double>(kReferenceRate) / rate;
  sustain_factor_ = std::pow(1.0 - 1.0 / kSustainFall, steps_ratio_);
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
    time = static_cast<float>(static_cast<double>(t) + time_step_);
  } else if (t >= end) {
    level = 0;
    active = 0;
  } else if (released != 0) {
    if (release_time == 0)
      level = 0.0f;
    else if (sample_rate_ == kReferenceRate)  // the falls as wsy has always computed them
      level = static_cast<float>(level - level / (static_cast<double>(release_time) * 100.0));
    else  // the fall of 44100 / rate historical steps
      level = static_cast<float>(level * std::pow(1.0 - 1.0 / (static_cast<double>(release_time) * 100.0), steps_ratio_));
  } else if (sustain == 0) {
    level = static_cast<float>(peak - static_cast<double>(peak) * (static_cast<double>(t) - attack) / decay);
    time = static_cast<float>(static_cast<double>(t) + time_step_);
  } else {
    if (!(level > sustain))
      level = static_cast<float>(static_cast<double>(peak) * sustain);
    else if (sample_rate_ == kReferenceRate)  // the falls as wsy has always computed them
      level = static_cast<float>(level - level / kSustainFall);
    else  // the fall of 44100 / rate historical steps
      level = static_cast<float>(level * sustain_factor_);
  }
}

void Vca::trigger() {
  level = 0;
  active = 1;
  time = 0;
  released = 0;
}
