// wsy-render: the synthesizer without a window or a sound card. Plays a patch
// through the very same engine as wsy, with the events of a script at their
// frames, into a WAV file.
#include <getopt.h>
#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "midi/midi_options.h"
#include "midi/midi_voice.h"
#include "midi/smf_reader.h"
#include "patch/patch.h"
#include "patch/patch_location.h"
#include "session/event_script.h"
#include "session/rate_option.h"
#include "session/voice_options.h"
#include "wsy/engine.h"

namespace {

// Seconds rendered when neither --frames, the script's end nor a MIDI file says.
constexpr int64_t kDefaultSeconds = 10;
// The usage text names the rates and what derives from them.
static_assert(kDefaultSampleRate == 44100 && kMinSampleRate == 8000 && kMaxSampleRate == 192000 &&
                  kDefaultSeconds == 10 && kMaxVoices == 32,
              "update kUsage's figures");

const char kUsage[] =
    "usage: wsy-render [--patch FILE] [--frames N] [--rate HZ] [--events FILE]\n"
    "                  [--midi FILE.mid] [--midi-channel N] [--bend-range R]\n"
    "                  [--voices N] [--velocity S] [--no-autoplay] -o FILE\n"
    "Renders a wsy patch to a 16-bit stereo WAV file (44100 Hz unless told otherwise).\n"
    "  --patch FILE    patch file to play (default RODUV_2.WSY in this folder); a bare\n"
    "                  NAME that is no file here plays the installed example NAME.wsy\n"
    "  --frames N      stereo frames to render (default: the script's \"FRAME end\", else with\n"
    "                  --midi one second after the file's last event, else 10 s)\n"
    "  --rate HZ       frames per second, 8000 to 192000 (default: the script's\n"
    "                  \"0 rate HZ\" line, else 44100); pitches and times stay the same\n"
    "  --events FILE   event script, '-' for standard input; one event a line:\n"
    "                    0 rate HZ           the script's rate (its first event line)\n"
    "                    0 voices N          the script's voices (before its events)\n"
    "                    0 velocity S        the script's velocity (before its events)\n"
    "                    FRAME KEY down|up   KEY: z x c v b n return escape, or a letter/digit\n"
    "                    FRAME user          a random note, as when the envelope runs out\n"
    "                    FRAME midi B1 [B2 [B3]]  one MIDI message, two hex digits a byte\n"
    "                    FRAME close         the window's close button (does nothing)\n"
    "                    FRAME patch FILE    the patch in FILE plays from here on (a\n"
    "                                        relative FILE is in the script's folder)\n"
    "                    FRAME end           where the render ends (the last line)\n"
    "  --midi FILE.mid a Standard MIDI File (format 0 or 1) to play; at a frame the\n"
    "                  script's events come before the file's\n"
    "  --midi-channel N  MIDI channel to listen to, 1 to 16 (default: all)\n"
    "  --bend-range R  semitones at full pitch bend, 0 to 24 (default 2)\n"
    "  --voices N      notes at once, 1 to 32 (default: the script's \"0 voices N\"\n"
    "                  line, else 1: the newest key sounds)\n"
    "  --velocity S    how much a MIDI note's velocity counts, 0 to 1 (default: the\n"
    "                  script's \"0 velocity S\" line, else 0: every note at full level)\n"
    "  --no-autoplay   no random note when a note has run out\n"
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
  std::optional<int64_t> frames;
  std::optional<int> rate;  // none: the script's, else kDefaultSampleRate
  bool autoplay = true;
  std::string events;
  std::string midi_file;
  MidiSettings midi;
  std::optional<int> voices;        // none: the script's, else 1
  std::optional<double> velocity;   // none: the script's, else 0
  std::string output;
};

// --midi-channel and --bend-range into `settings`, or a usage error.
void read_midi(const char* option, const char* value, MidiSettings& settings) {
  std::string error;
  if (!read_midi_option(option, value, settings, error)) usage_error(error);
}

