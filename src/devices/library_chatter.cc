#include "devices/library_chatter.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <atomic>
#include <cstdio>

namespace {

// Writers: the main thread, and libjack's notification thread (the shutdown
// callback). Reader: whichever of libjack's threads reports an error.
std::atomic<bool> forwarding{false};

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
void quiet_jack(const char*) {}
void jack_error_to_user(const char* message) {
  if (forwarding.load(std::memory_order_relaxed)) std::fprintf(stderr, "wsy: JACK: %s\n", message);
}

}  // namespace

void silence_library_chatter() {
  snd_lib_error_set_handler(quiet_alsa);
  jack_set_error_function(jack_error_to_user);
  jack_set_info_function(quiet_jack);
}

void forward_jack_errors(bool on) { forwarding.store(on, std::memory_order_relaxed); }
