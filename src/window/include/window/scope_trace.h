#pragma once
// The oscilloscope's picture: 20 ms of output, started at a rising zero
// crossing so that a steady tone stands still, as one vertical span of
// pixels per column.
#include <cstdint>

#include "wsy/engine.h"

// The picture spans 20 ms: this many frames at `sample_rate`.
constexpr int scope_shown_frames(int sample_rate) { return sample_rate / 50; }
constexpr int kScopeShownFrames = scope_shown_frames(kDefaultSampleRate);

// Where the shown span of `shown` frames starts in `samples` (of `count`):
// at the latest rising zero crossing that leaves `shown` frames after it, or
// at count - shown when there is none (silence, or a tone too low to cross).
// A crossing counts only after the signal has been below -kScopeArmLevel, so
// noise around zero does not make the picture jump.
constexpr int16_t kScopeArmLevel = 64;
int scope_trigger(const int16_t* samples, int count, int shown);

// Rows top..bottom (inclusive) lit in one column of the trace.
struct ScopeColumn {
  int16_t top = 0;
  int16_t bottom = 0;
  bool operator==(const ScopeColumn&) const = default;
};

// Full scale of the picture: ±kScopeFullScale fills the height; beyond it is clipped.
constexpr int kScopeFullScale = 16384;

// `width` columns for `shown` samples in a trace `height` rows tall: each
// column spans its samples' lowest and highest rows and reaches the previous
// column's last sample, so that the trace is an unbroken line.
void scope_columns(const int16_t* samples, int shown, int width, int height, ScopeColumn* out);
