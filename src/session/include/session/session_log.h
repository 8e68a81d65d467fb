#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "wsy/engine.h"

// The --record log of a live session: every command the engine applied, at
// the frame it applied it, as an event script that wsy-render plays back to
// the same samples, then "FRAME end". Main thread only; every line goes to
// the file at once, so a session that is killed leaves a usable log.
class SessionLog {
 public:
  SessionLog() = default;
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;
  ~SessionLog();

  // Creates `path` and writes the comment lines naming the patch, the date
  // and how to render the log (`render_options`: more options that render
  // needs to play it the same, such as the MIDI channel, each with a
  // leading space), then the session's rate line, "0 rate HZ", and its
  // voice count and velocity sensitivity, "0 voices N" and "0 velocity S".
  // False, with `error` set, when it cannot.
  bool open(const std::string& path, const std::string& patch_path, bool autoplay, std::string& error,
            const std::string& render_options, int sample_rate, int voices = 1, double velocity = 0);
  bool is_open() const { return fd_ >= 0; }

  // Logs a kApplied report; other reports are not logged.
  void add(const Report& report);
  // Logs a patch swap applied before `frame`: `text`, the patch file's text
  // as loaded, goes into a copy next to the log (LOG.1.wsy, LOG.2.wsy, ...)
  // and the log names the copy by its file name: "FRAME patch LOG.1.wsy".
  void add_patch(int64_t frame, const std::string& text);
  // "FRAME end": the number of frames the session computed. Once.
  void end(int64_t frames);
  // The same, from a signal handler: async-signal-safe, and only when no
  // line is being written at that moment.
  void end_from_signal(int64_t frames);

 private:
  void write_line(const std::string& line);
  bool failed_ = false;
  // Read by end_from_signal in the signal handler, which runs on the main
  // thread (the only one that takes the terminal signals) between any two
  // instructions of the main thread's own writes: lock-free atomics.
  std::atomic<int> fd_{-1};
  std::atomic<bool> writing_{false};
  std::atomic<bool> ended_{false};
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
                "read in a signal handler");
  std::string path_;
  int patch_copies_ = 0;
};
