// lv2_host: a small offline LV2 host for the tests of the wsy plugin
// (urn:wsy:synth). It finds the plugin through LV2_PATH, plays a Standard MIDI
// File into it (the events at exactly the frames wsy-render puts them, through
// the same reader), cuts the audio into run() calls of chosen sizes (and, if
// asked, run()s of 0 frames), sends patch:Set and patch:Get messages at chosen
// frames, saves and restores state, and writes what the plugin played to a
// 32-bit float stereo WAV file.
//
// Standard output carries only these lines:
//   set FRAME PATH            the plugin announced (notify port) that the patch
//                             in PATH plays from absolute frame FRAME
//   notify FRAME patch PATH   the plugin's answer to a patch:Get, at FRAME
// Standard error carries the plugin's log:log messages, each line prefixed
// "plugin log: TYPE: ", and the host's own lines, prefixed "lv2_host: ".
//
// The worker runs synchronously by default: schedule_work calls work() at
// once, its responses are delivered after run() returns, then end_run, so a
// run is the same every time. --threaded-worker gives it a thread of its own
// fed through lock-free rings, as a real host does.
#include <getopt.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <semaphore.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "midi/smf_reader.h"

namespace {

constexpr const char* kPluginUri = "urn:wsy:synth";
constexpr const char* kPatchProperty = "urn:wsy:synth#patch";
constexpr uint32_t kMaxBlock = 4096;

[[noreturn]] void fail(const std::string& message, int status = 1) {
  std::fprintf(stderr, "lv2_host: %s\n", message.c_str());
  std::exit(status);
}

const char kUsage[] =
    "usage: lv2_host [--rate HZ] [--midi FILE.mid] [--frames N] [--blocks SIZES]\n"
    "                [--control SYMBOL=VALUE]... [--set FRAME:PATH]... [--set-before-audio]\n"
    "                [--get FRAME]... [--save-state DIR] [--restore-state DIR]\n"
    "                [--string-values] [--zero-runs] [--threaded-worker] [--out FILE.wav]\n"
    "Plays the LV2 plugin urn:wsy:synth (found through LV2_PATH) offline.\n"
    "  --rate HZ          sample rate (default 44100)\n"
    "  --midi FILE.mid    a Standard MIDI File to play\n"
    "  --frames N         frames to play (default: one second after the MIDI file's\n"
    "                     last event, else 10 s)\n"
    "  --blocks SIZES     run() sizes: a number from 1 to 4096 (default 64), or\n"
    "                     random:SEED for sizes drawn from 1 to 4096\n"
    "  --control S=V      a value for the control port with symbol S\n"
    "  --set FRAME:PATH   a patch:Set of the patch to PATH at FRAME\n"
    "  --string-values    the sets' values as atom:String rather than atom:Path\n"
    "  --set-before-audio the sets at frame 0 go in a run() of 0 frames before the\n"
    "                     first frame\n"
    "  --get FRAME        a patch:Get at FRAME\n"
    "  --zero-runs        the messages due at a run()'s first frame go in a run() of\n"
    "                     0 frames just before it\n"
    "  --save-state DIR   saves the plugin's state into DIR after the run\n"
    "  --restore-state DIR  restores DIR's state before the first run()\n"
    "  --threaded-worker  the worker on a thread of its own\n"
    "  --out FILE.wav     the two outputs as a stereo 32-bit float WAV file\n";

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "lv2_host: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

int64_t whole_number(const std::string& text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || n < 0) usage_error(std::string(what) + " takes a whole number, not \"" + text + "\"");
  return n;
}

struct Options {
  int rate = 44100;
  std::string midi;
  std::optional<int64_t> frames;
  std::string blocks = "64";
  std::vector<std::pair<std::string, float>> controls;
  std::vector<std::pair<int64_t, std::string>> sets;
  bool set_before_audio = false;
  bool zero_runs = false;
  bool string_values = false;
  std::vector<int64_t> gets;
  std::string save_state;
  std::string restore_state;
  bool threaded_worker = false;
  std::string out;
};

