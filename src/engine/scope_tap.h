#pragma once
// The hand-over of what is heard, from the audio thread to the window: the
// latest output samples (left channel) and the envelope level, with the count
// of frames written so far.
//
// One writer (the audio thread), one or more readers (the main thread). The
// writer never waits, locks nor allocates: it stores into a ring and
// publishes the new frame count. A reader copies the newest frames and then
// checks that the writer has not started to overwrite them meanwhile (a
// sequence check, as in a seqlock); when it has, the reader tries again.
// Readers cannot slow the writer down, and the ring keeps twice as many
// frames as a reader takes, so a reader that copies while a block is written
// still succeeds. Every slot is an atomic (release stores, acquire loads, no
// fences), so the hand-over is race-free in the language's sense and
// ThreadSanitizer can follow it; on x86 each is a plain move.
#include <atomic>
#include <cstdint>

#include "wsy/engine.h"  // ScopeSnapshot

class ScopeTap {
 public:
  static constexpr int kCapacity = 2 * ScopeSnapshot::kFrames;  // a power of two

  // Audio thread, once per block: `stereo` holds `frames` interleaved stereo
  // frames; `level` is the envelope's level after the block. Real-time safe.
  void write(const int16_t* stereo, int frames, float level);

  // Any other thread: copies the newest frames into `out`. False when the writer
  // overwrote them on every try (it writes faster than a reader copies);
  // `out` is then unspecified.
  bool read(ScopeSnapshot& out) const;

 private:
  // Frames the writer has begun to write (`claimed`) and finished (`published`).
  std::atomic<int64_t> claimed_{0};
  std::atomic<int64_t> published_{0};
  std::atomic<int16_t> ring_[kCapacity] = {};
  // The level after a block, in the slot of the block's last frame: it is
  // checked for overwriting exactly like the samples beside it.
  std::atomic<float> level_at_[kCapacity] = {};

  // An atomic that is not lock-free hides a lock in the audio thread.
  static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<int16_t>::is_always_lock_free &&
                std::atomic<float>::is_always_lock_free);
};