// --voices and --velocity into `options`, or a usage error.
void read_voices(const char* option, const char* value, Options& options) {
  int voices = options.voices.value_or(1);
  double velocity = options.velocity.value_or(0.0);
  std::string error;
  if (!read_voice_option(option, value, voices, velocity, error)) usage_error(error);
  if (std::strcmp(option, kVoicesOption) == 0)
    options.voices = voices;
  else
    options.velocity = velocity;
}

Options parse_options(int argc, char** argv) {
  static const option kLong[] = {
      {"patch", required_argument, nullptr, 'p'}, {"frames", required_argument, nullptr, 'f'},
      {"events", required_argument, nullptr, 'e'}, {"output", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
      {"no-autoplay", no_argument, nullptr, 'A'},  {"midi", required_argument, nullptr, 'm'},
      {"midi-channel", required_argument, nullptr, 'c'}, {"bend-range", required_argument, nullptr, 'b'},
      {"rate", required_argument, nullptr, 'r'},   {"voices", required_argument, nullptr, 'v'},
      {"velocity", required_argument, nullptr, 'y'}, {nullptr, 0, nullptr, 0}};
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
      case 'r': {
        int hz = 0;
        if (!read_sample_rate(optarg, hz)) usage_error(rate_option_error(optarg));
        options.rate = hz;
        break;
      }
      case 'A': options.autoplay = false; break;
      case 'm': options.midi_file = optarg; break;
      case 'c': read_midi(kMidiChannelOption, optarg, options.midi); break;
      case 'b': read_midi(kBendRangeOption, optarg, options.midi); break;
      case 'v': read_voices(kVoicesOption, optarg, options); break;
      case 'y': read_voices(kVelocityOption, optarg, options); break;
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

EventScript read_script(const std::string& path) {
  EventScript script;
  if (path.empty()) return script;
  FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "r");
  if (!in) usage_error("cannot open the event script \"" + path + "\": " + std::strerror(errno));
  std::string error;
  const bool ok = read_event_script(in, script, error);
  if (in != stdin) std::fclose(in);
  if (!ok) usage_error("event script \"" + path + "\", " + error);
  return script;
}

// The file's channel messages as commands at their frames, in playing order;
// warnings on standard error. A file that cannot be played ends the program
// with status 2.
std::vector<Command> read_midi_file(const std::string& path, int sample_rate, int64_t& last_event_frame) {
  std::vector<Command> commands;
  if (path.empty()) return commands;
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) {
    std::fprintf(stderr, "wsy-render: cannot open the MIDI file \"%s\": %s\n", path.c_str(), std::strerror(errno));
    std::exit(2);
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  const bool failed = std::ferror(in);
  std::fclose(in);
  if (failed) {
    std::fprintf(stderr, "wsy-render: cannot read the MIDI file \"%s\": %s\n", path.c_str(), std::strerror(errno));
    std::exit(2);
  }
  MidiFile file;
  SmfError error;
  const bool read = read_smf(bytes.data(), bytes.size(), static_cast<uint32_t>(sample_rate), file, error);
  for (const std::string& warning : file.warnings)
    std::fprintf(stderr, "wsy-render: MIDI file \"%s\": warning: %s\n", path.c_str(), warning.c_str());
  if (!read) {
    std::fprintf(stderr, "wsy-render: MIDI file \"%s\" cannot be played: %s\n", path.c_str(), error.message.c_str());
    std::exit(2);
  }
  commands.reserve(file.messages.size());
  for (const TimedMidiMessage& timed : file.messages)
    commands.push_back(Command::midi_message(timed.message, timed.frame));
  last_event_frame = file.last_event_frame;
  return commands;
}

// The texts of the patch files the script swaps in, read before the render
// starts, so that a missing one stops it at once. A relative name is in the
// script's folder (where wsy writes a session log's copies), or in the
// working directory for a script on standard input.
std::vector<std::string> read_patch_files(const EventScript& script, const std::string& script_path,
                                          std::vector<std::string>& paths) {
  std::vector<std::string> texts;
  const size_t slash = script_path.rfind('/');
  const std::string folder = script_path == "-" || slash == std::string::npos ? "" : script_path.substr(0, slash + 1);
  for (const std::string& file : script.patch_files) {
    const std::string path = file[0] == '/' ? file : folder + file;
    std::string text, error;
    if (!read_patch_text(path.c_str(), text, error)) {
      std::fprintf(stderr, "wsy-render: the event script \"%s\" swaps in the patch file \"%s\", which cannot be read: %s\n",
                   script_path.c_str(), path.c_str(), error.c_str());
      std::exit(1);
    }
    paths.push_back(path);
    texts.push_back(std::move(text));
  }
  return texts;
}

// Warnings about a patch file, on standard error as they come.
void print_warning(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// Prints what the engine said, in its order: the console words, and the
// trace and report of each patch swapped in, where the swap happened.
void print_reports(Engine& engine, PatchHandOver& hand_over) {
  Report report;
  std::string printed, text;
  while (engine.take_report(report)) {
    if (const char* words = report_text(report)) std::fputs(words, stdout);
    if (hand_over.take(report, printed, text)) std::fputs(printed.c_str(), stdout);
  }
}

// Appends frames to the WAV file in blocks; remembers the first failure.
class WavWriter {
 public:
  WavWriter(const std::string& path, int sample_rate) {
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open(path.c_str(), SFM_WRITE, &info);
    block_.reserve(2 * kBlockFrames);
  }
  bool is_open() const { return file_ != nullptr; }
  void add(const int16_t* frames, int count) {
    block_.insert(block_.end(), frames, frames + 2 * count);
    if (block_.size() >= 2 * kBlockFrames) flush();
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
  EventScript script = read_script(options.events);
  // A script that gives its rate (a session log) is counted at it; one that
  // does not is counted at the render's rate.
  if (options.rate && script.sample_rate != 0 && *options.rate != script.sample_rate)
    usage_error("the event script \"" + options.events + "\" is at " + std::to_string(script.sample_rate) +
                " Hz (its \"0 rate\" line) and --rate asks for " + std::to_string(*options.rate) +
                " Hz; leave --rate out to render it at " + std::to_string(script.sample_rate) + " Hz");
  const int rate = options.rate ? *options.rate : script.sample_rate != 0 ? script.sample_rate : kDefaultSampleRate;
  // The voices and velocity a log was played with, unless the command line
  // asks for others: then the session is heard as it would have sounded
  // with them, which is said on standard error.
  const int voices = options.voices.value_or(script.voices.value_or(1));
  const double velocity = options.velocity.value_or(script.velocity.value_or(0.0));
  if (script.voices && *script.voices != voices)
    std::fprintf(stderr, "wsy-render: the event script \"%s\" was played with %d voice%s (its \"0 voices\" line); "
                 "rendering with %d, as --voices asks.\n", options.events.c_str(), *script.voices,
                 *script.voices == 1 ? "" : "s", voices);
  if (script.velocity && *script.velocity != velocity)
    std::fprintf(stderr, "wsy-render: the event script \"%s\" was played with velocity %s (its \"0 velocity\" "
                 "line); rendering with %s, as --velocity asks.\n", options.events.c_str(),
                 velocity_text(*script.velocity).c_str(), velocity_text(velocity).c_str());
  std::vector<std::string> swap_paths;
  const std::vector<std::string> swap_texts = read_patch_files(script, options.events, swap_paths);
  int64_t last_midi_frame = 0;
  const std::vector<Command> midi_commands = read_midi_file(options.midi_file, rate, last_midi_frame);
  const int64_t length = options.frames       ? *options.frames
                         : script.end_frame   ? *script.end_frame
                         : !options.midi_file.empty() ? last_midi_frame + rate
                                              : kDefaultSeconds * rate;
  // One list in frame order; at a frame the script's events come first.
  if (!midi_commands.empty()) {
    std::vector<Command> merged;
    merged.reserve(script.commands.size() + midi_commands.size());
    std::merge(script.commands.begin(), script.commands.end(), midi_commands.begin(), midi_commands.end(),
               std::back_inserter(merged), [](const Command& a, const Command& b) { return a.frame < b.frame; });
    script.commands = std::move(merged);
  }

  std::string where;
  const std::optional<std::string> patch_path =
      locate_patch("wsy-render", options.patch ? options.patch->c_str() : nullptr, where);
  std::fputs(where.c_str(), stderr);
  if (!patch_path) return 1;
  EngineSettings settings;
  settings.autoplay = options.autoplay;
  settings.midi_channel = options.midi.channel;
  settings.bend_range = options.midi.bend_range;
  settings.sample_rate = rate;
  settings.voices = voices;
  settings.voice_room = voices;
  settings.velocity = velocity;
  LoadOptions load;
  load.trace = stdout;
  load.on_warning = print_warning;
  LoadResult loaded;
  const std::unique_ptr<Engine> engine = Engine::from_file(*patch_path, settings, load, loaded);
  if (!engine) {
    std::fprintf(stderr, "wsy: %s\n", loaded.error.c_str());
    return 1;
  }

  WavWriter wav(options.output, rate);
  if (!wav.is_open()) {
    std::fprintf(stderr, "wsy-render: cannot write \"%s\": %s\n", options.output.c_str(),
                 WavWriter::last_error().c_str());
    return 1;
  }

  // The script's commands go into the engine's queue as room allows; each
  // block ends before the next command's frame is passed, so every command
  // is applied before exactly its frame.
  constexpr int kBlock = 1024;
  int16_t samples[2 * kBlock];
  const auto started = std::chrono::steady_clock::now();
  const bool escaped = script.escape_frame && *script.escape_frame < length;
  const int64_t stop = escaped ? *script.escape_frame : length;
  // Commands at the Escape's own frame come before it, so they are applied.
  auto played = [&](size_t i) {
    return i < script.commands.size() && (script.commands[i].frame < stop || (escaped && script.commands[i].frame == stop));
  };
  size_t next = 0;
  int64_t frame = 0;
  PatchHandOver hand_over;
  size_t swaps = 0;  // kSwapPatch commands sent: the next one's file is swap_paths[swaps]
  PatchPtr ready;    // the next swap's patch, loaded and not yet sent
  auto send_next = [&]() {
    const Command& command = script.commands[next];
    if (command.kind != Command::kSwapPatch) {
      if (!engine->send(command)) return false;
    } else {
      if (!ready) {
        std::string error;
        ready = hand_over.load(swap_texts[swaps], swap_paths[swaps], print_warning, error);
        if (!ready) {
          std::fprintf(stderr, "wsy-render: cannot load the patch file \"%s\": %s\n", swap_paths[swaps].c_str(),
                       error.c_str());
          std::exit(1);
        }
      }
      if (!engine->swap_patch(ready, command.frame)) return false;
      ++swaps;
    }
    ++next;
    return true;
  };
  for (;;) {
    while (played(next) && send_next()) {
    }
    const bool stuck = played(next) && script.commands[next].frame == frame;
    if (stuck) {  // a full queue of commands due now: apply them, then send the rest
      engine->apply_due_commands();
      print_reports(*engine, hand_over);
      continue;
    }
    if (frame >= stop) break;
    int64_t until = std::min<int64_t>(stop, frame + kBlock);
    if (played(next) && script.commands[next].frame < until) until = script.commands[next].frame;
    const int count = static_cast<int>(until - frame);
    engine->render(count, samples);
    print_reports(*engine, hand_over);
    wav.add(samples, count);
    frame = until;
  }
  // Escape ends the render after the events before it at its frame.
  if (escaped) engine->apply_due_commands();
  print_reports(*engine, hand_over);
  std::fflush(stdout);
  if (!wav.close()) {
    std::fprintf(stderr, "wsy-render: writing \"%s\" failed: %s\n", options.output.c_str(),
                 WavWriter::last_error().c_str());
    return 1;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double seconds = static_cast<double>(frame) / rate;
  std::fprintf(stderr, "wsy-render: %lld frames (%.2f s of audio) in %.3f s, %.1fx real time%s\n",
               static_cast<long long>(frame), seconds, elapsed,
               elapsed > 0 ? seconds / elapsed : 0.0, escaped ? ", stopped by Escape" : "");
  return 0;
}
