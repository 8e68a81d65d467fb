#pragma once
// Live reload: when the patch file wsy plays has been saved, it is read and
// loaded anew on the main thread and handed to the engine, which swaps it in
// at its next block. A file that cannot be read at that moment leaves the
// current patch playing, with one line on standard error.
#include <string>

#include "app/patch_watcher.h"

class Engine;
class PatchHandOver;

class PatchReloader {
 public:
  // Starts watching `path`, the file the playing patch came from.
  void watch(const std::string& path);
  // For poll() (POLLIN); -1 while nothing is watched.
  int fd() const { return watcher_.fd(); }

  // After a settled change: the file's text is loaded through `hand_over`
  // (its trace and report print when the engine applies it) and sent to the
  // engine. True when it was sent; `status()` then or on a failure tells
  // what happened, for the window.
  bool reload_if_changed(Engine& engine, PatchHandOver& hand_over);
  const std::string& status() const { return status_; }

 private:
  std::string path_;
  PatchWatcher watcher_;
  std::string status_;
};
