#include "devices/stream_statistics.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "devices/audio_output.h"
#include "devices/audio_stream.h"
#include "devices/block_size.h"
#include "devices/signal_safe_line.h"

namespace {

constexpr long long kBillion = 1000000000LL;
constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

StreamStatus stream_status_of(const StreamRecord& r) {
  StreamStatus s;
  s.underflows = r.underflows.load(kRelaxed);
  s.block_frames = r.block_frames.load(kRelaxed);
  s.block_period_ns = r.block_period_ns.load(kRelaxed);
  s.slowest_block_ns = r.slowest_block_ns.load(kRelaxed);
  s.measuring = r.measuring.load(kRelaxed);
  s.xruns = r.xruns.load(kRelaxed);
  s.period_frames = r.period_frames.load(kRelaxed);
  s.dropped_midi_events = r.dropped_midi_events.load(kRelaxed);
  s.oversized_periods = r.oversized_periods.load(kRelaxed);
  s.rate_changed_to = r.rate_changed_to.load(kRelaxed);
  s.first_block_frames = r.first_block_frames.load(kRelaxed);
  s.finished = r.finished.load(kRelaxed);
  return s;
}

long long fsound_now_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);  // answered in user space (vDSO): fine on the audio thread
  return static_cast<long long>(now.tv_sec) * kBillion + now.tv_nsec;
}

void count_underflow(StreamRecord& record) { record.underflows.fetch_add(1, kRelaxed); }

long long block_started(const StreamRecord& record) { return record.measuring.load(kRelaxed) ? fsound_now_ns() : 0; }

void block_done(StreamRecord& record, long frames, int sample_rate, long long started_ns) {
  record.block_frames.store(frames, kRelaxed);
  record.block_period_ns.store(frames * kBillion / sample_rate, kRelaxed);
  if (started_ns == 0) return;
  const long long took = fsound_now_ns() - started_ns;
  if (took > record.slowest_block_ns.load(kRelaxed)) record.slowest_block_ns.store(took, kRelaxed);
}

void block_reaches_device(StreamRecord& record, double device_time, double now) {
  // A key acted on before this block started sounds from the block's first sample.
  if (!record.key_pending.load(std::memory_order_acquire)) return;
  record.latency_seconds.store(device_time - record.key_stream_time.load(kRelaxed), kRelaxed);
  record.device_seconds.store(device_time - now, kRelaxed);
  record.latency_ready.store(true, std::memory_order_release);
  record.key_pending.store(false, std::memory_order_release);
}

void measure_latency_if_asked(StreamRecord& record) {
  if (std::getenv("WSY_MEASURE_LATENCY")) record.measuring.store(true, kRelaxed);
}

StreamStatus fsound_stream_status(const AudioStream& stream) { return stream_status_of(stream.record); }

int fsound_underflow_line(const StreamStatus& status, char* buffer, int size) {
  if (size <= 0) return 0;
  SignalSafeLine line{buffer, size};
  buffer[0] = '\0';
  const long count = status.underflows;
  if (count == 0 && !status.measuring) return 0;
  line.put("wsy: ");
  line.put(count);
  line.put(count == 1 ? " underflow" : " underflows");
  if (count == 0) {
    line.put(": the device never asked for samples late.\n");
  } else {
    line.put(" while playing: the device asked for samples late and the sound broke up");
    if (status.block_frames > 0) {
      line.put(" (blocks of ");
      line.put(status.block_frames);
      line.put(" frames); if you hear crackles, try a larger WSY_BUFFER_FRAMES, such as ");
      line.put(std::min<long>(status.block_frames * 2, kMaxBlockFrames));
    }
    line.put(".\n");
  }
  if (status.measuring) {
    // Measured: how close wsy itself came to being late.
    line.put("wsy: the slowest block took ");
    line.put(static_cast<long>(status.slowest_block_ns / 1000));
    line.put(" us to fill; a block lasts ");
    line.put(static_cast<long>(status.block_period_ns / 1000));
    line.put(" us.\n");
  }
  return line.length;
}

void fsound_report_underflows(const AudioStream* stream) {
  if (!stream) return;
  char text[512];
  const int n = fsound_underflow_line(fsound_stream_status(*stream), text, sizeof text);
  if (n > 0 && write(STDERR_FILENO, text, n) < 0) {
    // Nothing more can be said.
  }
}

bool fsound_measuring_latency(const AudioStream* stream) {
  return stream && stream->record.measuring.load(kRelaxed);
}

double fsound_key_time(const AudioStream* stream) {
  return fsound_measuring_latency(stream) ? output_stream_time(*stream) : 0.0;
}

void fsound_key_handled(AudioStream* stream, double key_time) {
  if (!fsound_measuring_latency(stream) || stream->record.key_pending.load(std::memory_order_acquire)) return;
  stream->record.key_stream_time.store(key_time, kRelaxed);
  stream->record.key_pending.store(true, std::memory_order_release);
}

bool fsound_take_key_latency(AudioStream* stream, double& milliseconds, double& device_milliseconds) {
  if (!stream || !stream->record.latency_ready.load(std::memory_order_acquire)) return false;
  milliseconds = stream->record.latency_seconds.load(kRelaxed) * 1000.0;
  device_milliseconds = stream->record.device_seconds.load(kRelaxed) * 1000.0;
  stream->record.latency_ready.store(false, kRelaxed);
  return true;
}