Options parse_options(int argc, char** argv) {
  enum { kRate = 1, kMidi, kFrames, kBlocks, kControl, kSet, kSetBefore, kGet, kSave, kRestore, kThreaded, kOut, kZero, kString, kHelp };
  static const option kLong[] = {{"rate", required_argument, nullptr, kRate},
                                 {"midi", required_argument, nullptr, kMidi},
                                 {"frames", required_argument, nullptr, kFrames},
                                 {"blocks", required_argument, nullptr, kBlocks},
                                 {"control", required_argument, nullptr, kControl},
                                 {"set", required_argument, nullptr, kSet},
                                 {"set-before-audio", no_argument, nullptr, kSetBefore},
                                 {"get", required_argument, nullptr, kGet},
                                 {"save-state", required_argument, nullptr, kSave},
                                 {"restore-state", required_argument, nullptr, kRestore},
                                 {"threaded-worker", no_argument, nullptr, kThreaded},
                                 {"out", required_argument, nullptr, kOut},
                                 {"zero-runs", no_argument, nullptr, kZero},
                                 {"string-values", no_argument, nullptr, kString},
                                 {"help", no_argument, nullptr, kHelp},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", kLong, nullptr)) != -1) {
    const std::string arg = optarg ? optarg : "";
    switch (c) {
      case kRate: {
        const int64_t hz = whole_number(arg, "--rate");
        if (hz < 1 || hz > 1000000) usage_error("--rate must be from 1 to 1000000 Hz");
        o.rate = static_cast<int>(hz);
        break;
      }
      case kMidi: o.midi = arg; break;
      case kFrames: o.frames = whole_number(arg, "--frames"); break;
      case kBlocks: o.blocks = arg; break;
      case kControl: {
        const size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) usage_error("--control takes SYMBOL=VALUE, not \"" + arg + "\"");
        char* end = nullptr;
        const std::string value = arg.substr(eq + 1);
        const float v = std::strtof(value.c_str(), &end);
        if (value.empty() || *end) usage_error("--control " + arg.substr(0, eq) + " needs a number");
        o.controls.emplace_back(arg.substr(0, eq), v);
        break;
      }
      case kSet: {
        const size_t colon = arg.find(':');
        if (colon == std::string::npos) usage_error("--set takes FRAME:PATH, not \"" + arg + "\"");
        o.sets.emplace_back(whole_number(arg.substr(0, colon), "--set's FRAME"), arg.substr(colon + 1));
        break;
      }
      case kSetBefore: o.set_before_audio = true; break;
      case kGet: o.gets.push_back(whole_number(arg, "--get")); break;
      case kSave: o.save_state = arg; break;
      case kRestore: o.restore_state = arg; break;
      case kThreaded: o.threaded_worker = true; break;
      case kOut: o.out = arg; break;
      case kZero: o.zero_runs = true; break;
      case kString: o.string_values = true; break;
      case kHelp: std::fputs(kUsage, stdout); std::exit(0);
      case ':': usage_error(std::string(argv[optind - 1]) + " needs a value");
      default: usage_error(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind < argc) usage_error(std::string("unexpected argument \"") + argv[optind] + "\"");
  std::stable_sort(o.sets.begin(), o.sets.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::sort(o.gets.begin(), o.gets.end());
  return o;
}

// The run() sizes, one after the other.
class BlockSizes {
 public:
  explicit BlockSizes(const std::string& sizes) {
    if (sizes.rfind("random:", 0) == 0) {
      random_ = true;
      generator_.seed(static_cast<uint32_t>(whole_number(sizes.substr(7), "--blocks random:")));
    } else {
      const int64_t n = whole_number(sizes, "--blocks");
      if (n < 1 || n > kMaxBlock) usage_error("--blocks takes a size from 1 to 4096 or random:SEED");
      fixed_ = static_cast<uint32_t>(n);
    }
  }
  uint32_t next() { return random_ ? std::uniform_int_distribution<uint32_t>(1, kMaxBlock)(generator_) : fixed_; }

 private:
  bool random_ = false;
  uint32_t fixed_ = 64;
  std::mt19937 generator_;
};

// urid:map and urid:unmap; the plugin may call them from any thread.
class UridTable {
 public:
  LV2_URID map(const char* uri) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = ids_.find(uri);
    if (found != ids_.end()) return found->second;
    uris_.push_back(std::make_unique<std::string>(uri));
    const LV2_URID id = static_cast<LV2_URID>(uris_.size());
    ids_.emplace(*uris_.back(), id);
    return id;
  }
  const char* unmap(LV2_URID id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return id >= 1 && id <= uris_.size() ? uris_[id - 1]->c_str() : nullptr;
  }
  static LV2_URID map_callback(LV2_URID_Map_Handle h, const char* uri) { return static_cast<UridTable*>(h)->map(uri); }
  static const char* unmap_callback(LV2_URID_Unmap_Handle h, LV2_URID id) { return static_cast<UridTable*>(h)->unmap(id); }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, LV2_URID> ids_;
  std::vector<std::unique_ptr<std::string>> uris_;
};

UridTable* g_urids = nullptr;  // for log:log's type names

// log:log: every line of a message on standard error, prefixed.
int log_vprintf(LV2_Log_Handle, LV2_URID type, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) return length;
  std::string text(static_cast<size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  const char* uri = g_urids->unmap(type);
  std::string name = uri ? uri : "unknown";
  const size_t hash = name.rfind('#');
  if (hash != std::string::npos) name = name.substr(hash + 1);
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out += "plugin log: " + name + ": " + text.substr(start, end - start) + "\n";
    start = end + 1;
  }
  if (text.empty()) out = "plugin log: " + name + ": \n";
  std::fputs(out.c_str(), stderr);
  return length;
}

