// The smallest host of the engine: built with wsy/engine.h alone on its
// include line and wsy_engine on its link line (no SDL, PortAudio, JACK or
// ALSA). Plays a patch file for a number of frames, with notes at frames
// given on the command line, and writes the samples as raw 16-bit stereo.
//
//   small_host PATCH FRAMES OUT.raw [--trace] [--no-autoplay]
//              [--play FRAME NOTE] [--release FRAME NOTE] [--replay FRAME]
//              [--release-replay FRAME] [--random FRAME] ...
//
// It prints nothing unless --trace asks: then, as wsy-render prints them,
// the loader's trace, the report and the engine's words on standard output
// and the warnings on standard error. Without it the warnings are only
// counted, in the exit status if the patch cannot be loaded (1).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "wsy/engine.h"

namespace {

[[noreturn]] void usage() {
  std::fputs("usage: small_host PATCH FRAMES OUT.raw [--trace] [--no-autoplay] [--play FRAME NOTE] ...\n", stderr);
  std::exit(2);
}

long long number(const char* text) {
  char* end = nullptr;
  const long long n = std::strtoll(text, &end, 10);
  if (!*text || *end || n < 0) usage();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) usage();
  const std::string patch_path = argv[1];
  const long long frames = number(argv[2]);
  const char* out_path = argv[3];
  bool trace = false;
  EngineSettings settings;
  std::vector<Command> commands;
  for (int i = 4; i < argc; ++i) {
    const std::string word = argv[i];
    auto next = [&] { return i + 1 < argc ? number(argv[++i]) : (usage(), 0LL); };
    if (word == "--trace") {
      trace = true;
    } else if (word == "--no-autoplay") {
      settings.autoplay = false;
    } else if (word == "--play") {
      const long long frame = next();
      commands.push_back(Command::play_note(static_cast<int32_t>(next()), frame));
    } else if (word == "--release") {
      const long long frame = next();
      commands.push_back(Command::release_note(static_cast<int32_t>(next()), frame));
    } else if (word == "--replay") {
      commands.push_back(Command::replay(next()));
    } else if (word == "--release-replay") {
      commands.push_back(Command::release_replay(next()));
    } else if (word == "--random") {
      commands.push_back(Command::random_note(next()));
    } else {
      usage();
    }
  }

  LoadOptions load;
  if (trace) {
    load.trace = stdout;
    load.on_warning = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  }
  LoadResult result;
  std::unique_ptr<Engine> engine = Engine::from_file(patch_path, settings, load, result);
  if (!engine) {
    if (trace) std::fprintf(stderr, "wsy: %s\n", result.error.c_str());
    return 1;
  }
  FILE* out = std::fopen(out_path, "wb");
  if (!out) return 1;

  // Blocks of up to 512 frames, each ending before the next command's frame,
  // the commands all sent at the start (they wait for their frames).
  for (const Command& command : commands)
    if (!engine->send(command)) return 1;
  std::vector<int16_t> block(2 * 512);
  Report report;
  for (long long done = 0; done < frames;) {
    const int count = static_cast<int>(frames - done < 512 ? frames - done : 512);
    engine->render(count, block.data());
    while (engine->take_report(report))
      if (const char* words = report_text(report); words && trace) std::fputs(words, stdout);
    if (std::fwrite(block.data(), sizeof(int16_t), 2 * static_cast<size_t>(count), out) != 2 * static_cast<size_t>(count))
      return 1;
    done += count;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
