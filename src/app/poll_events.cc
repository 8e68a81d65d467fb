#include "app/poll_events.h"

#include <SDL.h>

#include <cstdlib>

#include "engine/engine.h"
#include "engine/key_table.h"
#include "devices/stream_statistics.h"

namespace {

SDL_Event polled;  // every poll overwrites it

bool acts(int32_t key) { return note_for_key(key) || key == kKeyReturn; }

}  // namespace

int poll_events(Engine& engine, bool* exposed, AudioStream* stream) {
  int taken = 0;
  while (SDL_PollEvent(&polled)) {
    ++taken;
    if (polled.type == SDL_VIDEOEXPOSE && exposed) *exposed = true;
    const bool key = polled.type == SDL_KEYDOWN || polled.type == SDL_KEYUP;
    const int32_t sym = key ? polled.key.keysym.sym : 0;
    // exit() runs the at-exit handler that stops the audio before SDL quits.
    if (key && sym == kKeyEscape) std::exit(0);
    // With WSY_MEASURE_LATENCY, a key press's time counts from here.
    const bool timed = polled.type == SDL_KEYDOWN && fsound_measuring_latency(stream);
    const double taken_at = timed ? fsound_key_time(stream) : 0.0;
    bool sent = false;
    if (polled.type == SDL_KEYDOWN && acts(sym)) sent = engine.send(Command::key_down(sym));
    else if (polled.type == SDL_KEYUP && acts(sym)) sent = engine.send(Command::key_up(sym));
    else if (polled.type == SDL_USEREVENT) sent = engine.send(Command::user());
    if (timed && sent) fsound_key_handled(stream, taken_at);
  }
  return taken;
}
