// wsy's window fed by a real engine, played on this one thread as
// wsy-render plays it, so that a test decides when each frame sounds:
//
//   window_voices_demo CAPTION VOICES [auto]
//
// The engine plays a sine patch with VOICES voices (auto-play only with
// "auto"); its reports go to the window's presenter as in wsy's main loop.
// Prints "ready", then, one command a line:
//   key K | unkey K            the note key K ('z'...) pressed or let go, as the window's keys send it
//   enter | unenter            Enter pressed or let go
//   midi B1 B2 B3              a MIDI message (decimal bytes)
//   play FRAMES                plays FRAMES frames, handing each block's reports to the window
//   update                     the main loop's call, once its pace allows: prints "updated N"
// The window's expose events repaint it whole. End of input ends the program.
#include <SDL.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "session/key_table.h"
#include "window/window_layout.h"
#include "window/window_presenter.h"
#include "window/window_video.h"
#include "wsy/engine.h"

namespace {

constexpr const char* kSinePatch = "LFO1;*FREQ=0;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n";
constexpr Uint32 kPresentSettleMs = 40;
constexpr Uint32 kPaceMs = 1000 / 20 + 5;  // past the presenter's 20 updates a second

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_voices_demo CAPTION VOICES [auto]\n");
    return 2;
  }
  EngineSettings settings;
  settings.voices = settings.voice_room = std::stoi(argv[2]);
  settings.autoplay = argc > 3 && std::string(argv[3]) == "auto";
  LoadResult result;
  std::unique_ptr<Engine> engine = Engine::from_text(kSinePatch, "sine.wsy", settings, {}, result);
  if (!engine) {
    std::fprintf(stderr, "window_voices_demo: %s\n", result.error.c_str());
    return 1;
  }

  choose_cheap_window_updates();
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    std::fprintf(stderr, "window_voices_demo: SDL could not start: %s\n", SDL_GetError());
    return 1;
  }
  SDL_Surface* screen = SDL_SetVideoMode(window_layout::kWidth, window_layout::kHeight, 0, SDL_ANYFORMAT);
  SDL_WM_SetCaption(argv[1], nullptr);
  WindowPresenter window;
  if (!window.open(screen)) return 1;
  window.show_patch("sine.wsy", engine->patch());
  window.show_voices(engine->settings().voices);
  std::printf("ready\n");

  std::vector<int16_t> out(2 * 256);
  std::string pending;
  for (;;) {
    SDL_Event event;
    while (SDL_PollEvent(&event))
      if (event.type == SDL_VIDEOEXPOSE) window.invalidate();
    const size_t end = pending.find('\n');
    if (end == std::string::npos) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      if (poll(&input, 1, 20) <= 0) continue;
      char chunk[4096];
      const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
      if (got <= 0) break;
      pending.append(chunk, static_cast<size_t>(got));
      continue;
    }
    const std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    std::istringstream words(line);
    std::string command, key;
    words >> command;
    if (command == "key" || command == "unkey") {
      words >> key;
      const std::optional<int32_t> note = key.empty() ? std::nullopt : note_for_key(key[0]);
      if (!note) {
        std::fprintf(stderr, "window_voices_demo: \"%s\" is no note key\n", key.c_str());
        continue;
      }
      engine->send(command == "key" ? Command::play_note(*note) : Command::release_note(*note));
    } else if (command == "enter" || command == "unenter") {
      engine->send(command == "enter" ? Command::replay() : Command::release_replay());
    } else if (command == "midi") {
      int b[3] = {0, 0, 0};
      words >> b[0] >> b[1] >> b[2];
      const uint8_t bytes[3] = {static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]), static_cast<uint8_t>(b[2])};
      engine->send(Command::midi_message(bytes, 3));
    } else if (command == "play") {
      long frames = 0;
      words >> frames;
      for (long done = 0; done < frames; done += 256) {
        engine->render(static_cast<int>(std::min<long>(256, frames - done)), out.data());
        Report report;
        while (engine->take_report(report)) window.take(report);
      }
    } else if (command == "update") {
      SDL_Delay(kPaceMs);
      const int rectangles = window.update(*engine);
      // As window_view_demo: the picture shows at the next event pump.
      SDL_Delay(kPresentSettleMs);
      SDL_PumpEvents();
      std::printf("updated %d\n", rectangles);
    } else if (!command.empty()) {
      std::fprintf(stderr, "window_voices_demo: unknown command \"%s\"\n", command.c_str());
    }
  }
  SDL_Quit();
  return 0;
}
