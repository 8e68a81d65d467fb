#include "shell/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kWsyUsage[] =
    "usage: wsy [--patch FILE] [--record FILE] [--no-autoplay] [--no-watch]\n"
    "Plays a wsy patch: asks for the audio output on the console, then takes the\n"
    "keys z x c v b n (notes), Enter (replay) and Esc (quit) in its window.\n"
    "  --patch FILE    patch file to play (default RODUV_2.WSY in this folder)\n"
    "  --record FILE   log every event of the session, with its frame, as an event\n"
    "                  script that wsy-render plays back to the same samples\n"
    "  --no-autoplay   no random note when a note has run out\n"
    "  --no-watch      do not reload the patch file when it is saved\n"
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
