#include "input/poll_events.h"

#include <SDL.h>

#include <cstdlib>

#include "input/events.h"

namespace {
SDL_Event polled;  // every poll overwrites it
}

int poll_events(Player& player) {
  int handled = 0;
  while (SDL_PollEvent(&polled)) {
    ++handled;
    Event event{polled.type};
    if (polled.type == SDL_KEYDOWN || polled.type == SDL_KEYUP) event.key = polled.key.keysym.sym;
    // exit() runs the at-exit handler that stops the audio before SDL quits.
    if (player.handle(event) == Player::After::kQuit) std::exit(0);
  }
  return handled;
}
