#pragma once
// What a running stream's threads tell the rest of the program, besides the
// engine's reports: underflows, the size and timing of blocks, key-to-sound
// latency, the JACK client's counters and PortAudio's state. One record per
// stream (AudioStream::record), written with atomics and read as one
// StreamStatus (fsound_stream_status).
//
// Threads, field by field: "audio" is the thread that computes the stream's
// blocks (PortAudio's callback thread, JACK's process thread, the NoSound
// pump); "main" is the main thread; "JACK" is libjack's notification thread
// (xruns, period changes). Every field is read by the main thread, and the
// underflow line also reads some from the signal handler, which runs on the
// main thread only (every other thread blocks the terminal signals).
#include <atomic>

struct StreamRecord {
  // Blocks. Writer: audio.
  std::atomic<long> underflows{0};          // blocks the device asked for too late
  std::atomic<long> block_frames{0};        // frames of the latest block
  std::atomic<long long> block_period_ns{0};  // how long the latest block lasts at the stream's rate
  std::atomic<long long> slowest_block_ns{0};  // the longest a block took to compute, while measuring

  // Key-to-sound latency (WSY_MEASURE_LATENCY). `measuring`, `key_pending`
  // (set) and `key_stream_time`: writer main, reader audio. `key_pending`
  // (cleared), `latency_ready` (set), `latency_seconds`, `device_seconds`:
  // writer audio, reader main, which clears `latency_ready`.
  std::atomic<bool> measuring{false};
  std::atomic<bool> key_pending{false};
  std::atomic<double> key_stream_time{0.0};
  std::atomic<bool> latency_ready{false};
  std::atomic<double> latency_seconds{0.0};
  std::atomic<double> device_seconds{0.0};  // the part of it from the block's start to the device

  // The JACK client (JackClient). `xruns`: writer JACK. `period_frames`:
  // writers main (open, ask_period) and JACK. `dropped_midi_events`,
  // `oversized_periods`: writer audio. `playback_latency_frames`: writer main
  // (at start), reader audio. `rate_changed_to`: writer JACK (the server's
  // new rate, once it is not the stream's any more; 0 until then).
  // `counted_xruns`: audio only, no atomic needed.
  std::atomic<long> xruns{0};
  std::atomic<int> period_frames{0};
  std::atomic<long> dropped_midi_events{0};
  std::atomic<long> oversized_periods{0};
  std::atomic<int> playback_latency_frames{0};
  std::atomic<int> rate_changed_to{0};
  long counted_xruns = 0;  // xruns already counted as underflows

  // PortAudio. `first_block_frames`: writer audio (0 until the first block).
  // `finished`: writer PortAudio's finished callback, when the stream ends by itself.
  std::atomic<long> first_block_frames{0};
  std::atomic<bool> finished{false};
};

// A copy of a StreamRecord's figures at one moment, for the main thread (and
// the signal handler's line).
struct StreamStatus {
  long underflows = 0;
  long block_frames = 0;
  long long block_period_ns = 0;
  long long slowest_block_ns = 0;
  bool measuring = false;
  long xruns = 0;
  int period_frames = 0;
  long dropped_midi_events = 0;
  long oversized_periods = 0;
  int rate_changed_to = 0;  // the device's new rate, when it changed under the stream
  long first_block_frames = 0;
  bool finished = false;
};

// The copy. Lock-free atomic loads only: async-signal-safe.
StreamStatus stream_status_of(const StreamRecord& record);
