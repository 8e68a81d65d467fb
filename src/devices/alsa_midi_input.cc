#include "devices/alsa_midi_input.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "devices/library_chatter.h"
#include "devices/sequencer_event_bytes.h"
#include "devices/terminal_signals.h"

namespace {

void say_no_sequencer(const char* why) {
  std::fprintf(stderr, "wsy: no MIDI input from the ALSA sequencer (%s); playing on without it.\n", why);
}

}  // namespace

AlsaMidiInput::AlsaMidiInput(MidiBytesCallback callback, void* user) : callback_(callback), user_(user) {}

AlsaMidiInput::~AlsaMidiInput() { close(); }

bool AlsaMidiInput::open(const char* sequencer) {
  close();
  // alsa-lib prints its own lines ("ALSA lib seq_hw.c: ... failed") before
  // returning an error; our one line says it in the user's words instead.
  silence_library_chatter();
  const int err = snd_seq_open(&seq_, sequencer, SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
  if (err < 0) {
    seq_ = nullptr;
    if (err == -ENOENT && access("/dev/snd/seq", F_OK) != 0)
      say_no_sequencer("this machine has no /dev/snd/seq: no sound hardware, or the snd-seq module is not loaded");
    else
      say_no_sequencer((std::string("it cannot be opened: ") + snd_strerror(err)).c_str());
    return false;
  }
  snd_seq_set_client_name(seq_, "wsy");
  port_ = snd_seq_create_simple_port(seq_, "midi_in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                     SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  int wake[2];
  if (port_ < 0 || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    say_no_sequencer(port_ < 0 ? (std::string("its port midi_in cannot be made: ") + snd_strerror(port_)).c_str()
                               : std::strerror(errno));
    close();
    return false;
  }
  wake_read_ = wake[0];
  wake_write_ = wake[1];
  overruns_.store(0, std::memory_order_relaxed);
  try {
    const TerminalSignalsBlocked for_the_thread;
    thread_ = std::thread(&AlsaMidiInput::run, this);
  } catch (const std::system_error& e) {
    say_no_sequencer((std::string("its reading thread cannot start: ") + e.what()).c_str());
    close();
    return false;
  }
  return true;
}

MidiConnectResult AlsaMidiInput::connect(const std::string& source) {
  MidiConnectResult result;
  snd_seq_addr_t from{};
  if (!seq_ || snd_seq_parse_address(seq_, &from, source.c_str()) < 0) {
    result.warning = "wsy: --midi-connect \"" + source + "\" names no ALSA sequencer client or port " +
                     "(aconnect -l lists them); MIDI input is not connected to it.";
    return result;
  }
  const int err = snd_seq_connect_from(seq_, port_, from.client, from.port);
  if (err < 0 && err != -EBUSY) {  // EBUSY: already connected
    result.warning = "wsy: --midi-connect \"" + source + "\": cannot connect from " + describe(from.client, from.port) +
                     " (" + snd_strerror(err) + "); MIDI input is not connected to it.";
    return result;
  }
  result.connected.push_back(describe(from.client, from.port));
  return result;
}

void AlsaMidiInput::close() {
  if (thread_.joinable()) {
    const char stop = 1;
    if (write(wake_write_, &stop, 1) != 1) {
      // The pipe is empty and ours: a byte always fits.
    }
    thread_.join();
  }
  for (int* fd : {&wake_read_, &wake_write_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (seq_) snd_seq_close(seq_);
  seq_ = nullptr;
  port_ = -1;
}

std::string AlsaMidiInput::describe(int client, int port) const {
  snd_seq_client_info_t* client_info;
  snd_seq_port_info_t* port_info;
  snd_seq_client_info_alloca(&client_info);
  snd_seq_port_info_alloca(&port_info);
  std::string client_name = "?", port_name = "?";
  if (snd_seq_get_any_client_info(seq_, client, client_info) >= 0) client_name = snd_seq_client_info_get_name(client_info);
  if (snd_seq_get_any_port_info(seq_, client, port, port_info) >= 0) port_name = snd_seq_port_info_get_name(port_info);
  return client_name + ":" + port_name + " (" + std::to_string(client) + ":" + std::to_string(port) + ")";
}

std::string AlsaMidiInput::port_name() const {
  return seq_ ? describe(snd_seq_client_id(seq_), port_) : "";
}

std::vector<std::string> AlsaMidiInput::connections() const {
  std::vector<std::string> list;
  if (!seq_) return list;
  snd_seq_query_subscribe_t* query;
  snd_seq_query_subscribe_alloca(&query);
  snd_seq_addr_t self{static_cast<unsigned char>(snd_seq_client_id(seq_)), static_cast<unsigned char>(port_)};
  snd_seq_query_subscribe_set_root(query, &self);
  snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);  // who writes to us
  snd_seq_query_subscribe_set_index(query, 0);
  while (snd_seq_query_port_subscribers(seq_, query) >= 0) {
    const snd_seq_addr_t* from = snd_seq_query_subscribe_get_addr(query);
    list.push_back(describe(from->client, from->port));
    snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
  }
  return list;
}

// Waits on the sequencer and the wake-up pipe; reads every pending event
// without blocking. The main thread may connect ports meanwhile: that goes
// through the sequencer's control calls, not the input buffer read here.
void AlsaMidiInput::run() {
  const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
  pollfd fds[16];
  const int used = snd_seq_poll_descriptors(seq_, fds, std::min(count, 15), POLLIN);
  fds[used] = pollfd{wake_read_, POLLIN, 0};
  for (;;) {
    if (poll(fds, used + 1, -1) < 0 && errno != EINTR) return;
    if (fds[used].revents) return;
    for (;;) {
      snd_seq_event_t* event = nullptr;
      const int got = snd_seq_event_input(seq_, &event);
      if (got == -ENOSPC) {  // the sequencer dropped events for want of room
        overruns_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      if (got < 0 || !event) break;  // -EAGAIN: nothing more for now
      uint8_t bytes[3];
      int size = 0;
      if (sequencer_event_to_bytes(*event, bytes, size)) callback_(user_, bytes, size);
    }
  }
}
