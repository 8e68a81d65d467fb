// The other JACK clients of test_jack_output.py, compiled so that they keep
// up with the server whatever the machine's load (a Python callback can miss
// its period). One role per process, each its own client:
//
//   jack_test_peer send NAME SCHEDULE
//     A MIDI output port NAME:out. SCHEDULE lines: "PERIOD OFFSET HEX...".
//     Prints "ready NOW" (the server's frame time), then waits for
//     "go START" on standard input: PERIOD 0 is the first period that begins
//     at frame START or later. Once the last period is written it prints
//     "sent FRAME HEX..." for each message, then "done", and ends.
//   jack_test_peer record NAME SECONDS FILE PORT...
//     Input ports NAME:in_1... connected from PORT...; prints "ready", waits
//     for "go", records SECONDS of every period, writes FILE (per period:
//     uint32 frame time, uint32 frames, then the frames' floats of each port
//     in turn), prints "done" and ends.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Message {
  long period;
  uint32_t offset;
  std::vector<unsigned char> bytes;
  uint32_t frame = 0;  // when sent
};

struct Sender {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  std::vector<Message> messages;  // by period, then offset
  size_t next = 0;
  std::atomic<bool> armed{false};
  std::atomic<bool> done{false};
  uint32_t start = 0;
  long period = -1;
};

int send_process(jack_nframes_t frames, void* arg) {
  Sender& s = *static_cast<Sender*>(arg);
  void* buffer = jack_port_get_buffer(s.port, frames);
  jack_midi_clear_buffer(buffer);
  if (!s.armed.load(std::memory_order_acquire) || s.done.load(std::memory_order_relaxed)) return 0;
  const uint32_t now = jack_last_frame_time(s.client);
  if (s.period < 0 && static_cast<int32_t>(now - s.start) < 0) return 0;
  ++s.period;
  for (; s.next < s.messages.size() && s.messages[s.next].period == s.period; ++s.next) {
    Message& m = s.messages[s.next];
    m.frame = now + m.offset;
    if (jack_midi_event_write(buffer, m.offset, m.bytes.data(), m.bytes.size()) != 0) m.frame = 0xFFFFFFFF;
  }
  if (s.next == s.messages.size()) s.done.store(true, std::memory_order_release);
  return 0;
}

struct Recorder {
  jack_client_t* client = nullptr;
  std::vector<jack_port_t*> ports;
  std::vector<float> data;  // preallocated for the whole recording
  size_t used = 0;
  long frames_left = 0;  // to record
  std::atomic<bool> armed{false};
  std::atomic<bool> full{false};
};

int record_process(jack_nframes_t frames, void* arg) {
  Recorder& r = *static_cast<Recorder*>(arg);
  if (!r.armed.load(std::memory_order_acquire) || r.full.load(std::memory_order_relaxed)) return 0;
  const size_t need = 2 + static_cast<size_t>(frames) * r.ports.size();
  if (r.frames_left <= 0 || r.used + need > r.data.size()) {
    r.full.store(true, std::memory_order_release);
    return 0;
  }
  r.frames_left -= frames;
  const uint32_t header[2] = {jack_last_frame_time(r.client), frames};
  std::memcpy(&r.data[r.used], header, sizeof header);
  r.used += 2;
  for (jack_port_t* port : r.ports) {
    std::memcpy(&r.data[r.used], jack_port_get_buffer(port, frames), frames * sizeof(float));
    r.used += frames;
  }
  return 0;
}

jack_client_t* join(const char* name) {
  jack_status_t status;
  jack_client_t* client = jack_client_open(name, JackNoStartServer, &status);
  if (!client) std::fprintf(stderr, "jack_test_peer: cannot join the JACK server as %s (0x%x)\n", name, status);
  return client;
}

int send(const char* name, const char* schedule) {
  Sender s;
  std::ifstream in(schedule);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Message m;
    fields >> m.period >> m.offset;
    unsigned value;
    while (fields >> std::hex >> value) m.bytes.push_back(static_cast<unsigned char>(value));
    if (!m.bytes.empty()) s.messages.push_back(std::move(m));
  }
  if (s.messages.empty()) return 2;
  if (!(s.client = join(name))) return 1;
  s.port = jack_port_register(s.client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  jack_set_process_callback(s.client, send_process, &s);
  if (!s.port || jack_activate(s.client) != 0) return 1;
  std::printf("ready %u\n", jack_frame_time(s.client));
  std::fflush(stdout);
  std::string go;
  if (!(std::cin >> go >> s.start) || go != "go") return 2;
  s.armed.store(true, std::memory_order_release);
  while (!s.done.load(std::memory_order_acquire)) usleep(1000);
  jack_deactivate(s.client);
  for (const Message& m : s.messages) {
    std::printf("sent %u", m.frame);
    for (unsigned char b : m.bytes) std::printf(" %02x", b);
    std::printf("\n");
  }
  std::printf("done\n");
  jack_client_close(s.client);
  return 0;
}

int record(const char* name, double seconds, const char* file, int count, char** sources) {
  Recorder r;
  if (!(r.client = join(name))) return 1;
  const double rate = jack_get_sample_rate(r.client);
  r.data.resize(static_cast<size_t>((seconds * rate + 8192) * count + (seconds * rate / 16 + 8) * 2));
  for (int i = 0; i < count; ++i) {
    const std::string port = "in_" + std::to_string(i + 1);
    r.ports.push_back(jack_port_register(r.client, port.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
  }
  jack_set_process_callback(r.client, record_process, &r);
  if (jack_activate(r.client) != 0) return 1;
  for (int i = 0; i < count; ++i)
    if (jack_connect(r.client, sources[i], jack_port_name(r.ports[i])) != 0) {
      std::fprintf(stderr, "jack_test_peer: cannot connect from %s\n", sources[i]);
      return 1;
    }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string go;
  if (!(std::cin >> go) || go != "go") return 2;
  r.frames_left = static_cast<long>(seconds * rate);
  r.armed.store(true, std::memory_order_release);
  while (!r.full.load(std::memory_order_acquire)) usleep(1000);
  jack_deactivate(r.client);
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(r.data.data()), static_cast<std::streamsize>(r.used * sizeof(float)));
  std::printf("done\n");
  jack_client_close(r.client);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "send" && argc == 4) return send(argv[2], argv[3]);
  if (role == "record" && argc >= 6) return record(argv[2], std::atof(argv[3]), argv[4], argc - 5, argv + 5);
  std::fprintf(stderr,
               "usage: jack_test_peer send NAME SCHEDULE | jack_test_peer record NAME SECONDS FILE PORT...\n");
  return 2;
}