int log_printf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = log_vprintf(handle, type, format, args);
  va_end(args);
  return n;
}

// A single-producer single-consumer byte ring: each record is a uint32_t size
// and its bytes. No lock, no allocation after construction.
class Ring {
 public:
  explicit Ring(size_t capacity) : data_(capacity) {}
  bool write(const void* bytes, uint32_t size) {
    const size_t w = write_.load(std::memory_order_relaxed);
    const size_t r = read_.load(std::memory_order_acquire);
    if (data_.size() - (w - r) < sizeof size + size) return false;
    put(w, &size, sizeof size);
    put(w + sizeof size, bytes, size);
    write_.store(w + sizeof size + size, std::memory_order_release);
    return true;
  }
  // The next record into `out`; false when the ring is empty.
  bool read(std::vector<uint8_t>& out) {
    const size_t r = read_.load(std::memory_order_relaxed);
    const size_t w = write_.load(std::memory_order_acquire);
    if (w == r) return false;
    uint32_t size = 0;
    get(r, &size, sizeof size);
    out.resize(size);
    get(r + sizeof size, out.data(), size);
    read_.store(r + sizeof size + size, std::memory_order_release);
    return true;
  }
  bool empty() const { return read_.load(std::memory_order_acquire) == write_.load(std::memory_order_acquire); }

 private:
  void put(size_t at, const void* bytes, size_t size) {
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) data_[(at + i) % data_.size()] = b[i];
  }
  void get(size_t at, void* bytes, size_t size) const {
    uint8_t* b = static_cast<uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) b[i] = data_[(at + i) % data_.size()];
  }
  std::vector<uint8_t> data_;
  std::atomic<size_t> write_{0};
  std::atomic<size_t> read_{0};
};

// work:schedule and the delivery of the worker's responses.
class Worker {
 public:
  Worker(bool threaded) : threaded_(threaded), requests_(1 << 20), responses_(1 << 20) {
    sem_init(&pending_, 0, 0);
  }
  ~Worker() { stop(); sem_destroy(&pending_); }

  void attach(LV2_Handle handle, const LV2_Worker_Interface* iface) {
    handle_ = handle;
    iface_ = iface;
    if (threaded_ && iface_) thread_ = std::thread([this] { loop(); });
  }

  LV2_Worker_Schedule* schedule_feature() { return &schedule_; }
  // For state restore, which runs off the audio thread: always synchronous.
  LV2_Worker_Schedule* synchronous_feature() { return &synchronous_; }

  // After run(): the responses that are in, then end_run. True if any came.
  bool deliver() {
    if (!iface_) return false;
    bool any = false;
    if (threaded_) {
      while (responses_.read(message_)) {
        iface_->work_response(handle_, static_cast<uint32_t>(message_.size()), message_.data());
        any = true;
      }
    } else {
      // Responses may schedule more work, which may respond again.
      while (!queued_.empty()) {
        std::vector<std::vector<uint8_t>> batch;
        batch.swap(queued_);
        for (const auto& r : batch) iface_->work_response(handle_, static_cast<uint32_t>(r.size()), r.data());
        any = true;
      }
    }
    if (iface_->end_run) iface_->end_run(handle_);
    return any;
  }

  // Waits until the worker thread has done every request sent so far.
  void wait_idle() {
    if (!threaded_ || !thread_.joinable()) return;
    while (!requests_.empty() || busy_.load(std::memory_order_acquire)) std::this_thread::yield();
  }

  // Everything scheduled is worked and delivered, until nothing more comes.
  void drain() {
    for (;;) {
      wait_idle();
      if (!deliver()) break;
    }
  }

  void stop() {
    if (thread_.joinable()) {
      quit_.store(true, std::memory_order_release);
      sem_post(&pending_);
      thread_.join();
    }
  }

