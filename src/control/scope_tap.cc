#include "control/scope_tap.h"

#include <algorithm>

namespace {
constexpr int64_t kMask = ScopeTap::kCapacity - 1;
constexpr int kTries = 4;
}  // namespace

void ScopeTap::write(const int16_t* stereo, int frames, float level) {
  if (frames <= 0) return;
  const int64_t start = published_.load(std::memory_order_relaxed);
  const int64_t end = start + frames;
  // Readers that see any of the stores below also see this claim.
  claimed_.store(end, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  // A block longer than the ring leaves only its last kCapacity frames.
  const int skip = frames > kCapacity ? frames - kCapacity : 0;
  for (int i = skip; i < frames; ++i)
    ring_[(start + i) & kMask].store(stereo[2 * i], std::memory_order_relaxed);
  level_at_[(end - 1) & kMask].store(level, std::memory_order_relaxed);
  published_.store(end, std::memory_order_release);
}

bool ScopeTap::read(ScopeSnapshot& out) const {
  constexpr int64_t n = ScopeSnapshot::kFrames;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    const int64_t end = published_.load(std::memory_order_acquire);
    const int64_t first = end - n;
    for (int64_t f = first; f < end; ++f)
      out.samples[f - first] = f < 0 ? 0 : ring_[f & kMask].load(std::memory_order_relaxed);
    out.level = end > 0 ? level_at_[(end - 1) & kMask].load(std::memory_order_relaxed) : 0.0f;
    out.frames_written = end;
    // Pairs with the writer's fence: a store seen above means its claim is seen here.
    std::atomic_thread_fence(std::memory_order_acquire);
    const int64_t claimed = claimed_.load(std::memory_order_relaxed);
    // Slots from `first` on are intact while the writer has claimed no frame
    // that lands on them: frames below first + kCapacity.
    if (claimed <= std::max<int64_t>(first, 0) + kCapacity) return true;
  }
  return false;
}
