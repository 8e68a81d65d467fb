#include "app/poll_events.h"

#include <SDL.h>

#include <cstdlib>
#include <optional>

#include "devices/stream_statistics.h"
#include "session/key_table.h"
#include "wsy/engine.h"

namespace {

SDL_Event polled;  // every poll overwrites it

// The engine's command for a key pressed or let go: a note key's note, or
// Enter's replay. None for the other keys.
std::optional<Command> command_for(int32_t sym, bool down) {
  if (const std::optional<int32_t> note = note_for_key(sym))
    return down ? Command::play_note(*note) : Command::release_note(*note);
  if (sym == kKeyReturn) return down ? Command::replay() : Command::release_replay();
  return std::nullopt;
}

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
    if (key) {
      if (const std::optional<Command> command = command_for(sym, polled.type == SDL_KEYDOWN))
        sent = engine.send(*command);
    } else if (polled.type == SDL_USEREVENT) {
      sent = engine.send(Command::random_note());
    }
    if (timed && sent) fsound_key_handled(stream, taken_at);
  }
  return taken;
}
