#pragma once
// MIDI input from the ALSA sequencer: client "wsy" with a writable port
// "midi_in" that keyboards and sequencers connect to (aconnect). A thread of
// its own waits for events and hands each one over as MIDI bytes.
//
// Threads: open(), connect(), close() and the queries are for the main
// thread; the callback runs on the input's thread.
#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "devices/midi_connect_result.h"

// One MIDI message of 2 or 3 bytes (see sequencer_event_to_bytes). Called on
// the input's thread, one message at a time; it should hand the bytes on
// quickly (to a queue) and never wait long: the sequencer holds what comes
// meanwhile.
using MidiBytesCallback = void (*)(void* user, const uint8_t* bytes, int size);

class AlsaMidiInput {
 public:
  AlsaMidiInput(MidiBytesCallback callback, void* user);
  ~AlsaMidiInput();  // close()
  AlsaMidiInput(const AlsaMidiInput&) = delete;
  AlsaMidiInput& operator=(const AlsaMidiInput&) = delete;

  // Opens the sequencer (`sequencer`: ALSA's name for it), makes the client
  // and its port and starts the reading thread. When there is no sequencer
  // (no /dev/snd/seq) or any of it fails, one line on standard error says so
  // and false comes back: play on without it, nothing more to say.
  bool open(const char* sequencer = "default");
  // Connects midi_in from `source`: "client:port" by numbers or names, or a
  // client by number or name (its port 0), as aconnect takes them. A source
  // that names no port gives a warning, never a failure.
  MidiConnectResult connect(const std::string& source);
  // Stops the thread and leaves the sequencer. Safe to call more than once.
  void close();

  bool is_open() const { return seq_ != nullptr; }
  // "wsy:midi_in (128:0)": names and numbers, as aconnect -l shows them.
  std::string port_name() const;
  // The ports feeding midi_in, in the same form.
  std::vector<std::string> connections() const;
  // Times the sequencer's input buffer overflowed (events were lost) since open().
  long overruns() const { return overruns_.load(std::memory_order_relaxed); }

 private:
  void run();  // the reading thread
  std::string describe(int client, int port) const;

  MidiBytesCallback callback_;
  void* user_;
  snd_seq_t* seq_ = nullptr;
  int port_ = -1;
  int wake_read_ = -1;   // a byte written to wake_write_ ends the thread
  int wake_write_ = -1;
  std::thread thread_;
  std::atomic<long> overruns_{0};  // writer: the reading thread (open() zeroes it first); reader: main
};
