// wsy: loads a patch (RODUV_2.WSY unless --patch says otherwise), asks for the
// audio output, opens a window for the keys and plays until Escape.
#include <SDL.h>
#include <SDL_syswm.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console_keys.h"
#include "app/options.h"
#include "app/patch_reloader.h"
#include "app/poll_events.h"
#include "app/select_output.h"
#include "devices/alsa_midi_input.h"
#include "devices/audio_output.h"
#include "devices/block_size.h"
#include "devices/error_text.h"
#include "devices/fsound.h"
#include "devices/jack_client.h"
#include "devices/stream_statistics.h"
#include "devices/terminal_signals.h"
#include "midi/midi_options.h"
#include "patch/patch_location.h"
#include "session/session_log.h"
#include "window/window_presenter.h"
#include "window/window_video.h"
#include "wsy/engine.h"

namespace {

constexpr int kStreamBufferLength = 4 * kMaxBlockFrames;  // bytes of 16-bit stereo: the largest block
constexpr unsigned kStreamMode = kMode16Bits | kModeStereo | kModeSigned | kModeProgramFlag;
constexpr int kPollMilliseconds = 50;       // how soon a lost device or a latency figure is seen
static_assert(kLowestRate == kMinSampleRate && kHighestRate == kMaxSampleRate,
              "the audio layer plays at every rate the engine computes at, and no other");

bool sdl_started = false;
// Set once it may play; never destroyed (the audio may play until the very
// end). Atomic: the signal handler reads it too (on the main thread only).
std::atomic<Engine*> engine{nullptr};
static_assert(std::atomic<Engine*>::is_always_lock_free, "read from a signal handler");
SessionLog session_log;
PatchHandOver hand_over;  // reloaded patches on their way to the engine, and back
WindowPresenter window;
std::string patch_path;
AlsaMidiInput* sequencer_input = nullptr;
// The playing stream, for the signal handler's underflow line (the handler
// runs on the main thread only); null before it plays and once it closes.
std::atomic<AudioStream*> playing_stream{nullptr};
static_assert(std::atomic<AudioStream*>::is_always_lock_free, "read from a signal handler");

// The sequencer's thread hands each message straight to the engine through
// a queue of its own: the main thread may sleep for a whole poll period, and
// the engine's command queue takes one producer only.
void midi_to_engine(void* user, const uint8_t* bytes, int size) {
  static_cast<Engine*>(user)->send_from_midi_input(Command::midi_message(bytes, size));
}

// With an output that has no MIDI input of its own: the ALSA sequencer.
void open_sequencer_input(const WsyOptions& options) {
  sequencer_input = new AlsaMidiInput(midi_to_engine, engine.load());
  if (!sequencer_input->open()) return;  // it said why; play on without MIDI
  for (const std::string& source : options.midi_connect) {
    const MidiConnectResult result = sequencer_input->connect(source);
    if (!result.warning.empty()) std::fprintf(stderr, "%s\n", result.warning.c_str());
  }
  std::string sources;
  for (const std::string& port : sequencer_input->connections()) sources += (sources.empty() ? "" : ", ") + port;
  const std::string input = sequencer_input->port_name() + ", " +
                            (sources.empty() ? "not connected yet (aconnect SOURCE wsy:midi_in)" : "connected from " + sources);
  std::fprintf(stderr, "wsy: MIDI input %s.\n", input.c_str());
  window.show_midi(input);
}

// Prints the engine's console words (and a reloaded patch's trace where the
// engine swapped it in), logs the commands it applied, in its order, and
// tells the window.
void take_reports() {
  Report report;
  std::string printed, text;
  Engine& playing = *engine.load();
  while (playing.take_report(report)) {
    if (const char* words = report_text(report)) std::fputs(words, stdout);
    session_log.add(report);
    window.take(report);
    if (hand_over.take(report, printed, text)) {
      std::fputs(printed.c_str(), stdout);
      session_log.add_patch(report.frame, text);
      window.show_patch(patch_path, *report.command.patch);
    }
  }
}

// What a signal leaves behind: the underflow line, and the end of the log.
void last_words() {
  fsound_report_underflows(playing_stream.load(std::memory_order_relaxed));
  if (const Engine* playing = engine.load()) session_log.end_from_signal(playing->frames());
}

// Every normal way out passes here: the audio stops before SDL goes away, so
// the callback never runs into a half-shut process; then what the engine
// still had to say is printed and logged, and the log gets its end.
void shut_down() {
  AudioStream* stream = playing_stream.exchange(nullptr);
  fsound_report_underflows(stream);
  const StreamStatus status = stream ? fsound_stream_status(*stream) : StreamStatus{};
  if (sequencer_input) sequencer_input->close();
  FSOUND_Close();
  if (sequencer_input && sequencer_input->overruns() > 0)
    std::fprintf(stderr,
                 "wsy: the ALSA sequencer's input buffer overflowed %ld time%s and the MIDI messages that came "
                 "meanwhile were lost.\n",
                 sequencer_input->overruns(), sequencer_input->overruns() == 1 ? "" : "s");
  if (status.dropped_midi_events > 0)
    std::fprintf(stderr, "wsy: %ld MIDI events from JACK were dropped (more than %d came in one period).\n",
                 status.dropped_midi_events, JackClient::kMaxEventsPerPeriod);
  if (const Engine* playing = engine.load()) {
    take_reports();
    std::fflush(stdout);
    session_log.end(playing->frames());
    if (playing->refused_commands() > 0)
      std::fprintf(stderr, "wsy: %ld commands could not reach the sound (its queue was full) and were dropped.\n",
                   playing->refused_commands());
    if (playing->lost_reports() > 0)
      std::fprintf(stderr, "wsy: %ld reports from the sound were lost (their queue was full).\n",
                   playing->lost_reports());
  }
  if (sdl_started) SDL_Quit();
}

[[noreturn]] void stream_failed() {
  print_layer_error(FSOUND_GetError());
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

// The JACK server's rate changed under the stream: the engine's rate is fixed
// for its life, and the log holds one rate.
[[noreturn]] void rate_changed(int from, int to) {
  std::fprintf(stderr,
               "wsy: the JACK server changed its rate from %d Hz to %d Hz while wsy played, and wsy plays a "
               "session at one rate only; quitting (start wsy again to play at %d Hz).\n",
               from, to, to);
  std::exit(1);
}

[[noreturn]] void device_lost() {
  std::fputs("wsy: the audio device was lost while playing (the sound server stopped or the device went away); "
             "quitting.\n",
             stderr);
  std::exit(1);
}

// The X connection, when the window is on X: a key wakes the main loop at once.
int window_fd() {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWMInfo(&info) > 0 && info.subsystem == SDL_SYSWM_X11 && info.info.x11.display)
    return ConnectionNumber(info.info.x11.display);
  return -1;
}

// Sleeps until a key comes in, the engine has something to say, the patch
// file was touched, or it is time to look at the device (and the window) again.
void wait_for_work(int keys_fd, int reports_fd, int patch_fd) {
  pollfd fds[3] = {{reports_fd, POLLIN, 0}, {keys_fd, POLLIN, 0}, {patch_fd, POLLIN, 0}};
  if (poll(fds, 3, kPollMilliseconds) > 0 && (fds[0].revents & POLLIN)) {
    uint64_t wakes;
    if (read(reports_fd, &wakes, sizeof wakes) < 0) {
      // Nothing waiting after all.
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Prompts, TRIG and MIAM must show at once also through a pipe or into a file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const WsyOptions options = parse_wsy_options(argc, argv);
  std::atexit(shut_down);
  // Ctrl-C and the like leave the terminal as it was, and say how the sound went.
  guard_terminal(last_words);

  EngineSettings settings;
  settings.autoplay = options.autoplay;
  settings.midi_channel = options.midi_settings.channel;
  settings.bend_range = options.midi_settings.bend_range;
  settings.voices = options.voices;
  settings.voice_room = options.voices;
  settings.velocity = options.velocity;
  std::string where;
  const std::optional<std::string> located = locate_patch("wsy", options.patch ? options.patch->c_str() : nullptr, where);
  std::fputs(where.c_str(), stderr);
  if (!located) return 1;
  patch_path = *located;
  LoadOptions load;
  load.trace = stdout;
  load.on_warning = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  LoadResult result;
  PatchPtr patch = load_patch_file(patch_path, load, result);
  if (!patch) {
    std::fprintf(stderr, "wsy: %s\n", result.error.c_str());
    return 1;
  }

  select_output(options.rate);  // a failure shows when the stream cannot be created
  // The engine plays at the output's rate (44100 Hz when the layer could not
  // start: the stream then fails). Never destroyed: the audio thread may play
  // it until the process ends.
  const int rate = FSOUND_GetOutputRate();
  settings.sample_rate = rate ? rate : kDefaultSampleRate;
  Engine* loaded = new Engine(std::move(patch), settings);
  // Watched from here on (after the questions, which read standard input:
  // were it closed, the watch's descriptors would take its number).
  PatchReloader reloader;
  if (options.watch) reloader.watch(patch_path);

  // With no display at all, go straight to the off-screen driver: probing for
  // Wayland first only prints a confusing line about XDG_RUNTIME_DIR.
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
  else
    choose_cheap_window_updates();
  SDL_Surface* screen = nullptr;
  {
    const TerminalSignalsBlocked for_sdls_threads;
    if (SDL_Init(SDL_INIT_VIDEO) != 0)
      std::fprintf(stderr, "wsy: SDL could not start its video (%s); going on without a window.\n", SDL_GetError());
    else
      sdl_started = true;
    // SDL turns these into SDL_QUIT, which is ignored: Ctrl-C must still stop us.
    guard_terminal(last_words);
    screen = SDL_SetVideoMode(640, 800, 0, SDL_ANYFORMAT);
  }
  SDL_WM_SetCaption("wsy", "wsy");
  SDL_EnableKeyRepeat(0, 0);  // a held key is one press
  const bool headless = warn_if_no_window(screen);
  const int keys_fd = screen && !headless ? window_fd() : -1;
  if (!headless && window.open(screen)) window.show_patch(patch_path, loaded->patch());
  window.show_voices(loaded->settings().voices);

  std::fflush(stdout);
  if (std::system("clear") != 0) {
    // Nothing to do: the screen merely stays as it was.
  }
  std::fputs("[aqzs edrftg yhujik olpm our] modifier les trucs \n", stdout);
  std::fputs("[+-] change type OSC1 [7894] le type des LFO1234\n", stdout);
  std::fputs("[wxcvbn,;] pour les notes (foireuxmaismarche)\n", stdout);

  if (!options.record.empty()) {
    std::string error;
    // With the options wsy-render needs to play the log the same.
    const std::string render_options = midi_options_text(options.midi_settings);
    if (!session_log.open(options.record, patch_path, options.autoplay, error, render_options,
                          loaded->sample_rate(), loaded->settings().voices, loaded->settings().velocity))
      std::fprintf(stderr, "wsy: cannot record the session into \"%s\": %s; playing without recording.\n",
                   options.record.c_str(), error.c_str());
  }
  const int reports_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  loaded->set_wake_fd(reports_fd);
  engine = loaded;

  AudioStream* stream =
      FSOUND_Stream_Create(stream_callback, kStreamBufferLength, kStreamMode, loaded->sample_rate(), loaded);
  if (!stream) stream_failed();
  // MIDI comes with the stream on JACK, else from the sequencer, which is
  // opened first so that the playing line stays the last word of the start.
  const bool midi_in_stream = options.midi && fsound_stream_take_midi(stream, engine_midi_block, options.midi_connect);
  if (options.midi && !midi_in_stream) open_sequencer_input(options);
  if (FSOUND_Stream_Play(0, stream) == -1) stream_failed();
  playing_stream.store(stream);
  window.show_output(fsound_stream_label(stream) + ", " + std::to_string(loaded->sample_rate()) + " Hz");
  if (midi_in_stream) window.show_midi(fsound_stream_midi_input(stream));

  for (;;) {
    if (fsound_stream_lost(stream)) device_lost();
    double latency_ms, device_ms;
    if (fsound_take_key_latency(stream, latency_ms, device_ms))
      std::fprintf(stderr, "wsy: key to sound %.2f ms (%.2f ms of it from the block's start to the device)\n",
                   latency_ms, device_ms);
    bool exposed = false;
    poll_events(*loaded, &exposed, stream);
    if (exposed) window.invalidate();
    take_reports();
    if (reloader.fd() >= 0) {
      reloader.reload_if_changed(*loaded, hand_over);
      window.show_reload(reloader.status());
    }
    const StreamStatus status = fsound_stream_status(*stream);
    if (status.rate_changed_to) rate_changed(loaded->sample_rate(), status.rate_changed_to);
    window.show_stream(status.block_frames, status.underflows);
    window.update(*loaded);  // its pictures show at the next turn's event pump
    wait_for_work(keys_fd, reports_fd, reloader.fd());
  }
}
