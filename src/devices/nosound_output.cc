#include "devices/nosound_output.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <new>

#include "devices/audio_stream.h"
#include "devices/block_size.h"
#include "devices/fsound.h"
#include "devices/layer_error.h"
#include "devices/stream_statistics.h"
#include "devices/terminal_signals.h"

namespace {

constexpr auto kLongStall = std::chrono::milliseconds(200);

// Pulls blocks at the stream's rate against the monotonic clock. After a long
// stall it starts afresh rather than catch up in a burst.
void pump(AudioStream* s) {
  using Clock = std::chrono::steady_clock;
  const long frames = s->nosound.block_bytes / 4;
  auto start = Clock::now();
  long long done = 0;
  while (s->nosound.pumping.load(std::memory_order_relaxed)) {
    s->callback(s, s->nosound.scratch.get(), s->nosound.block_bytes, s->user_data);
    block_done(s->record, frames, s->sample_rate, 0);
    done += frames;
    auto due = start + std::chrono::nanoseconds(done * 1000000000LL / s->sample_rate);
    const auto now = Clock::now();
    if (now - due > kLongStall) {
      start = now;
      done = 0;
      continue;
    }
    std::this_thread::sleep_until(due);
  }
}

}  // namespace

int nosound_driver_count() { return 1; }

const char* nosound_driver_name(int driver) { return driver == 0 ? "No sound" : nullptr; }

int nosound_check(int driver) {
  if (driver == 0) return kErrNone;
  std::fprintf(stderr, "wsy: %s has one driver only, number 1.\n", output_label(kOutputNoSound));
  return kErrOutputInit;
}

int nosound_open(AudioStream& s) {
  s.nosound.block_bytes = std::min(s.max_bytes, (s.asked_frames ? s.asked_frames : kDefaultBlockFrames) * 4);
  s.nosound.scratch.reset(new (std::nothrow) unsigned char[s.nosound.block_bytes]);
  return s.nosound.scratch ? kErrNone : kErrNoMemory;
}

int nosound_start(AudioStream& s) {
  s.nosound.pumping.store(true, std::memory_order_relaxed);
  try {
    const TerminalSignalsBlocked for_the_pump;
    s.nosound.pump = std::thread(pump, &s);
  } catch (const std::exception& e) {
    s.nosound.pumping.store(false, std::memory_order_relaxed);
    std::fprintf(stderr, "wsy: cannot start the NoSound thread: %s.\n", e.what());
    return kErrPlay;
  }
  return kErrNone;
}

void nosound_stop(AudioStream& s) {
  s.nosound.pumping.store(false, std::memory_order_relaxed);
  if (s.nosound.pump.joinable()) s.nosound.pump.join();
}

void nosound_report_playing(const AudioStream& s) {
  std::fprintf(stderr,
               "wsy: playing without sound (%s): %ld-frame blocks%s at %d Hz are computed and discarded.\n",
               output_label(kOutputNoSound), static_cast<long>(s.nosound.block_bytes / 4),
               s.asked_frames ? " (WSY_BUFFER_FRAMES)" : "",
               s.sample_rate);
}
