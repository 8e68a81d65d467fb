#include "synth/vca.h"

namespace {
constexpr double kTimeStep = 0.005;  // added in double, rounded back into the float `time`:
                                     // that rounding makes the default attack 201 steps long
}

void Vca::step() {
  const uint32_t word = handoff.load(std::memory_order_acquire);
  if (!(word & kActive)) {
    level = 0;
    return;
  }
  const uint32_t note = word >> 2;
  if (note != stepped_note) {  // first step of a newly triggered note
    stepped_note = note;
    time = 0;
    level = 0;
  }

  const float t = time;
  const float end = static_cast<float>(static_cast<double>(attack) + decay);
  if (t < attack) {
    level = static_cast<float>(static_cast<double>(peak) * t / attack);
    time = static_cast<float>(static_cast<double>(t) + kTimeStep);
  } else if (t >= end) {
    level = 0;
    // Clear `active` only for this very note; retry only if a release changed the word.
    uint32_t expected = word;
    while ((expected >> 2) == note && (expected & kActive)) {
      if (handoff.compare_exchange_weak(expected, expected & ~kActive, std::memory_order_acq_rel))
        break;
    }
  } else if (word & kReleased) {
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
  std::fputs("\nTRIG\n", console);
  triggered_note = (triggered_note + 1) & (~0u >> 2);
  if (triggered_note == 0) triggered_note = 1;  // 0 is the note before the first trigger
  handoff.store(triggered_note << 2 | kActive, std::memory_order_release);
}

void Vca::release() {
  std::fputs("UNTRIG\n", console);
  handoff.fetch_or(kReleased, std::memory_order_acq_rel);
}
