#include "devices/jack_client.h"

#include <jack/midiport.h>
#include <regex.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "devices/fsound.h"
#include "devices/library_chatter.h"
#include "devices/terminal_signals.h"

namespace {

std::string status_text(jack_status_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(status));
  return text;
}

// The names in a list JACK allocated, which is freed here.
std::vector<std::string> take_names(const char** names) {
  std::vector<std::string> list;
  if (!names) return list;
  for (const char** n = names; *n; ++n) list.emplace_back(*n);
  jack_free(names);
  return list;
}

// Copies the period's MIDI events that fit a RawMidiEvent; longer ones
// (system exclusive) are skipped. Returns how many were copied; events past
// `capacity` are added to `dropped`. No allocation: JACK's buffer is read in place.
int collect_midi_events(void* port_buffer, jack_nframes_t frames, RawMidiEvent* out, int capacity,
                        std::atomic<long>& dropped) {
  const uint32_t count = jack_midi_get_event_count(port_buffer);
  int taken = 0;
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, port_buffer, i) != 0) continue;
    if (event.size == 0 || event.size > static_cast<size_t>(kRawMidiMaxBytes)) continue;
    if (taken == capacity) {
      dropped.fetch_add(static_cast<long>(count - i), std::memory_order_relaxed);
      break;
    }
    RawMidiEvent& e = out[taken++];
    // JACK keeps events in time order within the period; a stray stamp is held to its end.
    e.offset = std::min<uint32_t>(event.time, frames - 1);
    e.midi.size = static_cast<uint8_t>(event.size);
    std::memcpy(e.midi.bytes, event.buffer, event.size);
  }
  return taken;
}

}  // namespace

JackClient::JackClient(JackRenderFunction render, void* user, StreamRecord* record)
    : render_(render),
      user_(user),
      own_record_(record ? nullptr : new StreamRecord),
      record_(record ? record : own_record_.get()),
      scratch_(new int16_t[2 * kMaxPeriodFrames]()),
      events_(new RawMidiEvent[kMaxEventsPerPeriod]()) {}

JackClient::~JackClient() { close(); }

bool JackClient::open(int required_rate, std::string& error, JackProcessCallback process) {
  close();
  lost_.store(false, std::memory_order_relaxed);
  // While joining a server libjack's lines ("Cannot connect to server socket
  // ...") say nothing our own message does not; once playing, they reach the user.
  silence_library_chatter();
  forward_jack_errors(false);
  jack_status_t status{};
  {
    const TerminalSignalsBlocked for_libjacks_threads;
    client_ = jack_client_open("wsy", JackNoStartServer, &status);
  }
  if (!client_) {
    const std::string start_one =
        required_rate == kServerRate
            ? "start one, such as: jackd -d alsa -r 48000"
            : "start one at " + std::to_string(required_rate) + " Hz, such as: jackd -d alsa -r " +
                  std::to_string(required_rate);
    error = (status & JackServerFailed)
                ? "wsy: no JACK server is running (" + start_one + ")."
                : "wsy: the JACK server refused the client \"wsy\" (JACK status " + status_text(status) + ").";
    return false;
  }
  const int rate = static_cast<int>(jack_get_sample_rate(client_));
  if (required_rate == kServerRate && (rate < kLowestRate || rate > kHighestRate)) {
    error = "wsy: the JACK server runs at " + std::to_string(rate) + " Hz and wsy plays at " +
            std::to_string(kLowestRate) + " to " + std::to_string(kHighestRate) +
            " Hz only (start the JACK server with -r 48000, say).";
    close();
    return false;
  }
  if (required_rate != kServerRate && rate != required_rate) {
    error = "wsy: the JACK server runs at " + std::to_string(rate) + " Hz, not at the " +
            std::to_string(required_rate) + " Hz asked for (leave out --rate to play at the server's rate, or "
            "start the JACK server with -r " + std::to_string(required_rate) + ").";
    close();
    return false;
  }
  rate_ = rate;
  out_left_ = jack_port_register(client_, "out_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  out_right_ = jack_port_register(client_, "out_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  midi_in_ = jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (!out_left_ || !out_right_ || !midi_in_) {
    error = "wsy: the JACK server would not give client \"" + client_name() + "\" its ports out_1, out_2 and midi_in.";
    close();
    return false;
  }
  record_->period_frames.store(static_cast<int>(jack_get_buffer_size(client_)), std::memory_order_relaxed);
  jack_set_process_callback(client_, process, this);
  jack_set_xrun_callback(client_, &JackClient::on_xrun, this);
  jack_set_buffer_size_callback(client_, &JackClient::on_buffer_size, this);
  record_->rate_changed_to.store(0, std::memory_order_relaxed);
  jack_set_sample_rate_callback(client_, &JackClient::on_sample_rate, this);
  jack_on_info_shutdown(client_, &JackClient::on_shutdown, this);
  record_->xruns.store(0, std::memory_order_relaxed);
  record_->dropped_midi_events.store(0, std::memory_order_relaxed);
  record_->oversized_periods.store(0, std::memory_order_relaxed);
  return true;
}

bool JackClient::start(std::string& error) {
  if (!client_) {
    error = "wsy: JACK output started before it was opened.";
    return false;
  }
  forward_jack_errors(true);
  int activated;
  {
    const TerminalSignalsBlocked for_the_process_thread;
    activated = jack_activate(client_);
  }
  if (activated != 0) {
    error = "wsy: the JACK server would not start client \"" + client_name() + "\".";
    forward_jack_errors(false);
    return false;
  }
  active_ = true;
  const std::vector<std::string> playback =
      take_names(jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput));
  if (!playback.empty()) {
    jack_connect(client_, jack_port_name(out_left_), playback[0].c_str());
    jack_connect(client_, jack_port_name(out_right_), playback[std::min<size_t>(1, playback.size() - 1)].c_str());
  }
  return true;
}

