#include "devices/jack_stream.h"

#include <jack/jack.h>

#include <algorithm>
#include <cstdio>

#include "devices/audio_stream.h"
#include "devices/fsound.h"
#include "devices/layer_error.h"
#include "devices/library_chatter.h"
#include "devices/stream_statistics.h"
#include "devices/terminal_signals.h"

namespace {

const char kDriverName[] = "system";

// True when a JACK server answers (never starts one), without a word from libjack.
bool server_runs() {
  silence_library_chatter();
  jack_status_t status{};
  const TerminalSignalsBlocked for_libjacks_threads;
  jack_client_t* probe = jack_client_open("wsy", JackNoStartServer, &status);
  if (!probe) return false;
  jack_client_close(probe);
  return true;
}

}  // namespace

void jack_stream_render_period(void* user, int frames, int16_t* out, const RawMidiEvent* events, int event_count) {
  AudioStream* s = static_cast<AudioStream*>(user);
  StreamRecord& record = s->record;
  const long long started = block_started(record);
  const long xruns = record.xruns.load(std::memory_order_relaxed);
  for (; record.counted_xruns < xruns; ++record.counted_xruns) count_underflow(record);
  if (record.key_pending.load(std::memory_order_acquire)) {
    // This period's first sample reaches the playback ports one latency from now.
    const double now = static_cast<double>(jack_get_time()) / 1e6;
    const int latency = record.playback_latency_frames.load(std::memory_order_relaxed);
    block_reaches_device(record, now + static_cast<double>(latency) / s->sample_rate, now);
  }
  if (s->midi_callback) {
    s->midi_callback(s->user_data, frames, out, events, event_count);
  } else {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(out);
    int left = frames * 4;
    while (left > 0) {
      const int chunk = std::min(left, s->max_bytes);
      s->callback(s, bytes, chunk, s->user_data);
      bytes += chunk;
      left -= chunk;
    }
  }
  block_done(record, frames, s->sample_rate, started);
}

int jack_stream_driver_count() { return server_runs() ? 1 : 0; }

const char* jack_stream_driver_name(int driver) { return driver == 0 && server_runs() ? kDriverName : nullptr; }

int jack_stream_check(int driver, bool server_rate, int& sample_rate) {
  if (driver != 0) {
    std::fprintf(stderr, "wsy: %s has no output device number %d (1 found); choose another output.\n",
                 output_label(kOutputJack), driver + 1);
    return kErrOutputInit;
  }
  JackClient probe(nullptr, nullptr);
  std::string error;
  if (!probe.open(server_rate ? JackClient::kServerRate : sample_rate, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return kErrOutputInit;
  }
  sample_rate = probe.sample_rate();
  return kErrNone;
}

int jack_stream_open(AudioStream& s) {
  s.jack.client = std::make_unique<JackClient>(jack_stream_render_period, &s, &s.record);
  std::string error;
  if (!s.jack.client->open(s.sample_rate, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    s.jack.client.reset();
    return kErrOutputInit;
  }
  // A block size asked for is asked of the server: JACK's period is the block.
  if (s.asked_frames && !s.jack.client->ask_period(s.asked_frames))
    std::fprintf(stderr, "wsy: the JACK server would not change its period to %d frames (WSY_BUFFER_FRAMES); "
                 "playing with its own.\n", s.asked_frames);
  return kErrNone;
}

int jack_stream_start(AudioStream& s) {
  std::string error;
  if (!s.jack.client->start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return kErrPlay;
  }
  s.record.playback_latency_frames.store(s.jack.client->output_latency_frames(), std::memory_order_relaxed);
  for (const std::string& source : s.midi_sources) {
    const MidiConnectResult result = s.jack.client->connect_midi(source);
    if (!result.warning.empty()) std::fprintf(stderr, "%s\n", result.warning.c_str());
  }
  measure_latency_if_asked(s.record);
  return kErrNone;
}

void jack_stream_stop(AudioStream& s) {
  if (s.jack.client) s.jack.client->close();
}

// After a lost server JackClient frees only what is its own.
void jack_stream_close(AudioStream& s) { s.jack.client.reset(); }

void jack_stream_report_playing(const AudioStream& s) {
  const JackClient& jack = *s.jack.client;
  const int latency = jack.output_latency_frames();
  std::fprintf(stderr,
               "wsy: playing through JACK Audio Connection Kit, device \"%s\": %d-frame blocks%s, output latency "
               "%.1f ms (%d frames) at %d Hz, client \"%s\"",
               kDriverName, jack.period_frames(), s.asked_frames ? " (WSY_BUFFER_FRAMES)" : "",
               1000.0 * latency / s.sample_rate, latency, s.sample_rate, jack.client_name().c_str());
  if (!s.midi_callback)
    std::fputs("; no MIDI input.\n", stderr);
  else
    std::fprintf(stderr, "; MIDI input %s.\n", jack_stream_midi_input(s).c_str());
}

std::string jack_stream_midi_input(const AudioStream& s) {
  if (!s.jack.client || !s.midi_callback) return "";
  const JackClient& jack = *s.jack.client;
  std::string sources;
  for (const std::string& port : jack.midi_connections()) sources += (sources.empty() ? "" : ", ") + port;
  return jack.midi_port_name() + ", " +
         (sources.empty() ? "not connected yet (jack_connect SOURCE " + jack.midi_port_name() + ")"
                          : "connected from " + sources);
}

bool jack_stream_gone(const AudioStream& s) { return s.jack.client && s.jack.client->lost(); }

double jack_stream_stream_time(const AudioStream&) { return static_cast<double>(jack_get_time()) / 1e6; }
