#pragma once
// wsy as a native JACK client: two audio outputs and a MIDI input on one
// client, so MIDI events reach the block that is being computed with their
// frame inside it (sample-accurate, nothing added to the delay).
//
// Threads: every call here is for the main thread, except process(),
// render_period() and period_start_frame(), which belong to JACK's process
// thread (or a test standing in for it). The counters are in a StreamRecord
// (the stream's, or one of the client's own), written by JACK's threads and
// read by the main thread; see stream_record.h for which thread writes which.
#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/block_size.h"
#include "devices/midi_connect_result.h"
#include "devices/stream_record.h"
#include "midi/raw_midi_event.h"

// Computes `frames` frames of interleaved 16-bit stereo into `out`, applying
// `events` (in time order, offsets below `frames`) before the frames they name.
// Called on the process thread: must not allocate, lock, print or wait.
using JackRenderFunction = void (*)(void* user, int frames, int16_t* interleaved_stereo_out,
                                    const RawMidiEvent* events, int event_count);

class JackClient {
 public:
  // The largest period the process callback can fill (JACK's own limit too).
  static constexpr int kMaxPeriodFrames = kMaxBlockFrames;
  // MIDI events taken from one period; more are dropped and counted.
  static constexpr int kMaxEventsPerPeriod = 4096;
  // open(): the server's rate, whichever it is from kLowestRate to kHighestRate (fsound.h).
  static constexpr int kServerRate = 0;

  // Preallocates everything the process thread needs; opens nothing yet.
  // The counters go to `record` (it must outlive the client), else to a record of the client's own.
  JackClient(JackRenderFunction render, void* user, StreamRecord* record = nullptr);
  ~JackClient();  // close()
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;

  // Joins the running JACK server (never starts one) as client "wsy" (JACK
  // adds a suffix when the name is taken) with ports out_1, out_2 and
  // midi_in. False with `error` set to a sentence for the user (print it
  // with a newline; nothing is printed here) when no server answers, the
  // server does not run at `required_rate` (with kServerRate: at a rate wsy
  // plays at), or the ports cannot be made; the client is closed then.
  // The rate it joined at is sample_rate() from then on; a server that
  // changes it later is seen by rate_changed().
  // `process` replaces the callback JACK calls, for tests that wrap
  // JackClient::process; anything else leaves it alone.
  bool open(int required_rate, std::string& error, JackProcessCallback process = &JackClient::process);
  // Starts the process callback and connects out_1 and out_2 to the first
  // two physical playback ports (both to one when there is only one; none
  // when there is none). False with `error` set when JACK refuses to start it.
  bool start(std::string& error);
  // Connects midi_in from the MIDI output ports named by `source`: a port's
  // exact name, else a regular expression (POSIX extended, as jack_lsp and
  // jack_get_ports take them) found anywhere in a port's name. Matching
  // nothing, or a pattern that is not a regular expression, gives a warning,
  // never a failure.
  MidiConnectResult connect_midi(const std::string& source);
  // Deactivates and leaves the server; after a lost server only what is ours
  // is freed. Safe to call more than once.
  void close();

  bool is_open() const { return client_ != nullptr; }
  std::string client_name() const;     // "wsy", or the name JACK gave instead
  std::string midi_port_name() const;  // "wsy:midi_in"
  std::vector<std::string> midi_connections() const;      // ports midi_in is fed from
  std::vector<std::string> playback_connections() const;  // ports out_1 then out_2 feed
  // The server's rate when open() joined it (0 before).
  int sample_rate() const { return rate_; }
  // The rate the server changed to after open() (JACK's sample-rate
  // callback), 0 while it has not: the stream no longer plays at its rate.
  int rate_changed() const { return record_->rate_changed_to.load(std::memory_order_acquire); }
  int period_frames() const;  // the server's period, kept up to date
  // Asks the server for periods of `frames` (every client gets them). False when it refuses.
  bool ask_period(int frames);
  // Frames from the start of a period to its sound at the playback ports:
  // the largest playback latency of out_1 and of the ports it feeds (the
  // server's period, or two in its default asynchronous mode); 0 before start().
  int output_latency_frames() const;

  // Since open(): periods the server reported as late (xruns), MIDI events
  // dropped because a period held more than kMaxEventsPerPeriod, periods
  // larger than kMaxPeriodFrames (played as silence).
  long underflows() const { return record_->xruns.load(std::memory_order_relaxed); }
  long dropped_midi_events() const { return record_->dropped_midi_events.load(std::memory_order_relaxed); }
  long oversized_periods() const { return record_->oversized_periods.load(std::memory_order_relaxed); }
  // True once the server has gone away (stopped, killed): nothing will ask
  // for samples any more. `lost_reason()` is JACK's word for why, once lost.
  bool lost() const { return lost_.load(std::memory_order_acquire); }
  std::string lost_reason() const;

  // ---- JACK's notification thread ----
  // JACK's sample-rate callback: a rate other than the one open() joined at
  // goes into the record (rate_changed_to). libjack also calls it once with
  // the rate in force when it is set. Atomics only.
  static int on_sample_rate(jack_nframes_t rate, void* self);

  // ---- Process thread ----
  // The callback JACK calls each period with this object: reads the period's
  // MIDI events from midi_in, then render_period() into out_1 and out_2.
  static int process(jack_nframes_t frames, void* self);
  // JACK's frame time at the start of the current period (a test's clock
  // shared with other clients). Process thread only.
  uint32_t period_start_frame() const;
  // One period without JACK: the render function fills the 16-bit scratch
  // buffer, then each sample s goes out as the float s / 32768 (left to
  // `left`, right to `right`). Usable before open(), with buffers of a test's own.
  void render_period(int frames, const RawMidiEvent* events, int event_count, float* left, float* right);

 private:
  static void on_shutdown(jack_status_t code, const char* reason, void* self);
  static int on_xrun(void* self);
  static int on_buffer_size(jack_nframes_t frames, void* self);

  JackRenderFunction render_;
  void* user_;
  std::unique_ptr<StreamRecord> own_record_;  // when no record was given
  StreamRecord* record_;
  std::unique_ptr<int16_t[]> scratch_;        // kMaxPeriodFrames stereo frames
  std::unique_ptr<RawMidiEvent[]> events_;    // kMaxEventsPerPeriod
  jack_client_t* client_ = nullptr;
  jack_port_t* out_left_ = nullptr;
  jack_port_t* out_right_ = nullptr;
  jack_port_t* midi_in_ = nullptr;
  bool active_ = false;
  int rate_ = 0;  // the server's rate at open()
  std::atomic<bool> lost_{false};  // writer: JACK's shutdown callback; reader: main
  char lost_reason_[256] = "";  // written once by the shutdown callback, before lost_
};