 private:
  static LV2_Worker_Status schedule(LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
    Worker* w = static_cast<Worker*>(h);
    if (!w->iface_) return LV2_WORKER_ERR_UNKNOWN;
    if (!w->threaded_) return w->iface_->work(w->handle_, respond_queued, w, size, data);
    if (!w->requests_.write(data, size)) return LV2_WORKER_ERR_NO_SPACE;
    sem_post(&w->pending_);
    return LV2_WORKER_SUCCESS;
  }
  static LV2_Worker_Status schedule_synchronous(LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
    Worker* w = static_cast<Worker*>(h);
    if (!w->iface_) return LV2_WORKER_ERR_UNKNOWN;
    return w->iface_->work(w->handle_, respond_queued, w, size, data);
  }
  static LV2_Worker_Status respond_queued(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
    Worker* w = static_cast<Worker*>(h);
    const uint8_t* b = static_cast<const uint8_t*>(data);
    w->queued_.emplace_back(b, b + size);
    return LV2_WORKER_SUCCESS;
  }
  static LV2_Worker_Status respond_ring(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
    Worker* w = static_cast<Worker*>(h);
    return w->responses_.write(data, size) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
  }
  void loop() {
    std::vector<uint8_t> request;
    for (;;) {
      sem_wait(&pending_);
      if (quit_.load(std::memory_order_acquire)) return;
      busy_.store(true, std::memory_order_release);
      if (requests_.read(request))
        iface_->work(handle_, respond_ring, this, static_cast<uint32_t>(request.size()), request.data());
      busy_.store(false, std::memory_order_release);
    }
  }

  bool threaded_;
  LV2_Handle handle_ = nullptr;
  const LV2_Worker_Interface* iface_ = nullptr;
  LV2_Worker_Schedule schedule_{this, schedule};
  LV2_Worker_Schedule synchronous_{this, schedule_synchronous};
  std::vector<std::vector<uint8_t>> queued_;
  Ring requests_;
  Ring responses_;
  std::vector<uint8_t> message_;
  sem_t pending_;
  std::atomic<bool> quit_{false};
  std::atomic<bool> busy_{false};
  std::thread thread_;
};

struct Urids {
  LV2_URID atom_Float, atom_Int, atom_Path, atom_String, atom_URID, atom_Sequence, atom_Chunk, atom_Object,
      atom_Blank, midi_Event, patch_Set, patch_Get, patch_property, patch_value, wsy_patch, bufsz_max,
      bufsz_nominal, bufsz_sequence, param_rate;
  explicit Urids(UridTable& t)
      : atom_Float(t.map(LV2_ATOM__Float)),
        atom_Int(t.map(LV2_ATOM__Int)),
        atom_Path(t.map(LV2_ATOM__Path)),
        atom_String(t.map(LV2_ATOM__String)),
        atom_URID(t.map(LV2_ATOM__URID)),
        atom_Sequence(t.map(LV2_ATOM__Sequence)),
        atom_Chunk(t.map(LV2_ATOM__Chunk)),
        atom_Object(t.map(LV2_ATOM__Object)),
        atom_Blank(t.map(LV2_ATOM__Blank)),
        midi_Event(t.map(LV2_MIDI__MidiEvent)),
        patch_Set(t.map(LV2_PATCH__Set)),
        patch_Get(t.map(LV2_PATCH__Get)),
        patch_property(t.map(LV2_PATCH__property)),
        patch_value(t.map(LV2_PATCH__value)),
        wsy_patch(t.map(kPatchProperty)),
        bufsz_max(t.map(LV2_BUF_SIZE__maxBlockLength)),
        bufsz_nominal(t.map(LV2_BUF_SIZE__nominalBlockLength)),
        bufsz_sequence(t.map(LV2_BUF_SIZE__sequenceSize)),
        param_rate(t.map("http://lv2plug.in/ns/ext/parameters#sampleRate")) {}
};

// One timed message to the control port.
struct Event {
  int64_t frame;
  enum Kind { kSet, kGet, kMidi } kind;
  std::string path;  // kSet
  MidiBytes midi;    // kMidi
};

std::vector<uint8_t> read_file(const std::string& path) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) fail("cannot open \"" + path + "\": " + std::strerror(errno), 2);
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(in);
  return bytes;
}

enum class PortRole { kControlIn, kControlOut, kEventsIn, kEventsOut, kAudioLeft, kAudioRight, kOther };

struct Port {
  std::string symbol;
  PortRole role = PortRole::kOther;
  float value = 0;
};

struct Host {
  Options options;
  UridTable table;
  Urids urids{table};
  std::vector<Port> ports;
  std::unordered_map<std::string, size_t> by_symbol;
};

