#pragma once
// Keeps the window's redraws at most `per_second` a second.
#include <cstdint>

class RedrawPacer {
 public:
  explicit RedrawPacer(int per_second) : interval_ns_(1000000000LL / per_second) {}

  // True when a redraw may happen at `now_ns` (any monotonic clock); the
  // next one is then due a whole interval later.
  bool due(int64_t now_ns) {
    if (started_ && now_ns - last_ns_ < interval_ns_) return false;
    started_ = true;
    last_ns_ = now_ns;
    return true;
  }

 private:
  int64_t interval_ns_;
  int64_t last_ns_ = 0;
  bool started_ = false;
};
