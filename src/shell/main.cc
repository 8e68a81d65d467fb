// wsy: loads RODUV_2.WSY, asks for the audio output, opens a window for the
// keys and plays until Escape.
#include <SDL.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "input/events.h"
#include "input/poll_events.h"
#include "patch/patch.h"
#include "shell/error_text.h"
#include "shell/fsound.h"
#include "shell/select_output.h"
#include "synth/stream_fill.h"
#include "synth/vca.h"

namespace {

constexpr int kSampleRate = 44100;
constexpr int kStreamBufferLength = 32768;  // bytes: 8192 stereo frames
constexpr unsigned kStreamMode = 0x1000150;  // 16-bit, stereo, signed
constexpr int32_t kEnterNote = 58;

bool sdl_started = false;

// Every normal way out passes here: the audio stops before SDL goes away, so
// the callback never runs into a half-shut process.
void shut_down() {
  FSOUND_Close();
  if (sdl_started) SDL_Quit();
}

[[noreturn]] void stream_failed() {
  std::fputs("Error!\n", stdout);
  std::printf("%s\n", error_text(FSOUND_GetError()));
  std::exit(1);
}

void warn_if_no_window(const SDL_Surface* screen) {
  char driver[64] = "";
  SDL_VideoDriverName(driver, sizeof driver);
  const bool headless = std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0;
  if (screen && !headless) return;
  std::fprintf(stderr,
               "wsy: the window could not be shown (no display; SDL video driver \"%s\"), so no key can be "
               "played: random notes play by themselves. Press Ctrl-C to quit.\n",
               driver[0] ? driver : "none");
}

void wait_a_little() {
  const timespec one_ms{0, 1000000};
  nanosleep(&one_ms, nullptr);
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
  // Prompts, TRIG and MIAM must show at once also through a pipe or into a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::atexit(shut_down);

  Patch* patch = load_and_report(Patch::kDefaultFile);
  if (!patch) return 1;
  const int32_t enter_note = kEnterNote;

  select_output();  // a failure shows when the stream cannot be created

  // With no display at all, go straight to the off-screen driver: probing for
  // Wayland first only prints a confusing line about XDG_RUNTIME_DIR.
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) setenv("SDL_VIDEODRIVER", "offscreen", 0);
  if (SDL_Init(SDL_INIT_VIDEO) != 0)
    std::fprintf(stderr, "wsy: SDL could not start its video (%s); going on without a window.\n", SDL_GetError());
  else
    sdl_started = true;
  // SDL turns these into SDL_QUIT, which is ignored: Ctrl-C must still stop us.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  SDL_Surface* screen = SDL_SetVideoMode(640, 800, 0, SDL_ANYFORMAT);
  SDL_WM_SetCaption("wsy", "wsy");
  SDL_EnableKeyRepeat(0, 0);  // a held key is one press
  warn_if_no_window(screen);

  std::fflush(stdout);
  if (std::system("clear") != 0) {
    // Nothing to do: the screen merely stays as it was.
  }
  std::fputs("[aqzs edrftg yhujik olpm our] modifier les trucs \n", stdout);
  std::fputs("[+-] change type OSC1 [7894] le type des LFO1234\n", stdout);
  std::fputs("[wxcvbn,;] pour les notes (foireuxmaismarche)\n", stdout);

  Vca* vca = new Vca;
  the_patch = patch;
  the_vca = vca;
  Player player(patch, vca);
  player.enter_note = enter_note;

  FSOUND_STREAM* stream =
      FSOUND_Stream_Create(stream_callback, kStreamBufferLength, kStreamMode, kSampleRate, nullptr);
  if (!stream) stream_failed();
  if (FSOUND_Stream_Play(0, stream) == -1) stream_failed();

  for (;;) {
    bool busy = poll_events(player) > 0;
    if (player.idle_note_due()) {
      busy = true;
      SDL_Event idle{};
      idle.type = SDL_USEREVENT;
      idle.user.code = 1;
      idle.user.data1 = nullptr;
      idle.user.data2 = nullptr;
      // Without a queue the random note is played at once, so auto-play goes on.
      if (SDL_PushEvent(&idle) != 0) player.handle(Event{Event::kUser});
    }
    if (!busy) wait_a_little();
  }
}
