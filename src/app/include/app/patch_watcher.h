#pragma once
// Notices that the patch file was saved. It watches the file's folder, not
// the file, so that an editor that writes a new file and renames it over the
// old one is seen too, as are a removal and a re-creation. A burst of writes
// is one change, reported once nothing has touched the file for kQuietMs.
//
// One descriptor serves the main loop's poll(): it is readable whenever
// take_change() has something to do (the system reported an event, or the
// quiet time is over).
#include <string>

class PatchWatcher {
 public:
  static constexpr int kQuietMs = 100;

  PatchWatcher() = default;
  PatchWatcher(const PatchWatcher&) = delete;
  PatchWatcher& operator=(const PatchWatcher&) = delete;
  ~PatchWatcher();

  // Starts watching `path`. False, with a line on standard error, when its
  // folder cannot be watched; the watcher then never reports a change.
  bool watch(const std::string& path);

  // For poll() (POLLIN); -1 while nothing is watched.
  int fd() const { return poll_fd_; }

  // Takes what the system reported, without waiting. True once per burst of
  // changes: when the file was written, replaced, removed or created and has
  // then been left alone for kQuietMs.
  bool take_change();

 private:
  void close_all();
  bool read_events();  // true when an event concerned the file

  std::string name_;  // the file's name in its folder
  int poll_fd_ = -1;  // epoll over the two below
  int events_fd_ = -1;  // inotify
  int quiet_fd_ = -1;   // timerfd: fires when the quiet time is over
};
