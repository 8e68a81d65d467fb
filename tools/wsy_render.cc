// wsy-render: the synthesizer without a window or a sound card. Plays a patch
// through the very same envelope, event handling and stream fill as wsy, with
// the main loop idealised as one run between every two frames, into a WAV file.
#include <getopt.h>
#include <sndfile.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "control/event_script.h"
#include "control/events.h"
#include "patch/patch.h"
#include "patch/patch_location.h"
#include "control/stream_fill.h"
#include "synth/vca.h"

namespace {

constexpr int kSampleRate = 44100;

const char kUsage[] =
    "usage: wsy-render [--patch FILE] [--frames N] [--events FILE] -o FILE\n"
    "Renders a wsy patch to a 16-bit stereo 44100 Hz WAV file.\n"
    "  --patch FILE    patch file to play (default RODUV_2.WSY in this folder); a bare\n"
    "                  NAME that is no file here plays the installed example NAME.wsy\n"
    "  --frames N      stereo frames to render (default 441000, 10 s)\n"
    "  --events FILE   event script, '-' for standard input; one event a line:\n"
    "                    FRAME KEY down|up   KEY: z x c v b n return escape, or a letter/digit\n"
    "                    FRAME user          a random note, as when the envelope runs out\n"
    "                    FRAME close         the window's close button (does nothing)\n"
    "  -o, --output FILE  the WAV file to write\n"
    "  -h, --help      print this help and quit\n"
    "  --version       print the version and quit\n"
    "Loader trace, report and TRIG/UNTRIG/MIAM lines go to standard output;\n"
    "a summary goes to standard error.\n";

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "wsy-render: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

struct Options {
  std::optional<std::string> patch;  // none: RODUV_2.WSY in the working directory
  int64_t frames = 441000;
  std::string events;
  std::string output;
};

Options parse_options(int argc, char** argv) {
  static const option kLong[] = {
      {"patch", required_argument, nullptr, 'p'}, {"frames", required_argument, nullptr, 'f'},
      {"events", required_argument, nullptr, 'e'}, {"output", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  Options options;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":o:h", kLong, nullptr)) != -1) {
    switch (c) {
      case 'p': options.patch = optarg; break;
      case 'e': options.events = optarg; break;
      case 'o': options.output = optarg; break;
      case 'f': {
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(optarg, &end, 10);
        if (!*optarg || *end || errno || n < 0)
          usage_error(std::string("--frames takes a whole number of 0 or more, not \"") + optarg + "\"");
        options.frames = n;
        break;
      }
      case 'h': std::fputs(kUsage, stdout); std::exit(0);
      case 'V': std::puts("wsy-render " WSY_VERSION); std::exit(0);
      case ':': usage_error(std::string(argv[optind - 1]) + " needs a value");
      default: usage_error(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind < argc) usage_error(std::string("unexpected argument \"") + argv[optind] + "\"");
  if (options.output.empty()) usage_error("no output file: give -o FILE");
  // libsndfile takes "-" for standard output, where the WAV would be mixed into the trace.
  if (options.output == "-")
    usage_error("the WAV file cannot go to standard output, which carries the trace; give a file name");
  return options;
}

std::vector<ScriptedEvent> read_script(const std::string& path) {
  std::vector<ScriptedEvent> events;
  if (path.empty()) return events;
  FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "r");
  if (!in) usage_error("cannot open the event script \"" + path + "\": " + std::strerror(errno));
  std::string error;
  const bool ok = read_event_script(in, events, error);
  if (in != stdin) std::fclose(in);
  if (!ok) usage_error("event script \"" + path + "\", " + error);
  return events;
}

// Appends frames to the WAV file in blocks; remembers the first failure.
class WavWriter {
 public:
  explicit WavWriter(const std::string& path) {
    SF_INFO info{};
    info.samplerate = kSampleRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    block_.reserve(2 * kBlockFrames);
  }
  bool is_open() const { return file_ != nullptr; }
  void add(const int16_t frame[2]) {
    block_.insert(block_.end(), frame, frame + 2);
    if (block_.size() == 2 * kBlockFrames) flush();
  }
  // Writes what is left and closes; false if anything failed.
  bool close() {
    flush();
    if (sf_close(file_) != 0) ok_ = false;
    return ok_;
  }
  static std::string last_error() { return sf_strerror(nullptr); }

 private:
  static constexpr size_t kBlockFrames = 8192;
  void flush() {
    const sf_count_t frames = static_cast<sf_count_t>(block_.size() / 2);
    if (frames && sf_writef_short(file_, block_.data(), frames) != frames) ok_ = false;
    block_.clear();
  }
  SNDFILE* file_ = nullptr;
  std::vector<int16_t> block_;
  bool ok_ = true;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  const std::vector<ScriptedEvent> script = read_script(options.events);

  std::string where;
  const std::optional<std::string> patch_path =
      locate_patch("wsy-render", options.patch ? options.patch->c_str() : nullptr, where);
  std::fputs(where.c_str(), stderr);
  if (!patch_path) return 1;
  Patch* patch = load_and_report(patch_path->c_str());
  if (!patch) return 1;
  Vca* vca = new Vca;
  the_patch = patch;
  the_vca = vca;
  Player player(patch, vca);

  WavWriter wav(options.output);
  if (!wav.is_open()) {
    std::fprintf(stderr, "wsy-render: cannot write \"%s\": %s\n", options.output.c_str(),
                 WavWriter::last_error().c_str());
    return 1;
  }

  const auto started = std::chrono::steady_clock::now();
  std::deque<Event> queue;
  size_t next_event = 0;
  int64_t frame = 0;
  bool quit = false;
  for (; frame < options.frames && !quit; ++frame) {
    while (next_event < script.size() && script[next_event].frame == frame)
      queue.push_back(script[next_event++].event);
    // Main-loop turns until one ends with nothing queued.
    for (;;) {
      while (!queue.empty() && !quit) {
        const Event event = queue.front();
        queue.pop_front();
        quit = player.handle(event) == Player::After::kQuit;
      }
      if (quit || !player.idle_note_due()) break;
      queue.push_back(Event{Event::kUser});
    }
    if (quit) break;
    int16_t samples[2];
    stream_callback(nullptr, samples, sizeof samples, nullptr);
    wav.add(samples);
  }
  std::fflush(stdout);
  if (!wav.close()) {
    std::fprintf(stderr, "wsy-render: writing \"%s\" failed: %s\n", options.output.c_str(),
                 WavWriter::last_error().c_str());
    return 1;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double seconds = static_cast<double>(frame) / kSampleRate;
  std::fprintf(stderr, "wsy-render: %lld frames (%.2f s of audio) in %.3f s, %.1fx real time%s\n",
               static_cast<long long>(frame), seconds, elapsed,
               elapsed > 0 ? seconds / elapsed : 0.0, quit ? ", stopped by Escape" : "");
  return 0;
}
