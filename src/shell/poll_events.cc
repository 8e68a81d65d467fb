#include "shell/poll_events.h"

#include <SDL.h>

#include <cstdlib>

#include "control/events.h"
#include "shell/fsound.h"

namespace {
SDL_Event polled;  // every poll overwrites it
}

int poll_events(Player& player) {
  int handled = 0;
  while (SDL_PollEvent(&polled)) {
    ++handled;
    Event event{polled.type};
    if (polled.type == SDL_KEYDOWN || polled.type == SDL_KEYUP) event.key = polled.key.keysym.sym;
    // With WSY_MEASURE_LATENCY, a key press's time counts from here.
    const bool timed = polled.type == SDL_KEYDOWN && fsound_measuring_latency();
    const double taken = timed ? fsound_key_time() : 0.0;
    // exit() runs the at-exit handler that stops the audio before SDL quits.
    if (player.handle(event) == Player::After::kQuit) std::exit(0);
    if (timed) fsound_key_handled(taken);
  }
  return handled;
}