const void* get_port_value(const char* symbol, void* user_data, uint32_t* size, uint32_t* type) {
  Host* host = static_cast<Host*>(user_data);
  const auto found = host->by_symbol.find(symbol);
  if (found == host->by_symbol.end() || host->ports[found->second].role != PortRole::kControlIn) {
    *size = *type = 0;
    return nullptr;
  }
  *size = sizeof(float);
  *type = host->urids.atom_Float;
  return &host->ports[found->second].value;
}

void set_port_value(const char* symbol, void* user_data, const void* value, uint32_t size, uint32_t type) {
  Host* host = static_cast<Host*>(user_data);
  const auto found = host->by_symbol.find(symbol);
  if (found == host->by_symbol.end() || host->ports[found->second].role != PortRole::kControlIn) return;
  float v;
  if (type == host->urids.atom_Float && size == sizeof(float)) std::memcpy(&v, value, sizeof v);
  else if (type == host->urids.atom_Int && size == sizeof(int32_t)) {
    int32_t i;
    std::memcpy(&i, value, sizeof i);
    v = static_cast<float>(i);
  } else {
    std::fprintf(stderr, "lv2_host: the state's value for port %s has a type this host does not read\n", symbol);
    return;
  }
  host->ports[found->second].value = v;
}

std::string atom_text(const LV2_Atom* atom, const Urids& u) {
  if (!atom) return "";
  if (atom->type == u.atom_Path || atom->type == u.atom_String) {
    const char* s = static_cast<const char*>(LV2_ATOM_BODY_CONST(atom));
    return std::string(s, strnlen(s, atom->size));
  }
  return "(an atom of type " + std::to_string(atom->type) + ")";
}

}  // namespace

