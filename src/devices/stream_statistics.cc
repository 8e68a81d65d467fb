#include "devices/stream_statistics.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "devices/audio_output.h"
#include "devices/block_size.h"
#include "devices/signal_safe_line.h"

namespace {

constexpr long long kBillion = 1000000000LL;

// Written by the audio thread, read by the main thread (and a signal handler).
std::atomic<long> underflow_count{0};
std::atomic<long> block_frames_now{0};       // frames of the latest block
std::atomic<long long> last_block_end_ns{0};  // CLOCK_MONOTONIC, end of the latest block
std::atomic<long long> block_period_ns{0};

// Key-to-sound measurement (WSY_MEASURE_LATENCY).
std::atomic<bool> measuring{false};
std::atomic<bool> key_pending{false};     // main -> audio thread
std::atomic<double> key_stream_time{0.0};
std::atomic<bool> latency_ready{false};   // audio thread -> main
std::atomic<double> latency_seconds{0.0};
std::atomic<double> device_seconds{0.0};  // the part of it from the block's start to the device
std::atomic<long long> slowest_block_ns{0};  // the longest a callback took, to weigh underflows against
AudioStream* measured = nullptr;             // main thread only

}  // namespace

long long fsound_now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);  // answered in user space (vDSO): fine on the audio thread
  return static_cast<long long>(now.tv_sec) * kBillion + now.tv_nsec;
}

void count_underflow() { underflow_count.fetch_add(1, std::memory_order_relaxed); }

void block_done(long frames, int sample_rate) {
  block_frames_now.store(frames, std::memory_order_relaxed);
  block_period_ns.store(frames * kBillion / sample_rate, std::memory_order_relaxed);
  last_block_end_ns.store(fsound_now_ns(), std::memory_order_relaxed);
}

bool timing_blocks() { return measuring.load(std::memory_order_relaxed); }

void block_took_since(long long started_ns) {
  const long long took = last_block_end_ns.load(std::memory_order_relaxed) - started_ns;
  if (took > slowest_block_ns.load(std::memory_order_relaxed)) slowest_block_ns.store(took, std::memory_order_relaxed);
}

void block_reaches_device(double device_time, double now) {
  // A key acted on before this block started sounds from the block's first sample.
  if (!key_pending.load(std::memory_order_acquire)) return;
  latency_seconds.store(device_time - key_stream_time.load(std::memory_order_relaxed), std::memory_order_relaxed);
  device_seconds.store(device_time - now, std::memory_order_relaxed);
  latency_ready.store(true, std::memory_order_release);
  key_pending.store(false, std::memory_order_release);
}

void reset_underflows() { underflow_count.store(0, std::memory_order_relaxed); }

void measure_latency_if_asked(AudioStream* stream) {
  if (!std::getenv("WSY_MEASURE_LATENCY")) return;
  measuring.store(true, std::memory_order_relaxed);
  measured = stream;
}

void stop_measuring(AudioStream* stream) {
  if (!stream || stream == measured) measured = nullptr;
}

long fsound_underflows() { return underflow_count.load(std::memory_order_relaxed); }

int fsound_underflow_line(long count, long block_frames, char* buffer, int size) {
  if (size <= 0) return 0;
  SignalSafeLine line{buffer, size};
  buffer[0] = '\0';
  if (count == 0 && !measuring.load(std::memory_order_relaxed)) return 0;
  line.put("wsy: ");
  line.put(count);
  line.put(count == 1 ? " underflow" : " underflows");
  if (count == 0) {
    line.put(": the device never asked for samples late.\n");
  } else {
    line.put(" while playing: the device asked for samples late and the sound broke up");
    if (block_frames > 0) {
      line.put(" (blocks of ");
      line.put(block_frames);
      line.put(" frames); if you hear crackles, try a larger WSY_BUFFER_FRAMES, such as ");
      line.put(std::min<long>(block_frames * 2, kMaxBlockFrames));
    }
    line.put(".\n");
  }
  if (measuring.load(std::memory_order_relaxed)) {
    // Measured: how close wsy itself came to being late.
    line.put("wsy: the slowest block took ");
    line.put(static_cast<long>(slowest_block_ns.load(std::memory_order_relaxed) / 1000));
    line.put(" us to fill; a block lasts ");
    line.put(static_cast<long>(block_period_ns.load(std::memory_order_relaxed) / 1000));
    line.put(" us.\n");
  }
  return line.length;
}

void fsound_report_underflows() {
  char text[512];
  const int n = fsound_underflow_line(fsound_underflows(), block_frames_now.load(std::memory_order_relaxed), text,
                                      sizeof text);
  if (n > 0 && write(STDERR_FILENO, text, n) < 0) {
    // Nothing more can be said.
  }
}

long fsound_block_frames() { return block_frames_now.load(std::memory_order_relaxed); }

long long fsound_next_block_due_ns() {
  const long long last = last_block_end_ns.load(std::memory_order_relaxed);
  return last ? last + block_period_ns.load(std::memory_order_relaxed) : 0;
}

bool fsound_measuring_latency() { return measured != nullptr; }

double fsound_key_time() { return fsound_measuring_latency() ? output_stream_time(*measured) : 0.0; }

void fsound_key_handled(double key_time) {
  if (!fsound_measuring_latency() || key_pending.load(std::memory_order_acquire)) return;
  key_stream_time.store(key_time, std::memory_order_relaxed);
  key_pending.store(true, std::memory_order_release);
}

bool fsound_take_key_latency(double& milliseconds, double& device_milliseconds) {
  if (!latency_ready.load(std::memory_order_acquire)) return false;
  milliseconds = latency_seconds.load(std::memory_order_relaxed) * 1000.0;
  device_milliseconds = device_seconds.load(std::memory_order_relaxed) * 1000.0;
  latency_ready.store(false, std::memory_order_relaxed);
  return true;
}
