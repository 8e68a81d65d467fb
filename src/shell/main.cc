// wsy: loads RODUV_2.WSY, asks for the audio output, opens a window for the
// keys and plays until Escape.
#include <SDL.h>
#include <SDL_syswm.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/events.h"
#include "shell/poll_events.h"
#include "patch/patch.h"
#include "shell/console_keys.h"
#include "shell/error_text.h"
#include "shell/fsound.h"
#include "shell/select_output.h"
#include "control/stream_fill.h"
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
  fsound_report_underflows();
  FSOUND_Close();
  if (sdl_started) SDL_Quit();
}

[[noreturn]] void stream_failed() {
  std::fputs("Error!\n", stdout);
  std::printf("%s\n", error_text(FSOUND_GetError()));
  std::exit(1);
}

// True when no key can come: the window is not on a display.
bool warn_if_no_window(const SDL_Surface* screen) {
  char driver[64] = "";
  SDL_VideoDriverName(driver, sizeof driver);
  const bool headless = std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0;
  if (screen && !headless) return false;
  std::fprintf(stderr,
               "wsy: the window could not be shown (no display; SDL video driver \"%s\"), so no key can be "
               "played: random notes play by themselves. Press Ctrl-C to quit.\n",
               driver[0] ? driver : "none");
  return true;
}

[[noreturn]] void device_lost() {
  std::fputs("wsy: the audio device was lost while playing (the sound server stopped or the device went away); "
             "quitting.\n",
             stderr);
  std::exit(1);
}

constexpr long long kMillisecond = 1000000;

// The X connection, when the window is on X: a key wakes the main loop at once.
int window_fd() {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWMInfo(&info) > 0 && info.subsystem == SDL_SYSWM_X11 && info.info.x11.display)
    return ConnectionNumber(info.info.x11.display);
  return -1;
}

// Sleeps until there may be something to do. The envelope that auto-play
// watches changes only while the audio thread computes a block, so once a
// block is done nothing new can happen before the next one is: sleep until
// just after it, or until a key comes in. Without a way to hear of keys,
// or while no block comes, look again after a millisecond.
void wait_for_work(int keys_fd, bool keys_can_come) {
  const long long now = fsound_now_ns();
  long long until = fsound_next_block_due_ns() + kMillisecond / 4;
  if (until <= now || until - now > 50 * kMillisecond || (keys_fd < 0 && keys_can_come)) until = now + kMillisecond;
  const long long wait = until - now;
  const timespec span{static_cast<time_t>(wait / 1000000000LL), static_cast<long>(wait % 1000000000LL)};
  if (keys_fd >= 0) {
    pollfd window{keys_fd, POLLIN, 0};
    ppoll(&window, 1, &span, nullptr);
  } else {
    nanosleep(&span, nullptr);
  }
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
  // Prompts, TRIG and MIAM must show at once also through a pipe or into a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::atexit(shut_down);
  // Ctrl-C and the like leave the terminal as it was, and say how the sound went.
  guard_terminal(fsound_report_underflows);

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
  guard_terminal(fsound_report_underflows);
  SDL_Surface* screen = SDL_SetVideoMode(640, 800, 0, SDL_ANYFORMAT);
  SDL_WM_SetCaption("wsy", "wsy");
  SDL_EnableKeyRepeat(0, 0);  // a held key is one press
  const bool headless = warn_if_no_window(screen);
  const int keys_fd = screen ? window_fd() : -1;

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

  AudioStream* stream =
      FSOUND_Stream_Create(stream_callback, kStreamBufferLength, kStreamMode, kSampleRate, nullptr);
  if (!stream) stream_failed();
  if (FSOUND_Stream_Play(0, stream) == -1) stream_failed();

  for (;;) {
    if (fsound_stream_lost(stream)) device_lost();
    double latency_ms, device_ms;
    if (fsound_take_key_latency(latency_ms, device_ms))
      std::fprintf(stderr, "wsy: key to sound %.2f ms (%.2f ms of it from the block's start to the device)\n",
                   latency_ms, device_ms);
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
    if (!busy) wait_for_work(keys_fd, !headless);
  }
}
