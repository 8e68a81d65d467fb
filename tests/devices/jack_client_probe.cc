// A stand-in for the engine behind JackClient, for the tests in
// test_jack_output.py: it joins the JACK server as wsy does, renders a known
// signal, and notes every MIDI event that reached its render function with
// the JACK frame it was stamped for. Lines on standard output:
//   client NAME / midi_port NAME / rate R / period P / latency FRAMES /
//   playback PORT... / connected SOURCE PORT... / warning TEXT / ready
// then, once standard input ends, the server is lost or changes its rate:
//   lost REASON (if it was) / rate_changed R (if it did) /
//   event FRAME OFFSET PERIOD HEX... per event /
//   xruns N / dropped N / process_calls N
// Signals (--signal): "ramp" counts up through every 16-bit value on the left
// and mirrors it (-s - 1) on the right; "markers" is silence but for one
// sample at each MIDI event's offset: 1000 + its position in the run on the left.
// --rate R: the server must run at R Hz (default: at any rate wsy plays at).
// Exit status 3 when the output cannot be opened, as wsy reports it.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "devices/jack_client.h"

namespace {

struct Seen {
  uint32_t frame;   // JACK frame time of the event: the period's start + offset
  uint32_t offset;
  int period;       // frames of the period it came in
  RawMidiEvent event;
};

struct Probe {
  JackClient* output = nullptr;
  bool markers = false;
  int stall_ms = 0;        // once, in the 50th period: a late period on purpose
  long periods = 0;
  uint32_t ramp = 0;       // frames rendered so far
  std::vector<Seen> seen;  // sized before the server starts; never grows on the process thread
  std::atomic<size_t> seen_count{0};
};

void busy_wait_ms(int ms) {
  timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  do clock_gettime(CLOCK_MONOTONIC, &now);
  while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < ms);
}

void render(void* user, int frames, int16_t* out, const RawMidiEvent* events, int count) {
  Probe& p = *static_cast<Probe*>(user);
  const uint32_t start = p.output->period_start_frame();
  size_t n = p.seen_count.load(std::memory_order_relaxed);
  for (int i = 0; i < count && n < p.seen.size(); ++i) p.seen[n++] = Seen{start + events[i].offset, events[i].offset, frames, events[i]};
  const size_t first = p.seen_count.load(std::memory_order_relaxed);
  p.seen_count.store(n, std::memory_order_release);
  for (int i = 0; i < frames; ++i) {
    if (p.markers) {
      out[2 * i] = out[2 * i + 1] = 0;
    } else {
      const int16_t s = static_cast<int16_t>(static_cast<int>((p.ramp + i) % 65536) - 32768);
      out[2 * i] = s;
      out[2 * i + 1] = static_cast<int16_t>(-s - 1);
    }
  }
  if (p.markers)
    for (size_t k = first; k < n; ++k) out[2 * p.seen[k].offset] = static_cast<int16_t>(1000 + k % 30000);
  p.ramp += static_cast<uint32_t>(frames);
  if (++p.periods == 50 && p.stall_ms > 0) busy_wait_ms(p.stall_ms);
}

// JACK calls this instead of JackClient::process, as a real-time safety
// check would to watch the whole period: the seam open() offers for it.
std::atomic<long> process_calls{0};
int counted_process(jack_nframes_t frames, void* output) {
  process_calls.fetch_add(1, std::memory_order_relaxed);
  return JackClient::process(frames, output);
}

void print_names(const char* what, const std::vector<std::string>& names) {
  std::printf("%s", what);
  for (const std::string& n : names) std::printf(" %s", n.c_str());
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  Probe probe;
  probe.seen.resize(1000000);
  std::vector<std::string> connects;
  int rate = JackClient::kServerRate;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--signal" && i + 1 < argc) probe.markers = std::string(argv[++i]) == "markers";
    else if (arg == "--connect" && i + 1 < argc) connects.push_back(argv[++i]);
    else if (arg == "--stall-once" && i + 1 < argc) probe.stall_ms = std::atoi(argv[++i]);
    else if (arg == "--rate" && i + 1 < argc) rate = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: %s [--signal ramp|markers] [--connect SOURCE]... [--stall-once MS] [--rate R]\n", argv[0]);
      return 2;
    }
  }
  JackClient output(render, &probe);
  probe.output = &output;
  std::string error;
  if (!output.open(rate, error, counted_process) || !output.start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 3;
  }
  std::printf("client %s\nmidi_port %s\nrate %d\nperiod %d\nlatency %d\n", output.client_name().c_str(),
              output.midi_port_name().c_str(), output.sample_rate(), output.period_frames(),
              output.output_latency_frames());
  print_names("playback", output.playback_connections());
  for (const std::string& source : connects) {
    const MidiConnectResult r = output.connect_midi(source);
    print_names(("connected " + source).c_str(), r.connected);
    if (!r.warning.empty()) std::printf("warning %s\n", r.warning.c_str());
  }
  print_names("midi_connections", output.midi_connections());
  std::printf("ready\n");
  std::fflush(stdout);

  // Until standard input ends, or the server goes away or changes its rate.
  for (;;) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (output.lost() || output.rate_changed()) break;
    if (poll(&in, 1, 10) > 0) {
      char buffer[256];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
  }
  const bool lost = output.lost();
  if (lost) std::printf("lost %s\n", output.lost_reason().c_str());
  if (output.rate_changed()) std::printf("rate_changed %d\n", output.rate_changed());
  std::fflush(stdout);
  output.close();
  const size_t n = probe.seen_count.load(std::memory_order_acquire);
  for (size_t i = 0; i < n; ++i) {
    const Seen& s = probe.seen[i];
    std::printf("event %u %u %d", s.frame, s.offset, s.period);
    for (int b = 0; b < s.event.midi.size; ++b) std::printf(" %02x", s.event.midi.bytes[b]);
    std::printf("\n");
  }
  std::printf("xruns %ld\ndropped %ld\nprocess_calls %ld\n", output.underflows(), output.dropped_midi_events(),
              process_calls.load());
  return 0;
}
