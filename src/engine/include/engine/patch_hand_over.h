#pragma once
// Patches on their way into a playing engine. A new patch is loaded and
// reported on the main thread into memory; what the loader printed goes to
// the console when the engine reports the swap applied, so that it stands in
// the engine's order among TRIG, UNTRIG and MIAM (the renderer prints the same
// words in the same order). The patch the engine gives back is deleted here.
// Main thread only; both programs use it.
#include <cstdio>
#include <deque>
#include <string>

#include "engine/report.h"

struct Patch;

class PatchHandOver {
 public:
  PatchHandOver() = default;
  PatchHandOver(const PatchHandOver&) = delete;
  PatchHandOver& operator=(const PatchHandOver&) = delete;
  ~PatchHandOver();

  // A new patch from a file's `text` (`name` names the file in warnings,
  // which go to `diagnostics` at once). Send it in a kSwapPatch command.
  // Null when the loader failed, with `error` set.
  Patch* load(const std::string& text, const std::string& name, FILE* diagnostics, std::string& error);
  // The last loaded patch could not be sent: it is deleted.
  void cancel_last();

  // Every report, in order. For an applied swap, returns true with what the
  // loader printed (to print now) and the text it was loaded from (for the
  // session log). A retired patch is deleted.
  bool take(const Report& report, std::string& printed, std::string& text);

  // Patches loaded and not yet applied.
  size_t pending() const { return pending_.size(); }

 private:
  struct Loaded {
    Patch* patch;
    std::string printed;
    std::string text;
  };
  std::deque<Loaded> pending_;
};
