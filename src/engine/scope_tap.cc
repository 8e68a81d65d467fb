#include "scope_tap.h"

#include <algorithm>

namespace {
constexpr int64_t kMask = ScopeTap::kCapacity - 1;
constexpr int kTries = 4;
}  // namespace

void ScopeTap::write(const int16_t* stereo, int frames, float level) {
  if (frames <= 0) return;
  const int64_t start = published_.load(std::memory_order_relaxed);
  const int64_t end = start + frames;
  // Every store below releases this claim: a reader that sees one of them sees the claim.
  claimed_.store(end, std::memory_order_relaxed);
  // A reader takes the last kFrames frames only: a longer block need not
  // store the frames before those (they are claimed all the same).
  const int skip = frames > ScopeSnapshot::kFrames ? frames - ScopeSnapshot::kFrames : 0;
  for (int i = skip; i < frames; ++i)
    ring_[(start + i) & kMask].store(stereo[2 * i], std::memory_order_release);
  level_at_[(end - 1) & kMask].store(level, std::memory_order_release);
  published_.store(end, std::memory_order_release);
}

bool ScopeTap::read(ScopeSnapshot& out) const {
  constexpr int64_t n = ScopeSnapshot::kFrames;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    const int64_t end = published_.load(std::memory_order_acquire);
    const int64_t first = end - n;
    for (int64_t f = first; f < end; ++f)
      out.samples[f - first] = f < 0 ? 0 : ring_[f & kMask].load(std::memory_order_acquire);
    out.level = end > 0 ? level_at_[(end - 1) & kMask].load(std::memory_order_acquire) : 0.0f;
    out.frames_written = end;
    // Loads above acquire what they read: a slot overwritten by a block means that block's claim is seen here.
    const int64_t claimed = claimed_.load(std::memory_order_relaxed);
    // Slots from `first` on are intact while the writer has claimed no frame
    // that lands on them: frames below first + kCapacity.
    if (claimed <= std::max<int64_t>(first, 0) + kCapacity) return true;
  }
  return false;
}
