// Shows the window's face in a real window, from states typed on standard
// input, so that tests can take screenshots of it and read the pixels back.
//
//   window_view_demo [CAPTION]
//
// Prints "area NAME X Y W H" for each part of the window, then "ready".
// Then, one command a line:
//   held KEY | held none          the note key held now
//   sounding NOTE CAUSE | sounding none    CAUSE: key, midi, auto
//   voices N                      the engine's voices (1: the one note above)
//   voice V NOTE CAUSE | voice V none      voice V's note; CAUSE: key, enter, midi, auto
//   keys KEY...                   with several voices, every note key held now
//   level L                       the envelope's level, 0..1
//   sine HZ AMPLITUDE [FRAME] | silence   fills the scope through a ScopeTap,
//                                 the sine's first sample being that of FRAME
//   patch FILE                    the patch file shown
//   link SOURCE TARGET INPUT      adds a link line; "links none" clears them
//   status OUTPUT BLOCK UNDERFLOWS RELOAD...   (OUTPUT without spaces)
//   output TEXT...                the output's words alone, spaces kept
//   draw                          draws now; prints "drawn N" (rectangles sent)
//   whole                         the next draw repaints everything
//   update                        the main loop's call: prints "updated N"
//   visible                       prints "visible 1" while SDL says the window is shown, else "visible 0"
// The window's expose events repaint it whole. End of input ends the program.
#include <SDL.h>
#include <poll.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "scope_tap.h"
#include "patch/patch.h"
#include "window/window_layout.h"
#include "window/window_video.h"
#include "window/window_view.h"

namespace {

SoundingNote::Cause cause_named(const std::string& word) {
  return word == "midi"    ? SoundingNote::Cause::kMidi
         : word == "auto"  ? SoundingNote::Cause::kAutoPlay
         : word == "enter" ? SoundingNote::Cause::kEnter
                           : SoundingNote::Cause::kKey;
}

constexpr Uint32 kPresentSettleMs = 40;

void print_area(const char* name, const SDL_Rect& r) {
  std::printf("area %s %d %d %d %d\n", name, r.x, r.y, r.w, r.h);
}

void fill_scope(ScopeTap& tap, double hz, double amplitude, int64_t first_frame, ScopeSnapshot& out) {
  std::vector<int16_t> stereo(2 * ScopeSnapshot::kFrames);
  for (int i = 0; i < ScopeSnapshot::kFrames; ++i) {
    stereo[2 * i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(first_frame + i) / 44100.0)));
    stereo[2 * i + 1] = stereo[2 * i];
  }
  tap.write(stereo.data(), ScopeSnapshot::kFrames, out.level);
  tap.read(out);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  choose_cheap_window_updates();  // the same way to the display as wsy's
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    std::fprintf(stderr, "window_view_demo: SDL could not start: %s\n", SDL_GetError());
    return 1;
  }
  SDL_Surface* screen = SDL_SetVideoMode(window_layout::kWidth, window_layout::kHeight, 0, SDL_ANYFORMAT);
  SDL_WM_SetCaption(argc > 1 ? argv[1] : "wsy", nullptr);
  WindowView view;
  if (!view.open(screen)) return 1;

  for (int row = 0; row < window_layout::kKeyRows; ++row)
    print_area(("key" + std::to_string(row)).c_str(), window_layout::key_row(row));
  print_area("note", window_layout::kNote);
  print_area("bar", window_layout::kLevelBar);
  print_area("scope", window_layout::kScope);
  print_area("patch", window_layout::kPatch);
  print_area("status", window_layout::kStatus);

  auto state = std::make_unique<WindowState>();
  auto tap = std::make_unique<ScopeTap>();
  state->patch_file = "RODUV_2.WSY";
  std::printf("drawn %d\nready\n", view.draw(*state));

  std::string pending;  // input read but not yet handled: the window must keep answering meanwhile
  for (;;) {
    SDL_Event event;
    while (SDL_PollEvent(&event))
      if (event.type == SDL_VIDEOEXPOSE) {
        view.invalidate();
        view.draw(*state);
      }
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
    std::string command, a, b, c;
    words >> command;
    if (command == "held") {
      words >> a;
      state->held_key = a == "none" ? 0 : a[0];
    } else if (command == "sounding") {
      words >> a >> b;
      state->sounding.cause = a == "none" ? SoundingNote::Cause::kNone : cause_named(b);
      if (a != "none") {
        state->sounding.note = std::stoi(a);
        state->sounding.hz = note_frequency(state->sounding.note);
      }
    } else if (command == "voices") {
      words >> state->voices;
      state->voice_notes.assign(state->voices > 1 ? state->voices : 0, SoundingNote{});
    } else if (command == "voice") {
      int voice = 0;
      words >> voice >> a >> b;
      if (voice < 0 || voice >= static_cast<int>(state->voice_notes.size())) {
        std::fprintf(stderr, "window_view_demo: no voice %d\n", voice);
        continue;
      }
      SoundingNote& sounding = state->voice_notes[voice];
      sounding.cause = a == "none" ? SoundingNote::Cause::kNone : cause_named(b);
      if (a != "none") {
        sounding.note = std::stoi(a);
        sounding.hz = note_frequency(sounding.note);
      }
    } else if (command == "keys") {
      state->held_keys.clear();
      while (words >> a) state->held_keys.push_back(a[0]);
    } else if (command == "level") {
      words >> state->level;
      state->scope.level = state->level;
    } else if (command == "sine") {
      double hz = 0, amplitude = 0;
      int64_t first_frame = 0;
      words >> hz >> amplitude >> first_frame;
      fill_scope(*tap, hz, amplitude, first_frame, state->scope);
    } else if (command == "silence") {
      fill_scope(*tap, 0, 0, 0, state->scope);
    } else if (command == "patch") {
      words >> state->patch_file;
    } else if (command == "link") {
      words >> a >> b >> c;
      state->links.push_back(LinkLine{a, b, c});
    } else if (command == "links") {
      state->links.clear();
    } else if (command == "status") {
      words >> state->status.output >> state->status.block_frames >> state->status.underflows;
      std::getline(words >> std::ws, state->status.last_reload);
    } else if (command == "output") {
      std::getline(words >> std::ws, state->status.output);
    } else if (command == "draw") {
      const int rectangles = view.draw(*state);
      // sdl12-compat shows a picture drawn soon after the last one at the next
      // event pump instead: pump once that time is over, as a main loop would.
      SDL_Delay(kPresentSettleMs);
      SDL_PumpEvents();
      std::printf("drawn %d\n", rectangles);
    } else if (command == "update") {
      const int rectangles = view.update(*state, static_cast<int64_t>(SDL_GetTicks()) * 1000000);
      SDL_Delay(kPresentSettleMs);
      SDL_PumpEvents();
      std::printf("updated %d\n", rectangles);
    } else if (command == "visible") {
      std::printf("visible %d\n", (SDL_GetAppState() & SDL_APPACTIVE) ? 1 : 0);
    } else if (command == "whole") {
      view.invalidate();
    } else if (!command.empty()) {
      std::fprintf(stderr, "window_view_demo: unknown command \"%s\"\n", command.c_str());
    }
  }
  SDL_Quit();
  return 0;
}