MidiConnectResult JackClient::connect_midi(const std::string& source) {
  MidiConnectResult result;
  if (!client_) {
    result.warning = "wsy: no MIDI connection from \"" + source + "\": the JACK client is not open.";
    return result;
  }
  const std::vector<std::string> midi_outputs =
      take_names(jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput));
  std::vector<std::string> chosen;
  if (std::find(midi_outputs.begin(), midi_outputs.end(), source) != midi_outputs.end()) {
    chosen.push_back(source);
  } else {
    // POSIX extended expressions, found anywhere in a name: what jack_lsp and
    // jack_get_ports understand, so a pattern tried there works here.
    regex_t pattern;
    const int err = regcomp(&pattern, source.c_str(), REG_EXTENDED | REG_NOSUB);
    if (err != 0) {
      char why[128];
      regerror(err, &pattern, why, sizeof why);
      result.warning = "wsy: --midi-connect \"" + source + "\" is neither a JACK MIDI port nor a regular expression (" +
                       why + "); MIDI input is not connected to it.";
      return result;
    }
    for (const std::string& name : midi_outputs)
      if (regexec(&pattern, name.c_str(), 0, nullptr, 0) == 0) chosen.push_back(name);
    regfree(&pattern);
  }
  const std::string own = jack_port_name(midi_in_);
  for (const std::string& port : chosen) {
    const int err = jack_connect(client_, port.c_str(), own.c_str());
    if (err == 0 || err == EEXIST) result.connected.push_back(port);
  }
  if (result.connected.empty())
    result.warning = "wsy: --midi-connect \"" + source + "\" matches no JACK MIDI output port" +
                     (chosen.empty() ? "" : " that could be connected") + " (jack_lsp -t lists them); " + own +
                     " stays unconnected from it.";
  return result;
}

void JackClient::close() {
  forward_jack_errors(false);
  if (!client_) return;
  // libjack puts back the signal mask it found when its first client opened
  // (under the guard of open()) once its last client closes.
  const TerminalSignalsBlocked for_libjacks_mask;
  // A client whose server died is closed all the same: libjack then only frees its own side.
  if (active_ && !lost()) jack_deactivate(client_);
  jack_client_close(client_);
  client_ = nullptr;
  out_left_ = out_right_ = midi_in_ = nullptr;
  active_ = false;
  rate_ = 0;
}

std::string JackClient::client_name() const { return client_ ? jack_get_client_name(client_) : ""; }

std::string JackClient::midi_port_name() const { return midi_in_ ? jack_port_name(midi_in_) : ""; }

std::vector<std::string> JackClient::midi_connections() const {
  return midi_in_ ? take_names(jack_port_get_all_connections(client_, midi_in_)) : std::vector<std::string>{};
}

