#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "midi/midi_options.h"
#include "session/rate_option.h"
#include "session/voice_options.h"
#include "wsy/engine.h"

// The usage text names the voice count's range.
static_assert(kMaxVoices == 32, "update kWsyUsage's figures");

const char kWsyUsage[] =
    "usage: wsy [--patch FILE] [--record FILE] [--no-autoplay] [--no-watch]\n"
    "           [--midi-connect PORT]... [--midi-channel N] [--bend-range R] [--no-midi]\n"
    "           [--rate HZ] [--voices N] [--velocity S]\n"
    "Plays a wsy patch: asks for the audio output on the console, then takes the\n"
    "keys z x c v b n (notes), Enter (replay) and Esc (quit) in its window.\n"
    "  --patch FILE    patch file to play (default RODUV_2.WSY in this folder)\n"
    "  --record FILE   log every event of the session, with its frame, as an event\n"
    "                  script that wsy-render plays back to the same samples\n"
    "  --no-autoplay   no random note when a note has run out\n"
    "  --no-watch      do not reload the patch file when it is saved\n"
    "  --midi-connect PORT  connect the MIDI input from PORT at start (repeatable): on\n"
    "                  JACK a port name or a regular expression over port names, else\n"
    "                  an ALSA sequencer client:port or client name\n"
    "  --midi-channel N  MIDI channel to listen to, 1 to 16 (default: all)\n"
    "  --bend-range R  semitones at full pitch bend, 0 to 24 (default 2)\n"
    "  --no-midi       no MIDI input\n"
    "  --rate HZ       frames a second, 8000 to 192000: what ALSA, OSS and NoSound\n"
    "                  play at (default 44100) and what a JACK server must run at\n"
    "                  (default: whatever rate it runs at)\n"
    "  --voices N      notes at once, 1 to 32 (default 1: the newest key sounds);\n"
    "                  each further note takes a voice, a whole copy of the patch\n"
    "  --velocity S    how much a MIDI note's velocity counts, 0 to 1 (default 0:\n"
    "                  every note at full level; 1: the level goes with velocity\n"
    "                  squared)\n"
    "  --help          this text\n"
    "  --version       the version\n";

namespace {

[[noreturn]] void usage_error(const char* message, const char* argument) {
  std::fprintf(stderr, "wsy: %s%s\n%s", message, argument, kWsyUsage);
  std::exit(2);
}

// The value of an option given as "--name VALUE" or "--name=VALUE", or null
// when `arg` is not that option.
const char* value_of(const char* name, int argc, char** argv, int& i) {
  const size_t n = std::strlen(name);
  const char* arg = argv[i];
  if (std::strncmp(arg, name, n) != 0) return nullptr;
  if (arg[n] == '=') return arg + n + 1;
  if (arg[n] != '\0') return nullptr;
  if (i + 1 >= argc) usage_error("this option needs a value: ", name);
  return argv[++i];
}

// --midi-channel and --bend-range into `settings`, or a usage error.
void read_midi(const char* option, const char* value, MidiSettings& settings) {
  std::string error;
  if (read_midi_option(option, value, settings, error)) return;
  std::fprintf(stderr, "wsy: %s\n%s", error.c_str(), kWsyUsage);
  std::exit(2);
}

// --voices and --velocity into `options`, or a usage error.
void read_voices(const char* option, const char* value, WsyOptions& options) {
  std::string error;
  if (read_voice_option(option, value, options.voices, options.velocity, error)) return;
  std::fprintf(stderr, "wsy: %s\n%s", error.c_str(), kWsyUsage);
  std::exit(2);
}

// --rate: a whole number of frames a second that wsy plays at, or a usage error.
int read_rate(const char* value) {
  int rate = 0;
  if (read_sample_rate(value, rate)) return rate;
  std::fprintf(stderr, "wsy: %s\n%s", rate_option_error(value).c_str(), kWsyUsage);
  std::exit(2);
}

}  // namespace

WsyOptions parse_wsy_options(int argc, char** argv) {
  WsyOptions options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (const char* v = value_of("--patch", argc, argv, i)) {
      if (!*v) usage_error("--patch needs a file name", "");
      options.patch = v;
    } else if (const char* v = value_of("--record", argc, argv, i)) {
      if (!*v) usage_error("--record needs a file name", "");
      options.record = v;
    } else if (const char* v = value_of("--midi-connect", argc, argv, i)) {
      if (!*v) usage_error("--midi-connect needs a port", "");
      options.midi_connect.push_back(v);
    } else if (const char* v = value_of(kMidiChannelOption, argc, argv, i)) {
      read_midi(kMidiChannelOption, v, options.midi_settings);
    } else if (const char* v = value_of(kBendRangeOption, argc, argv, i)) {
      read_midi(kBendRangeOption, v, options.midi_settings);
    } else if (const char* v = value_of(kRateOption, argc, argv, i)) {
      options.rate = read_rate(v);
    } else if (const char* v = value_of(kVoicesOption, argc, argv, i)) {
      read_voices(kVoicesOption, v, options);
    } else if (const char* v = value_of(kVelocityOption, argc, argv, i)) {
      read_voices(kVelocityOption, v, options);
    } else if (std::strcmp(arg, "--no-midi") == 0) {
      options.midi = false;
    } else if (std::strcmp(arg, "--no-autoplay") == 0) {
      options.autoplay = false;
    } else if (std::strcmp(arg, "--no-watch") == 0) {
      options.watch = false;
    } else if (std::strcmp(arg, "--help") == 0) {
      std::fputs(kWsyUsage, stdout);
      std::exit(0);
    } else if (std::strcmp(arg, "--version") == 0) {
      std::printf("wsy %s\n", WSY_VERSION);
      std::exit(0);
    } else {
      std::fprintf(stderr, "wsy: ignoring the argument \"%s\", which wsy does not know (see wsy --help).\n", arg);
    }
  }
  return options;
}