int main(int argc, char** argv) {
  Host host;
  host.options = parse_options(argc, argv);
  const Options& o = host.options;
  g_urids = &host.table;
  const Urids& u = host.urids;

  // The MIDI file, read as wsy-render reads it.
  std::vector<Event> events;
  int64_t last_midi_frame = 0;
  if (!o.midi.empty()) {
    const std::vector<uint8_t> bytes = read_file(o.midi);
    MidiFile file;
    SmfError error;
    const bool read = read_smf(bytes.data(), bytes.size(), static_cast<uint32_t>(o.rate), file, error);
    for (const std::string& warning : file.warnings)
      std::fprintf(stderr, "lv2_host: MIDI file \"%s\": warning: %s\n", o.midi.c_str(), warning.c_str());
    if (!read) fail("MIDI file \"" + o.midi + "\" cannot be played: " + error.message, 2);
    for (const TimedMidiMessage& m : file.messages) events.push_back({m.frame, Event::kMidi, "", m.message});
    last_midi_frame = file.last_event_frame;
  }
  const int64_t total = o.frames ? *o.frames : !o.midi.empty() ? last_midi_frame + o.rate : 10LL * o.rate;
  // At a frame: the sets, then the gets, then the file's messages.
  std::vector<Event> messages;
  std::vector<Event> early;  // sets in the run() of 0 frames
  for (const auto& [frame, path] : o.sets) {
    if (o.set_before_audio && frame == 0) early.push_back({0, Event::kSet, path, {}});
    else messages.push_back({frame, Event::kSet, path, {}});
  }
  for (int64_t frame : o.gets) messages.push_back({frame, Event::kGet, "", {}});
  messages.insert(messages.end(), events.begin(), events.end());
  std::stable_sort(messages.begin(), messages.end(), [](const Event& a, const Event& b) { return a.frame < b.frame; });

  // The plugin, through LV2_PATH, whose folders lilv takes only as absolute
  // paths (a relative one crashes lilv 0.24): they are made absolute here.
  if (const char* lv2_path = std::getenv("LV2_PATH")) {
    std::string absolute;
    const std::string list = lv2_path;
    for (size_t start = 0; start <= list.size();) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string folder = list.substr(start, end - start);
      if (!folder.empty() && folder[0] != '/' && folder[0] != '~') {
        char* real = realpath(folder.c_str(), nullptr);
        if (real) {
          folder = real;
          std::free(real);
        } else {
          folder.clear();  // no such folder: nothing to find there
        }
      }
      if (!folder.empty()) absolute += (absolute.empty() ? "" : ":") + folder;
      start = end + 1;
    }
    setenv("LV2_PATH", absolute.c_str(), 1);
  }
  LilvWorld* world = lilv_world_new();
  lilv_world_load_all(world);
  LilvNode* uri = lilv_new_uri(world, kPluginUri);
  const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
  if (!plugin) fail(std::string("no plugin ") + kPluginUri + " on LV2_PATH");

  LilvNode* input_class = lilv_new_uri(world, LV2_CORE__InputPort);
  LilvNode* output_class = lilv_new_uri(world, LV2_CORE__OutputPort);
  LilvNode* control_class = lilv_new_uri(world, LV2_CORE__ControlPort);
  LilvNode* audio_class = lilv_new_uri(world, LV2_CORE__AudioPort);
  LilvNode* atom_class = lilv_new_uri(world, LV2_ATOM__AtomPort);
  const uint32_t port_count = lilv_plugin_get_num_ports(plugin);
  std::vector<float> defaults(port_count), mins(port_count), maxs(port_count);
  lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), defaults.data());
  host.ports.resize(port_count);
  int audio_outs = 0;
  for (uint32_t i = 0; i < port_count; ++i) {
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
    Port& p = host.ports[i];
    p.symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
    host.by_symbol[p.symbol] = i;
    const bool in = lilv_port_is_a(plugin, port, input_class);
    const bool out = lilv_port_is_a(plugin, port, output_class);
    if (lilv_port_is_a(plugin, port, control_class)) {
      p.role = in ? PortRole::kControlIn : PortRole::kControlOut;
      p.value = std::isnan(defaults[i]) ? 0.0f : defaults[i];
    } else if (lilv_port_is_a(plugin, port, atom_class)) {
      p.role = in ? PortRole::kEventsIn : PortRole::kEventsOut;
    } else if (lilv_port_is_a(plugin, port, audio_class) && out) {
      p.role = audio_outs == 0 ? PortRole::kAudioLeft : PortRole::kAudioRight;
      ++audio_outs;
    } else {
      fail("port " + p.symbol + " is of a kind this host does not feed");
    }
  }
  if (audio_outs != 2) fail("the plugin has " + std::to_string(audio_outs) + " audio outputs, not 2");
  for (const auto& [symbol, value] : o.controls) {
    const auto found = host.by_symbol.find(symbol);
    if (found == host.by_symbol.end() || host.ports[found->second].role != PortRole::kControlIn)
      usage_error("the plugin has no control input \"" + symbol + "\"");
  }

  // Features.
  LV2_URID_Map map{&host.table, UridTable::map_callback};
  LV2_URID_Unmap unmap{&host.table, UridTable::unmap_callback};
  LV2_Log_Log log{nullptr, log_printf, log_vprintf};
  Worker worker(o.threaded_worker);
  const int32_t max_block = kMaxBlock;
  const int32_t nominal_block = o.blocks.rfind("random:", 0) == 0 ? static_cast<int32_t>(kMaxBlock)
                                                                 : static_cast<int32_t>(std::atoi(o.blocks.c_str()));
  const int32_t sequence_size = 1 << 20;
  const float rate_value = static_cast<float>(o.rate);
  const LV2_Options_Option options[] = {
      {LV2_OPTIONS_INSTANCE, 0, u.bufsz_max, sizeof max_block, u.atom_Int, &max_block},
      {LV2_OPTIONS_INSTANCE, 0, u.bufsz_nominal, sizeof nominal_block, u.atom_Int, &nominal_block},
      {LV2_OPTIONS_INSTANCE, 0, u.bufsz_sequence, sizeof sequence_size, u.atom_Int, &sequence_size},
      {LV2_OPTIONS_INSTANCE, 0, u.param_rate, sizeof rate_value, u.atom_Float, &rate_value},
      {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
  const LV2_Feature map_feature{LV2_URID__map, &map};
  const LV2_Feature unmap_feature{LV2_URID__unmap, &unmap};
  const LV2_Feature log_feature{LV2_LOG__log, &log};
  const LV2_Feature schedule_feature{LV2_WORKER__schedule, worker.schedule_feature()};
  const LV2_Feature options_feature{LV2_OPTIONS__options, const_cast<LV2_Options_Option*>(options)};
  const LV2_Feature bounded{LV2_BUF_SIZE__boundedBlockLength, nullptr};
  const LV2_Feature* features[] = {&map_feature, &unmap_feature, &log_feature, &schedule_feature, &options_feature,
                                   &bounded, nullptr};
  const LV2_Feature restore_schedule_feature{LV2_WORKER__schedule, worker.synchronous_feature()};
  const LV2_Feature* state_features[] = {&map_feature, &unmap_feature, &log_feature, &restore_schedule_feature,
                                         nullptr};

  LilvInstance* instance = lilv_plugin_instantiate(plugin, o.rate, features);
  if (!instance) fail("the plugin did not instantiate");
  const LV2_Handle handle = lilv_instance_get_handle(instance);
  worker.attach(handle, static_cast<const LV2_Worker_Interface*>(
                            lilv_instance_get_extension_data(instance, LV2_WORKER__interface)));

  // Buffers.
  std::vector<float> left(kMaxBlock), right(kMaxBlock);
  std::vector<float> dummy_control(port_count, 0.0f);
  // Both sequences hold at least sequence_size bytes (the input more when a run()'s messages need it).
  std::vector<uint64_t> in_buffer((sequence_size + 7) / 8), out_buffer((sequence_size + 7) / 8);
  auto connect = [&]() {
    for (uint32_t i = 0; i < port_count; ++i) {
      Port& p = host.ports[i];
      switch (p.role) {
        case PortRole::kControlIn: lilv_instance_connect_port(instance, i, &p.value); break;
        case PortRole::kControlOut: lilv_instance_connect_port(instance, i, &dummy_control[i]); break;
        case PortRole::kEventsIn: lilv_instance_connect_port(instance, i, in_buffer.data()); break;
        case PortRole::kEventsOut: {
          LV2_Atom* atom = reinterpret_cast<LV2_Atom*>(out_buffer.data());
          atom->type = u.atom_Chunk;
          atom->size = static_cast<uint32_t>(out_buffer.size() * 8 - sizeof(LV2_Atom));
          lilv_instance_connect_port(instance, i, out_buffer.data());
          break;
        }
        case PortRole::kAudioLeft: lilv_instance_connect_port(instance, i, left.data()); break;
        case PortRole::kAudioRight: lilv_instance_connect_port(instance, i, right.data()); break;
        case PortRole::kOther: break;
      }
    }
  };

  // The control port's sequence for one run(): the messages [first, last),
  // timed from the run()'s first frame, `start`.
  LV2_Atom_Forge forge;
  lv2_atom_forge_init(&forge, &map);
  auto fill_input = [&](const Event* first, const Event* last, int64_t start) {
    size_t bytes = sizeof(LV2_Atom_Sequence) + 64;
    for (const Event* e = first; e != last; ++e) bytes += 64 + e->path.size();
    if (in_buffer.size() * 8 < bytes) in_buffer.resize(bytes / 8 + 1);
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(in_buffer.data()), in_buffer.size() * 8);
    LV2_Atom_Forge_Frame seq;
    lv2_atom_forge_sequence_head(&forge, &seq, 0);
    for (const Event* e = first; e != last; ++e) {
      lv2_atom_forge_frame_time(&forge, e->frame - start);
      if (e->kind == Event::kMidi) {
        lv2_atom_forge_atom(&forge, e->midi.size, u.midi_Event);
        lv2_atom_forge_write(&forge, e->midi.bytes, e->midi.size);
      } else {
        LV2_Atom_Forge_Frame object;
        lv2_atom_forge_object(&forge, &object, 0, e->kind == Event::kSet ? u.patch_Set : u.patch_Get);
        lv2_atom_forge_key(&forge, u.patch_property);
        lv2_atom_forge_urid(&forge, u.wsy_patch);
        if (e->kind == Event::kSet) {
          lv2_atom_forge_key(&forge, u.patch_value);
          if (o.string_values) lv2_atom_forge_string(&forge, e->path.c_str(), static_cast<uint32_t>(e->path.size()));
          else lv2_atom_forge_path(&forge, e->path.c_str(), static_cast<uint32_t>(e->path.size()));
        }
        lv2_atom_forge_pop(&forge, &object);
      }
    }
    lv2_atom_forge_pop(&forge, &seq);
  };

  // What the plugin said on its notify port in the run() from `start`; the
  // last `gets` of its patch:Set messages answer this run's patch:Gets.
  auto read_notify = [&](int64_t start, size_t gets) {
    const LV2_Atom_Sequence* seq = reinterpret_cast<const LV2_Atom_Sequence*>(out_buffer.data());
    if (seq->atom.type != u.atom_Sequence) return;
    std::vector<std::pair<int64_t, std::string>> sets;
    LV2_ATOM_SEQUENCE_FOREACH(seq, ev) {
      if (ev->body.type != u.atom_Object && ev->body.type != u.atom_Blank) continue;
      const LV2_Atom_Object* obj = reinterpret_cast<const LV2_Atom_Object*>(&ev->body);
      if (obj->body.otype != u.patch_Set) continue;
      const LV2_Atom* property = nullptr;
      const LV2_Atom* value = nullptr;
      lv2_atom_object_get(obj, u.patch_property, &property, u.patch_value, &value, 0);
      if (!property || property->type != u.atom_URID ||
          reinterpret_cast<const LV2_Atom_URID*>(property)->body != u.wsy_patch) {
        std::fprintf(stderr, "lv2_host: the plugin set a property other than %s\n", kPatchProperty);
        continue;
      }
      sets.emplace_back(start + ev->time.frames, atom_text(value, u));
    }
    if (gets > sets.size()) {
      std::fprintf(stderr, "lv2_host: %zu patch:Get in the run() from frame %lld, %zu patch:Set on notify\n", gets,
                   static_cast<long long>(start), sets.size());
      gets = sets.size();
    }
    for (size_t i = 0; i < sets.size(); ++i) {
      if (i < sets.size() - gets) std::printf("set %lld %s\n", static_cast<long long>(sets[i].first), sets[i].second.c_str());
      else std::printf("notify %lld patch %s\n", static_cast<long long>(sets[i].first), sets[i].second.c_str());
    }
  };

  lilv_instance_activate(instance);

  if (!o.restore_state.empty()) {
    const std::string file = o.restore_state + "/state.ttl";
    LilvState* state = lilv_state_new_from_file(world, &map, nullptr, file.c_str());
    if (!state) fail("cannot read the state in \"" + file + "\"");
    lilv_state_restore(state, instance, set_port_value, &host, 0, state_features);
    lilv_state_free(state);
    worker.drain();  // a restore's work done off the audio thread, before the first run()
  }
  for (const auto& [symbol, value] : o.controls) host.ports[host.by_symbol[symbol]].value = value;

  auto run = [&](const Event* first, const Event* last, int64_t start, uint32_t frames) {
    size_t gets = 0;
    for (const Event* e = first; e != last; ++e) gets += e->kind == Event::kGet;
    fill_input(first, last, start);
    connect();
    lilv_instance_run(instance, frames);
    read_notify(start, gets);
    worker.deliver();
  };

  if (o.set_before_audio) run(early.data(), early.data() + early.size(), 0, 0);

  SNDFILE* wav = nullptr;
  if (!o.out.empty()) {
    SF_INFO info{};
    info.samplerate = o.rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    wav = sf_open(o.out.c_str(), SFM_WRITE, &info);
    if (!wav) fail("cannot write \"" + o.out + "\": " + sf_strerror(nullptr));
  }
  BlockSizes sizes(o.blocks);
  std::vector<float> interleaved(2 * kMaxBlock);
  size_t next = 0;
  for (int64_t frame = 0; frame < total;) {
    if (o.zero_runs) {
      size_t due = next;
      while (due < messages.size() && messages[due].frame <= frame) ++due;
      if (due > next) run(messages.data() + next, messages.data() + due, frame, 0);
      next = due;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(sizes.next(), total - frame));
    size_t end = next;
    while (end < messages.size() && messages[end].frame < frame + n) ++end;
    run(messages.data() + next, messages.data() + end, frame, n);
    next = end;
    if (wav) {
      for (uint32_t i = 0; i < n; ++i) {
        interleaved[2 * i] = left[i];
        interleaved[2 * i + 1] = right[i];
      }
      if (sf_writef_float(wav, interleaved.data(), n) != n) fail(std::string("writing the WAV file failed: ") + sf_strerror(wav));
    }
    frame += n;
  }
  if (next < messages.size())
    std::fprintf(stderr, "lv2_host: %zu messages after the last frame were not sent\n", messages.size() - next);
  if (wav && sf_close(wav) != 0) fail("closing the WAV file failed");

  // What is still in the worker, done and delivered, so nothing is left behind.
  worker.drain();
  std::fflush(stdout);

  if (!o.save_state.empty()) {
    // Files the state names outside DIR are linked from DIR, as jalv does.
    // (With no link folder, lilv 0.24 removes the file itself while it
    // tries to link it in place.)
    LilvState* state = lilv_state_new_from_instance(plugin, instance, &map, nullptr, nullptr, o.save_state.c_str(),
                                                    o.save_state.c_str(), get_port_value, &host,
                                                    LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, state_features);
    if (!state) fail("the plugin's state could not be taken");
    if (lilv_state_save(world, &map, &unmap, state, nullptr, o.save_state.c_str(), "state.ttl") != 0)
      fail("cannot save the state into \"" + o.save_state + "\"");
    lilv_state_free(state);
  }

  lilv_instance_deactivate(instance);
  worker.stop();
  lilv_instance_free(instance);
  for (LilvNode* node : {uri, input_class, output_class, control_class, audio_class, atom_class}) lilv_node_free(node);
  lilv_world_free(world);
  return 0;
}