std::vector<std::string> JackClient::playback_connections() const {
  std::vector<std::string> all;
  for (jack_port_t* port : {out_left_, out_right_}) {
    if (!port) continue;
    for (std::string& name : take_names(jack_port_get_all_connections(client_, port))) all.push_back(std::move(name));
  }
  return all;
}

int JackClient::period_frames() const { return record_->period_frames.load(std::memory_order_relaxed); }

int JackClient::output_latency_frames() const {
  if (!active_) return 0;
  // out_1's own figure comes from the ports it feeds, worked out by libjack
  // on another thread some time after connecting: read theirs, which the
  // server sets when it starts, and take out_1's once it is there.
  jack_latency_range_t range{0, 0};
  jack_port_get_latency_range(out_left_, JackPlaybackLatency, &range);
  jack_nframes_t frames = range.max;
  for (const std::string& name : take_names(jack_port_get_all_connections(client_, out_left_))) {
    jack_port_t* port = jack_port_by_name(client_, name.c_str());
    if (!port) continue;
    jack_port_get_latency_range(port, JackPlaybackLatency, &range);
    frames = std::max(frames, range.max);
  }
  return static_cast<int>(frames);
}

bool JackClient::ask_period(int frames) {
  if (!client_ || frames <= 0 || frames > kMaxPeriodFrames) return false;
  if (jack_set_buffer_size(client_, static_cast<jack_nframes_t>(frames)) != 0) return false;
  record_->period_frames.store(static_cast<int>(jack_get_buffer_size(client_)), std::memory_order_relaxed);
  return period_frames() == frames;
}

std::string JackClient::lost_reason() const { return lost() ? lost_reason_ : ""; }

int JackClient::process(jack_nframes_t frames, void* self) {
  JackClient* o = static_cast<JackClient*>(self);
  void* midi = jack_port_get_buffer(o->midi_in_, frames);
  const int count =
      collect_midi_events(midi, frames, o->events_.get(), kMaxEventsPerPeriod, o->record_->dropped_midi_events);
  float* left = static_cast<float*>(jack_port_get_buffer(o->out_left_, frames));
  float* right = static_cast<float*>(jack_port_get_buffer(o->out_right_, frames));
  o->render_period(static_cast<int>(frames), o->events_.get(), count, left, right);
  return 0;
}

uint32_t JackClient::period_start_frame() const { return client_ ? jack_last_frame_time(client_) : 0; }

void JackClient::render_period(int frames, const RawMidiEvent* events, int event_count, float* left, float* right) {
  if (frames > kMaxPeriodFrames) {
    record_->oversized_periods.fetch_add(1, std::memory_order_relaxed);
    std::fill(left, left + frames, 0.0f);
    std::fill(right, right + frames, 0.0f);
    return;
  }
  int16_t* samples = scratch_.get();
  render_(user_, frames, samples, events, event_count);
  for (int i = 0; i < frames; ++i) {
    // Exact: every 16-bit value is a float, and dividing by a power of two only moves the exponent.
    left[i] = static_cast<float>(samples[2 * i]) / 32768.0f;
    right[i] = static_cast<float>(samples[2 * i + 1]) / 32768.0f;
  }
}

void JackClient::on_shutdown(jack_status_t, const char* reason, void* self) {
  JackClient* o = static_cast<JackClient*>(self);
  std::snprintf(o->lost_reason_, sizeof o->lost_reason_, "%s", reason ? reason : "");
  forward_jack_errors(false);  // what a dead client says next is noise
  o->lost_.store(true, std::memory_order_release);
}

int JackClient::on_xrun(void* self) {
  static_cast<JackClient*>(self)->record_->xruns.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int JackClient::on_sample_rate(jack_nframes_t rate, void* self) {
  JackClient* o = static_cast<JackClient*>(self);
  // rate_ is set before this callback is, and cleared only once the client is closed.
  if (static_cast<int>(rate) != o->rate_)
    o->record_->rate_changed_to.store(static_cast<int>(rate), std::memory_order_release);
  return 0;
}

int JackClient::on_buffer_size(jack_nframes_t frames, void* self) {
  static_cast<JackClient*>(self)->record_->period_frames.store(static_cast<int>(frames), std::memory_order_relaxed);
  return 0;
}
