// The window's cost per update: draws the face in a real window as auto-play
// would change it (the scope every time, the envelope bar as the note decays,
// the note now and then), 20 times a second, and prints the process's CPU
// time per update. bench/window_update.sh runs it under Xvfb with each way
// sdl12-compat can send the picture to the display.
//
//   wsy-window-bench [--updates N] [--send changed|whole|flip] [--change scope|all|nothing] [--wsy-choice yes]
//
// --wsy-choice yes: the renderer wsy chooses (choose_cheap_window_updates()).
#include <SDL.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "scope_tap.h"
#include "patch/patch.h"
#include "window/window_layout.h"
#include "window/window_video.h"
#include "window/window_view.h"

namespace {

double cpu_ms() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double wall_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// One 50 ms turn of a decaying 440 Hz note into the tap.
void play(ScopeTap& tap, int64_t& frame, float level) {
  constexpr int kFrames = 2205;
  static int16_t stereo[2 * kFrames];
  for (int i = 0; i < kFrames; ++i) {
    const double t = static_cast<double>(frame + i) / 44100.0;
    stereo[2 * i] = stereo[2 * i + 1] =
        static_cast<int16_t>(std::lround(10000.0 * level * std::sin(2 * M_PI * 440.0 * t + std::sin(2 * M_PI * 4 * t))));
  }
  tap.write(stereo, kFrames, level);
  frame += kFrames;
}

}  // namespace

int main(int argc, char** argv) {
  int updates = 200;
  std::string send = "changed", change = "scope";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--updates")) updates = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--send")) send = argv[i + 1];
    else if (!std::strcmp(argv[i], "--change")) change = argv[i + 1];
    else if (!std::strcmp(argv[i], "--wsy-choice")) choose_cheap_window_updates();
  }
  if (SDL_Init(SDL_INIT_VIDEO) != 0) return 1;
  SDL_Surface* screen = SDL_SetVideoMode(window_layout::kWidth, window_layout::kHeight, 0, SDL_ANYFORMAT);
  SDL_WM_SetCaption("wsy-window-bench", nullptr);
  WindowView view;
  if (!view.open(screen)) return 1;

  auto state = std::make_unique<WindowState>();
  auto tap = std::make_unique<ScopeTap>();
  state->patch_file = "RODUV_2.WSY";
  state->links = {{"LFO_VIBRATO", "VCO_LEAD", "phase"}, {"VCO_LEAD", "MIXER_OUT", "IN1"}};
  state->status = {"NoSound", 256, "", 0, ""};
  view.draw(*state);

  int64_t frame = 0;
  long rectangles = 0;
  double drawing = 0;
  const double cpu_start = cpu_ms(), wall_start = wall_ms();
  for (int u = 0; u < updates; ++u) {
    const double turn_start = wall_ms();
    // Auto-play: a note every 10 updates, decaying meanwhile.
    const float level = change == "nothing" ? 0.0f : 1.0f - static_cast<float>(u % 10) / 10.0f;
    if (change != "nothing") play(*tap, frame, level);
    tap->read(state->scope);
    state->level = level;
    if (change == "all") {
      state->held_key = u % 2 ? 'z' : 0;
      state->sounding = {SoundingNote::Cause::kAutoPlay, 53 + u % 10, 0};
      state->sounding.hz = note_frequency(state->sounding.note);
    }
    const double draw_start = cpu_ms();
    if (send == "changed") {
      rectangles += view.draw(*state);
    } else {
      view.invalidate();  // repaint and send everything
      rectangles += view.draw(*state);
      if (send == "flip") SDL_Flip(screen);
    }
    drawing += cpu_ms() - draw_start;
    SDL_PumpEvents();  // as the main loop does; sdl12-compat may show a deferred picture here
    const double left = 50.0 - (wall_ms() - turn_start);
    if (left > 0) SDL_Delay(static_cast<Uint32>(left));
  }
  const double cpu = cpu_ms() - cpu_start, wall = wall_ms() - wall_start;
  char driver[32] = "";
  SDL_VideoDriverName(driver, sizeof driver);
  std::printf("send=%s change=%s updates=%d rects/update=%.1f: %.3f ms CPU per update in draw(), %.3f ms CPU "
              "per update in all, %.1f %% of a core at 20 updates/s (video driver %s)\n",
              send.c_str(), change.c_str(), updates, static_cast<double>(rectangles) / updates, drawing / updates,
              cpu / updates, 100.0 * cpu / wall, driver);
  SDL_Quit();
  return 0;
}
