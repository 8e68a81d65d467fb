#include "app/patch_reloader.h"

#include <time.h>

#include <cstdio>

#include "patch/patch.h"
#include "wsy/engine.h"

namespace {

// "04:12:07", local time.
std::string clock_time() {
  char text[16] = "";
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local)) strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace

void PatchReloader::watch(const std::string& path) {
  path_ = path;
  watcher_.watch(path);
}

bool PatchReloader::reload_if_changed(Engine& engine, PatchHandOver& hand_over) {
  if (!watcher_.take_change()) return false;
  std::string text, error;
  if (!read_patch_text(path_.c_str(), text, error)) {
    std::fprintf(stderr, "wsy: the patch file \"%s\" changed but cannot be read now (%s); the patch loaded before "
                 "plays on until the file is saved again.\n", path_.c_str(), error.c_str());
    status_ = "not reloaded at " + clock_time() + ": " + error;
    return false;
  }
  PatchPtr patch =
      hand_over.load(text, path_, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }, error);
  if (!patch) {
    std::fprintf(stderr, "wsy: the patch file \"%s\" changed but could not be loaded (%s); the patch loaded before "
                 "plays on.\n", path_.c_str(), error.c_str());
    status_ = "not reloaded at " + clock_time() + ": " + error;
    return false;
  }
  if (!engine.swap_patch(patch)) {
    hand_over.cancel_last();
    std::fprintf(stderr, "wsy: the reloaded patch \"%s\" could not reach the sound (its queue was full); save the "
                 "file again to retry.\n", path_.c_str());
    status_ = "not reloaded at " + clock_time() + ": the sound's queue was full";
    return false;
  }
  status_ = "reloaded at " + clock_time();
  return true;
}
