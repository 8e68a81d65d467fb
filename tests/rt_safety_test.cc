// The audio thread's code must not allocate, free or take a lock: any of
// these can block for an unbounded time and the sound would break up.
//
// This executable replaces malloc, calloc, realloc, free, the aligned
// allocators, every form of operator new and delete, and pthread_mutex_lock
// with versions that forward to the C library and, while the calling thread's
// `in_callback` flag is set, also record the call. The flag is set only around
// stream_callback, which then plays every example patch with commands through
// the engine's queue (triggers, releases, Enter, random notes) and auto-play,
// in buffers of 1, 64, 256 and 8192 frames, and once while another thread
// floods the queues. The LV2 plugin's run() and worker answers are flagged
// the same way, with MIDI, patch files set and a state restored. The first
// tests show that the detector itself catches each kind of call.
//
// Built without sanitizers only: they bring allocators of their own.
#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devices/audio_stream.h"
#include "devices/jack_client.h"
#include "devices/jack_stream.h"
#include "devices/portaudio_output.h"
#include "devices/stream_statistics.h"
#include "midi/midi_parser.h"
#include "midi/midi_voice.h"
#include "patch/patch.h"
#include "scope_tap.h"
#include "synth/random.h"
#include "synth/vca.h"
#include "test_support.h"
#include "wsy/engine.h"

#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdarg>
#include <map>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {

thread_local bool in_callback = false;
std::atomic<int> forbidden_calls{0};
std::atomic<const char*> first_forbidden{nullptr};

// Called on every entry; records without allocating.
inline void note_call(const char* what) {
  if (!in_callback) return;
  forbidden_calls.fetch_add(1, std::memory_order_relaxed);
  const char* none = nullptr;
  first_forbidden.compare_exchange_strong(none, what);
}

void* aligned(size_t alignment, size_t size) {
  return __libc_memalign(std::max(alignment, sizeof(void*)), size ? size : 1);
}

}  // namespace

extern "C" {
void* malloc(size_t size) { note_call("malloc"); return __libc_malloc(size); }
void* calloc(size_t n, size_t size) { note_call("calloc"); return __libc_calloc(n, size); }
void* realloc(void* p, size_t size) { note_call("realloc"); return __libc_realloc(p, size); }
void free(void* p) { note_call("free"); __libc_free(p); }
void* aligned_alloc(size_t alignment, size_t size) { note_call("aligned_alloc"); return aligned(alignment, size); }
void* memalign(size_t alignment, size_t size) { note_call("memalign"); return aligned(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  note_call("posix_memalign");
  *out = aligned(alignment, size);
  return *out ? 0 : ENOMEM;
}
int pthread_mutex_lock(pthread_mutex_t* mutex) {
  note_call("pthread_mutex_lock");
  // The C library's own, found once (dlsym takes its locks by other means).
  static int (*const real)(pthread_mutex_t*) =
      reinterpret_cast<int (*)(pthread_mutex_t*)>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  return real(mutex);
}
}

namespace {
void* checked_new(const char* what, size_t size) {
  note_call(what);
  if (void* p = __libc_malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* checked_new_aligned(const char* what, size_t size, std::align_val_t alignment) {
  note_call(what);
  if (void* p = aligned(static_cast<size_t>(alignment), size)) return p;
  throw std::bad_alloc();
}
void checked_delete(const char* what, void* p) {
  note_call(what);
  __libc_free(p);
}
}  // namespace

void* operator new(size_t n) { return checked_new("operator new", n); }
void* operator new[](size_t n) { return checked_new("operator new[]", n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { note_call("operator new nothrow"); return __libc_malloc(n ? n : 1); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { note_call("operator new[] nothrow"); return __libc_malloc(n ? n : 1); }
void* operator new(size_t n, std::align_val_t a) { return checked_new_aligned("operator new aligned", n, a); }
void* operator new[](size_t n, std::align_val_t a) { return checked_new_aligned("operator new[] aligned", n, a); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  note_call("operator new aligned nothrow");
  return aligned(static_cast<size_t>(a), n);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  note_call("operator new[] aligned nothrow");
  return aligned(static_cast<size_t>(a), n);
}
void operator delete(void* p) noexcept { checked_delete("operator delete", p); }
void operator delete[](void* p) noexcept { checked_delete("operator delete[]", p); }
void operator delete(void* p, size_t) noexcept { checked_delete("operator delete sized", p); }
void operator delete[](void* p, size_t) noexcept { checked_delete("operator delete[] sized", p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { checked_delete("operator delete nothrow", p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { checked_delete("operator delete[] nothrow", p); }
void operator delete(void* p, std::align_val_t) noexcept { checked_delete("operator delete aligned", p); }
void operator delete[](void* p, std::align_val_t) noexcept { checked_delete("operator delete[] aligned", p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { checked_delete("operator delete sized aligned", p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { checked_delete("operator delete[] sized aligned", p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  checked_delete("operator delete aligned nothrow", p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  checked_delete("operator delete[] aligned nothrow", p);
}

namespace {

// Forbidden calls made by `region`, run with the flag set as stream_callback is.
template <typename Region>
int forbidden_in(Region region, std::string* first = nullptr) {
  forbidden_calls.store(0);
  first_forbidden.store(nullptr);
  in_callback = true;
  region();
  in_callback = false;
  if (first) *first = first_forbidden.load() ? first_forbidden.load() : "";
  return forbidden_calls.load();
}

// Calls through volatile pointers, so that the compiler cannot drop a
// matching allocation and release as it may for plain new/delete pairs.
void* (*volatile malloc_fn)(size_t) = malloc;
void* (*volatile calloc_fn)(size_t, size_t) = calloc;
void* (*volatile realloc_fn)(void*, size_t) = realloc;
void (*volatile free_fn)(void*) = free;
int (*volatile posix_memalign_fn)(void**, size_t, size_t) = posix_memalign;
int (*volatile lock_fn)(pthread_mutex_t*) = pthread_mutex_lock;
void* volatile sink;

TEST(Detector, CatchesEachKindOfCallInsideTheFlaggedRegion) {
  std::string first;
  void* p = nullptr;
  EXPECT_EQ(forbidden_in([&] { p = malloc_fn(32); }, &first), 1);
  EXPECT_EQ(first, "malloc");
  EXPECT_EQ(forbidden_in([&] { p = realloc_fn(p, 64); }, &first), 1);
  EXPECT_EQ(first, "realloc");
  EXPECT_EQ(forbidden_in([&] { free_fn(p); }, &first), 1);
  EXPECT_EQ(first, "free");
  EXPECT_EQ(forbidden_in([&] { p = calloc_fn(4, 8); }, &first), 1);
  EXPECT_EQ(first, "calloc");
  free_fn(p);
  EXPECT_EQ(forbidden_in([&] { posix_memalign_fn(&p, 64, 64); }, &first), 1);
  EXPECT_EQ(first, "posix_memalign");
  free_fn(p);

  int* volatile one = nullptr;
  EXPECT_EQ(forbidden_in([&] { one = new int(7); }, &first), 1);
  EXPECT_EQ(first, "operator new");
  EXPECT_EQ(forbidden_in([&] { delete one; }, &first), 1);
  EXPECT_EQ(first.rfind("operator delete", 0), 0u) << first;
  int* volatile many = nullptr;
  EXPECT_EQ(forbidden_in([&] { many = new int[9]; }, &first), 1);
  EXPECT_EQ(first, "operator new[]");
  EXPECT_EQ(forbidden_in([&] { delete[] many; }, &first), 1);
  EXPECT_EQ(first.rfind("operator delete[]", 0), 0u) << first;
  struct alignas(64) Wide { char bytes[64]; };
  Wide* volatile wide = nullptr;
  EXPECT_EQ(forbidden_in([&] { wide = new Wide; }, &first), 1);
  EXPECT_EQ(first, "operator new aligned");
  EXPECT_EQ(forbidden_in([&] { delete wide; }, &first), 1);
  EXPECT_EQ(first.rfind("operator delete", 0), 0u) << first;
  EXPECT_EQ(forbidden_in([&] { sink = new (std::nothrow) char; }, &first), 1);
  EXPECT_EQ(first, "operator new nothrow");
  delete static_cast<char*>(sink);

  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  EXPECT_EQ(forbidden_in([&] { lock_fn(&mutex); }, &first), 1);
  EXPECT_EQ(first, "pthread_mutex_lock");
  pthread_mutex_unlock(&mutex);
}

TEST(Detector, CatchesTheLibraryAllocatingForUs) {
  std::vector<float> grown;
  std::string first;
  EXPECT_GE(forbidden_in([&] { grown.push_back(1.0f); }), 1);
  const std::string text = "a text far too long for the small-string buffer of std::string";
  EXPECT_GE(forbidden_in([&] { sink = new std::string(text); }, &first), 1);
  delete static_cast<std::string*>(sink);
  std::mutex mutex;
  EXPECT_EQ(forbidden_in([&] { mutex.lock(); }, &first), 1);
  EXPECT_EQ(first, "pthread_mutex_lock");
  mutex.unlock();
}

TEST(Detector, IgnoresCallsOutsideTheRegionAndOnOtherThreads) {
  void* p = malloc_fn(16);
  free_fn(p);
  EXPECT_EQ(forbidden_in([] {}), 0);
  // The flag belongs to one thread: another thread allocating meanwhile is not caught.
  static std::atomic<int> stage{0};
  std::thread other([] {
    while (stage.load() != 1) {}
    free_fn(malloc_fn(8));
    stage.store(2);
  });
  EXPECT_EQ(forbidden_in([] {
              stage.store(1);
              while (stage.load() != 2) {}
            }),
            0);
  other.join();
}

std::vector<std::string> example_patches() {
  std::vector<std::string> paths = {std::string(WSY_SOURCE_DIR) + "/RODUV_2.WSY"};
  std::vector<std::string> examples;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(WSY_SOURCE_DIR) + "/patches"))
    if (entry.path().extension() == ".wsy") examples.push_back(entry.path().string());
  std::sort(examples.begin(), examples.end());
  paths.insert(paths.end(), examples.begin(), examples.end());
  return paths;
}

// Frames 0 to 100000: auto-play from the start, a played and released note, a
// note held until it runs out (auto-play again), Enter pressed and released,
// a random note, and a last key held to the end.
const Command kScript[] = {
    Command::play_note(58, 25000),   Command::release_note(58, 26000),
    Command::play_note(59, 27000),   Command::replay(50000),
    Command::release_replay(50100),  Command::random_note(52000),
    Command::play_note(61, 60000),
};
constexpr int64_t kFrames = 100000;

// An engine built as the programs build it, its console captured.
std::unique_ptr<Engine> start(const std::string& path, Capture& trace, Capture& warnings,
                              int sample_rate = kDefaultSampleRate) {
  LoadResult result;
  EngineSettings settings;
  settings.sample_rate = sample_rate;
  return Engine::from_file(path, settings, traced(trace, warnings), result);
}

// The console words of the reports waiting, taken off the queue (off the audio thread).
std::string take_words(Engine& engine) {
  std::string words;
  Report report;
  while (engine.take_report(report))
    if (const char* text = report_text(report)) words += text;
  return words;
}

class EveryPatch : public ::testing::TestWithParam<int> {};

TEST_P(EveryPatch, StreamCallbackNeverAllocatesNorLocks) {
  const int buffer_frames = GetParam();
  for (const int rate : {kDefaultSampleRate, 48000})
  for (const std::string& path : example_patches()) {
    SCOPED_TRACE(path + " at " + std::to_string(rate) + " Hz");
    Capture trace, warnings;
    std::unique_ptr<Engine> engine = start(path, trace, warnings, rate);
    ASSERT_TRUE(engine);
    ASSERT_EQ(engine->sample_rate(), rate);

    std::vector<int16_t> buffer(2 * static_cast<size_t>(buffer_frames));
    size_t next = 0;
    int forbidden = 0;
    std::string first, said;
    int16_t peak = 0;
    for (int64_t frame = 0; frame < kFrames; frame += buffer_frames) {
      // The main thread's part: the commands due in this block, and the reports.
      for (; next < std::size(kScript) && kScript[next].frame < frame + buffer_frames; ++next)
        ASSERT_TRUE(engine->send(kScript[next]));
      std::string what;
      forbidden += forbidden_in(
          [&] { stream_callback(nullptr, buffer.data(), 4 * buffer_frames, engine.get()); }, &what);
      if (first.empty()) first = what;
      for (int16_t s : buffer) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(s)));
      said += take_words(*engine);
    }
    EXPECT_EQ(forbidden, 0) << "first: " << first;
    // The run did what it claims: sound, auto-play at the start and after the
    // held note ran out, and every scripted event.
    EXPECT_GT(peak, 1000);
    size_t miam = 0;
    for (size_t at = said.find("MIAM"); at != std::string::npos; at = said.find("MIAM", at + 1)) ++miam;
    EXPECT_GE(miam, 2u) << said;
    EXPECT_EQ(next, std::size(kScript));
    EXPECT_EQ(engine->lost_reports(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(BufferFrames, EveryPatch, ::testing::Values(1, 64, 256, 8192));

// Away from 44100 the envelope's sustain and release falls take a power:
// still no allocation nor lock (no patch file sets these parameters).
TEST(EnvelopeAtOtherRates, SustainAndReleaseNeverAllocateNorLock) {
  for (const int rate : {22050, 48000, 96000}) {
    Vca vca;
    vca.sustain = 0.2f;
    vca.release_time = 1.5f;
    vca.set_sample_rate(rate);
    vca.trigger();
    float before_release = 0;
    std::string what;
    const int forbidden = forbidden_in([&] {
      for (int i = 0; i < rate / 10; ++i) vca.step();  // 0.1 s
      before_release = vca.level;
      vca.release();
      for (int i = 0; i < rate / 10; ++i) vca.step();  // 0.1 s
    }, &what);
    EXPECT_EQ(forbidden, 0) << rate << ": " << what;
    // Both falls ran: the sustain held its level, the release took it down.
    EXPECT_EQ(before_release, 0.2f) << rate;
    EXPECT_LT(vca.level, 0.01f * before_release) << rate;
  }
}

// The queues under load: another thread sends a flood of commands and takes
// the reports while this one renders, as the audio thread does.
TEST(Queues, DrainedUnderLoadWithoutAllocatingNorLocking) {
  Capture trace, warnings;
  std::unique_ptr<Engine> engine = start(example_patches().front(), trace, warnings);
  ASSERT_TRUE(engine);
  std::atomic<bool> done{false};
  std::atomic<long> sent{0}, taken{0};
  std::thread main_thread([&] {
    const int32_t notes[] = {58, 59, 61, 0};  // 0: Enter
    Report report;
    for (long i = 0; !done.load(); ++i) {
      const int32_t note = notes[i % 4];
      const Command command = note ? (i % 2 ? Command::release_note(note) : Command::play_note(note))
                                   : (i % 2 ? Command::release_replay() : Command::replay());
      if (engine->send(command)) sent.fetch_add(1);
      if (i % 7 == 0 && engine->send(Command::random_note())) sent.fetch_add(1);
      while (engine->take_report(report)) taken.fetch_add(1);
    }
    while (engine->take_report(report)) taken.fetch_add(1);
  });
  std::vector<int16_t> buffer(2 * 64);
  int forbidden = 0;
  std::string first;
  for (int block = 0; block < 20000; ++block)
    forbidden += forbidden_in([&] { stream_callback(nullptr, buffer.data(), 4 * 64, engine.get()); }, &first);
  done.store(true);
  main_thread.join();
  EXPECT_EQ(forbidden, 0) << "first: " << first;
  EXPECT_GT(sent.load(), 1000);
  EXPECT_GT(taken.load(), sent.load());  // every command applied is reported, with its texts
}

// Patches swapped while a note sounds, as a reload does: each new patch is
// built and reported outside the flagged region, the swap happens inside it
// at the frame it is due, and the old patch comes back to be deleted outside.
TEST(PatchSwap, NeverAllocatesNorFrees) {
  const std::vector<std::string> paths = example_patches();
  for (int buffer_frames : {1, 256, 8192}) {
    SCOPED_TRACE(buffer_frames);
    Capture trace, warnings;
    EngineSettings settings;
    settings.autoplay = false;  // the held key's note sounds to the end
    LoadResult result;
    std::unique_ptr<Engine> engine = Engine::from_file(paths.front(), settings, traced(trace, warnings), result);
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->send(Command::play_note(62, 0)));
    std::vector<int16_t> buffer(2 * static_cast<size_t>(buffer_frames));
    int forbidden = 0, swaps = 0, retired = 0;
    std::string first;
    const Patch* sent = nullptr;
    for (int64_t frame = 0; frame < 60000; frame += buffer_frames) {
      if (frame / 3000 > swaps) {  // a new patch every 3000 frames or so
        PatchPtr next = load_patch_file(paths[++swaps % paths.size()], traced(trace, warnings), result);
        ASSERT_TRUE(next);
        sent = next.get();
        ASSERT_TRUE(engine->swap_patch(next, frame + buffer_frames / 2));
        ASSERT_FALSE(next) << "the engine's now";
      }
      std::string what;
      forbidden += forbidden_in(
          [&] { stream_callback(nullptr, buffer.data(), 4 * buffer_frames, engine.get()); }, &what);
      if (first.empty()) first = what;
      Report report;
      while (engine->take_report(report))
        if (report.kind == Report::kPatchRetired) {
          EXPECT_NE(report.patch, sent);
          const PatchPtr old(report.patch);  // destroyed here, off the audio thread
          ++retired;
        } else if (report.kind == Report::kSounding) {
          EXPECT_EQ(report.note, 62);
        }
    }
    EXPECT_EQ(forbidden, 0) << "first: " << first;
    EXPECT_GE(swaps, 7);  // one a block at most
    EXPECT_EQ(retired, swaps) << "every old patch came back";
    // The last patch is the engine's, and the key's note carried over into it.
    EXPECT_EQ(sent->base_note, 62);
  }
}

// The scope's hand-over, on the audio thread's side, for every block size,
// also blocks longer than its ring.
TEST(ScopeTapWrite, NeverAllocatesNorLocks) {
  auto tap = std::make_unique<ScopeTap>();
  std::vector<int16_t> block(2 * 3 * ScopeTap::kCapacity, 1234);
  std::string first;
  const int forbidden = forbidden_in(
      [&] {
        for (int frames : {1, 64, 256, 8192, 3 * ScopeTap::kCapacity}) tap->write(block.data(), frames, 0.5f);
      },
      &first);
  EXPECT_EQ(forbidden, 0) << "first: " << first;
  ScopeSnapshot s;
  ASSERT_TRUE(tap->read(s));
  EXPECT_EQ(s.frames_written, 1 + 64 + 256 + 8192 + 3 * ScopeTap::kCapacity);
  EXPECT_EQ(s.samples[0], 1234);
}

// MIDI input is parsed and turned into notes on the audio thread: a stream of
// every kind of byte, with all 128 keys held at once, the pedal, bends, all
// notes off and notes started by keys, through the parser and the note logic.
TEST(MidiOnTheAudioThread, ParserAndNoteLogicNeverAllocateNorLock) {
  std::vector<uint8_t> stream;
  for (int note = 0; note < 128; ++note) stream.insert(stream.end(), {0x90, uint8_t(note), 0x40});
  stream.insert(stream.end(), {0xB0, 64, 127, 0xE0, 0x00, 0x60, 0xF0, 0x01, 0x02, 0xF7, 0xF8});
  for (int note = 127; note >= 0; --note) stream.insert(stream.end(), {0x80, uint8_t(note), 0x00});
  stream.insert(stream.end(), {0xB0, 64, 0, 0xB0, 121, 0, 0x90, 60, 100, 0xB0, 123, 0, 0xC0, 5});
  Random bytes;  // then noise: any byte at all
  for (int i = 0; i < 100000; ++i) stream.push_back(static_cast<uint8_t>(bytes.next() & 0xFF));

  MidiParser parser;
  MidiVoice voice(MidiSettings{0, 24});
  int played = 0, released = 0, messages = 0;
  std::string first;
  EXPECT_EQ(forbidden_in([&] {
              MidiMessage message;
              for (size_t i = 0; i < stream.size(); ++i) {
                if (!parser.feed(stream[i], message)) continue;
                ++messages;
                const MidiAction action = voice.apply(message);
                played += action.note == MidiAction::kPlay;
                released += action.note == MidiAction::kRelease;
                if (i % 1000 == 0) voice.other_note_started();
              }
            }, &first), 0)
      << first;
  EXPECT_GT(messages, 1000);
  EXPECT_GT(played, 128);
  EXPECT_GT(released, 1);
}

// JACK's process path with MIDI: the period's events handed to the engine at
// their offsets (JackClient::render_period with the engine's block function,
// as wsy's JACK output runs it), and MIDI commands from the sequencer's queue
// and the main thread's queue, for every period size.
TEST(MidiOnTheAudioThread, JackPeriodsWithMidiEventsAndMidiCommandsNeverAllocateNorLock) {
  Capture trace, warnings;
  std::unique_ptr<Engine> engine = start(example_patches().front(), trace, warnings);
  ASSERT_TRUE(engine);
  JackClient jack(engine_midi_block, engine.get());
  std::vector<float> left(JackClient::kMaxPeriodFrames), right(JackClient::kMaxPeriodFrames);
  std::vector<RawMidiEvent> events(JackClient::kMaxEventsPerPeriod);
  int forbidden = 0;
  std::string first, said;
  float peak = 0;
  long period = 0;
  for (int frames : {1, 64, 256, 1024, 8192}) {
    for (int block = 0; block < 40; ++block, ++period) {
      // Notes, running status, a bend, the pedal, clock bytes and all notes off.
      int count = 0;
      auto add = [&](uint32_t offset, std::initializer_list<uint8_t> bytes) {
        RawMidiEvent& e = events[count++];
        e.offset = offset % static_cast<uint32_t>(frames);
        e.midi.size = static_cast<uint8_t>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), e.midi.bytes);
      };
      const uint8_t note = static_cast<uint8_t>(48 + period % 36);
      add(0, {0x90, note, 100});
      add(1, {note, 0});  // running status: its note off
      add(2, {0x90, static_cast<uint8_t>(note + 7), 90});
      add(frames / 2, {0xE0, static_cast<uint8_t>(period % 128), 0x50});
      add(frames / 2, {0xF8});
      add(frames - 1, {0xB0, 64, static_cast<uint8_t>(period % 2 ? 127 : 0)});
      if (period % 10 == 9) add(frames - 1, {0xB0, 123, 0});
      const uint8_t pedal[] = {0xB0, 64, 0};
      ASSERT_TRUE(engine->send_from_midi_input(Command::midi_message(pedal, 3)));
      const uint8_t on[] = {0x90, 69, 64};
      ASSERT_TRUE(engine->send(Command::midi_message(on, 3)));
      std::string what;
      forbidden += forbidden_in([&] { jack.render_period(frames, events.data(), count, left.data(), right.data()); },
                                &what);
      if (first.empty()) first = what;
      for (int i = 0; i < frames; ++i) peak = std::max(peak, std::abs(left[i]));
      said += take_words(*engine);
    }
  }
  EXPECT_EQ(forbidden, 0) << "first: " << first;
  EXPECT_GT(peak, 0.01f);
  EXPECT_NE(said.find("TRIG"), std::string::npos);
  EXPECT_NE(said.find("UNTRIG"), std::string::npos);
  EXPECT_EQ(engine->refused_commands(), 0);
  EXPECT_EQ(engine->lost_reports(), 0);
}

// PortAudio's process callback as PortAudio calls it: a block of `frames`
// with its timeInfo and status flags, the AudioStream as user data, filled
// through the engine's stream callback in pieces of the stream's largest
// block, with the stream's record kept (first block, underflows, a key's
// latency, the slowest block while measuring).
TEST(DevicesOnTheAudioThread, PortAudioCallbackNeverAllocatesNorLocks) {
  Capture trace, warnings;
  std::unique_ptr<Engine> engine = start(example_patches().front(), trace, warnings);
  ASSERT_TRUE(engine);
  AudioStream stream;
  stream.kind = OutputKind::kPortAudio;
  stream.callback = stream_callback;
  stream.user_data = engine.get();
  stream.max_bytes = 4 * 1000;  // blocks of more frames come in pieces
  stream.sample_rate = 44100;
  stream.record.measuring.store(true);
  std::vector<int16_t> buffer(2 * 8192);
  int forbidden = 0, underflows = 0, keys = 0, measured = 0;
  std::string first;
  int16_t peak = 0;
  double now = 100.0;
  for (unsigned long frames : {64ul, 256ul, 1024ul, 8192ul}) {
    for (int block = 0; block < 30; ++block) {
      if (block % 10 == 0) {
        ASSERT_TRUE(engine->send(Command::play_note(58 + block / 10 % 4)));
      }
      if (block % 7 == 3) {  // a key acted on, waiting for the block that sounds it
        stream.record.key_stream_time.store(now - 0.001);
        stream.record.key_pending.store(true);
        ++keys;
      }
      PaStreamCallbackTimeInfo time{};
      time.currentTime = now;
      time.outputBufferDacTime = now + 0.010;
      const PaStreamCallbackFlags flags = block % 5 == 4 ? paOutputUnderflow : 0;
      underflows += flags != 0;
      std::string what;
      int result = -1;
      forbidden += forbidden_in(
          [&] { result = portaudio_stream_callback(nullptr, buffer.data(), frames, &time, flags, &stream); }, &what);
      if (first.empty()) first = what;
      EXPECT_EQ(result, paContinue);
      if (stream.record.latency_ready.exchange(false)) {
        ++measured;
        EXPECT_NEAR(stream.record.latency_seconds.load(), 0.011, 1e-9);
        EXPECT_NEAR(stream.record.device_seconds.load(), 0.010, 1e-9);
      }
      for (size_t i = 0; i < 2 * frames; ++i) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(buffer[i])));
      now += static_cast<double>(frames) / 44100;
      Report report;
      while (engine->take_report(report)) {}
    }
  }
  EXPECT_EQ(forbidden, 0) << "first: " << first;
  EXPECT_GT(peak, 1000);
  const StreamStatus status = fsound_stream_status(stream);
  EXPECT_EQ(status.first_block_frames, 64);
  EXPECT_EQ(status.block_frames, 8192);
  EXPECT_EQ(status.underflows, underflows);
  EXPECT_GT(status.slowest_block_ns, 0);
  EXPECT_EQ(measured, keys) << "every key waiting was settled by the next block";
  EXPECT_EQ(engine->refused_commands(), 0);
}

// JACK's process path as wsy's JACK output runs it: JackClient's period
// function over the stream's render function (jack_stream_render_period),
// with MIDI events in the period for the engine's MIDI block, and without a
// MIDI callback through the plain stream callback; xruns JACK reported are
// counted as underflows by the next period. (A key waiting to be timed reads
// libjack's clock, which runs only with a server: see the JACK tests.)
TEST(DevicesOnTheAudioThread, JackStreamPeriodNeverAllocatesNorLocks) {
  for (bool with_midi : {true, false}) {
    SCOPED_TRACE(with_midi ? "MIDI callback" : "stream callback");
    Capture trace, warnings;
    std::unique_ptr<Engine> engine = start(example_patches().front(), trace, warnings);
    ASSERT_TRUE(engine);
    AudioStream stream;
    stream.kind = OutputKind::kJack;
    stream.callback = stream_callback;
    stream.midi_callback = with_midi ? engine_midi_block : nullptr;
    stream.user_data = engine.get();
    stream.max_bytes = 4 * 8192;
    stream.sample_rate = 44100;
    stream.record.measuring.store(true);
    stream.record.playback_latency_frames.store(512);
    stream.jack.client = std::make_unique<JackClient>(jack_stream_render_period, &stream, &stream.record);
    std::vector<float> left(JackClient::kMaxPeriodFrames), right(JackClient::kMaxPeriodFrames);
    int forbidden = 0;
    long xruns = 0;
    std::string first, said;
    float peak = 0;
    for (int frames : {1, 64, 256, 1024, 8192}) {
      for (int period = 0; period < 20; ++period) {
        const uint8_t note = static_cast<uint8_t>(48 + period);
        const RawMidiEvent events[] = {{0, 3, {0x90, note, 100}},
                                       {static_cast<uint32_t>(frames / 2), 3, {0xE0, 0x00, 0x50}},
                                       {static_cast<uint32_t>(frames - 1), 3, {0x80, note, 0}}};
        if (!with_midi && period % 10 == 0) {
          ASSERT_TRUE(engine->send(Command::play_note(58)));
        }
        if (period % 6 == 5) {
          stream.record.xruns.fetch_add(1);  // as JACK's xrun callback does
          ++xruns;
        }
        std::string what;
        forbidden += forbidden_in(
            [&] { stream.jack.client->render_period(frames, events, 3, left.data(), right.data()); }, &what);
        if (first.empty()) first = what;
        for (int i = 0; i < frames; ++i) peak = std::max(peak, std::abs(left[i]));
        said += take_words(*engine);
      }
    }
    EXPECT_EQ(forbidden, 0) << "first: " << first;
    EXPECT_GT(peak, 0.01f);
    const StreamStatus status = fsound_stream_status(stream);
    EXPECT_EQ(status.underflows, xruns);
    EXPECT_EQ(status.block_frames, 8192);
    if (with_midi) {
      EXPECT_NE(said.find("TRIG"), std::string::npos) << "the period's MIDI notes played";
    }
    EXPECT_EQ(engine->refused_commands(), 0);
    stream.jack.client.reset();
  }
}


#ifdef WSY_LV2_BUNDLE
// ---- The LV2 plugin ----

// The least of an LV2 host: URIDs, a worker whose queues are fixed arrays
// (schedule_work is called from run() and must not allocate either), a log
// that counts, a state store in a map. The worker runs between blocks, off
// the flagged region, as a host's worker thread would.
class MiniLv2Host {
 public:
  MiniLv2Host() {
    map_.handle = this;
    map_.map = [](LV2_URID_Map_Handle handle, const char* uri) -> LV2_URID {
      auto& uris = static_cast<MiniLv2Host*>(handle)->uris_;
      for (size_t i = 0; i < uris.size(); ++i)
        if (uris[i] == uri) return static_cast<LV2_URID>(i + 1);
      uris.emplace_back(uri);
      return static_cast<LV2_URID>(uris.size());
    };
    schedule_.handle = &requests_;
    schedule_.schedule_work = [](LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data) {
      return static_cast<Queue*>(handle)->push(size, data) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
    };
    log_.handle = this;
    log_.printf = count_log_line;
    log_.vprintf = [](LV2_Log_Handle handle, LV2_URID, const char*, va_list) {
      return ++static_cast<MiniLv2Host*>(handle)->log_lines;
    };
  }

  LV2_URID id(const char* uri) { return map_.map(this, uri); }
  const LV2_Feature* const* features() { return feature_list_; }

  // Runs the worker on what run() scheduled, then hands its answers back as
  // the host's audio thread would, inside `flagged`.
  template <typename Flagged>
  void work(const LV2_Worker_Interface& worker, LV2_Handle instance, Flagged flagged) {
    Queue answers;
    for (int i = 0; i < requests_.count; ++i)
      worker.work(instance, [](LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
        return static_cast<Queue*>(handle)->push(size, data) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
      }, &answers, requests_.sizes[i], requests_.bytes[i]);
    requests_.count = 0;
    flagged([&] {
      for (int i = 0; i < answers.count; ++i) worker.work_response(instance, answers.sizes[i], answers.bytes[i]);
    });
  }

  int log_lines = 0;

 private:
  static int count_log_line(LV2_Log_Handle handle, LV2_URID, const char*, ...) {
    return ++static_cast<MiniLv2Host*>(handle)->log_lines;
  }

  struct Queue {
    static constexpr int kSlots = 256;
    alignas(8) uint8_t bytes[kSlots][4096];
    uint32_t sizes[kSlots];
    int count = 0;
    bool push(uint32_t size, const void* data) {
      if (count == kSlots || size > sizeof bytes[0]) return false;
      std::memcpy(bytes[count], data, size);
      sizes[count++] = size;
      return true;
    }
  };

  std::vector<std::string> uris_;
  LV2_URID_Map map_{};
  LV2_Worker_Schedule schedule_{};
  LV2_Log_Log log_{};
  Queue requests_;
  const LV2_Feature map_feature_{LV2_URID__map, &map_};
  const LV2_Feature schedule_feature_{LV2_WORKER__schedule, &schedule_};
  const LV2_Feature log_feature_{LV2_LOG__log, &log_};
  const LV2_Feature* feature_list_[4] = {&map_feature_, &schedule_feature_, &log_feature_, nullptr};
};

TEST(PluginOnTheAudioThread, RunWithMidiPatchSetsAndARestoreNeverAllocatesNorLocks) {
  const LV2_Descriptor* descriptor = lv2_descriptor(0);
  ASSERT_TRUE(descriptor);
  auto host = std::make_unique<MiniLv2Host>();
  LV2_Handle instance = descriptor->instantiate(descriptor, 48000, WSY_LV2_BUNDLE, host->features());
  ASSERT_TRUE(instance);
  const auto* worker = static_cast<const LV2_Worker_Interface*>(descriptor->extension_data(LV2_WORKER__interface));
  const auto* state = static_cast<const LV2_State_Interface*>(descriptor->extension_data(LV2_STATE__interface));
  ASSERT_TRUE(worker && state);

  const LV2_URID midi_event = host->id(LV2_MIDI__MidiEvent), patch_set = host->id(LV2_PATCH__Set),
                 patch_get = host->id(LV2_PATCH__Get), property = host->id(LV2_PATCH__property),
                 value = host->id(LV2_PATCH__value), patch_parameter = host->id("urn:wsy:synth#patch");
  LV2_URID_Map map{host.get(), [](LV2_URID_Map_Handle handle, const char* uri) {
                     return static_cast<MiniLv2Host*>(handle)->id(uri);
                   }};
  LV2_Atom_Forge forge;
  lv2_atom_forge_init(&forge, &map);

  constexpr uint32_t kBufferBytes = 1 << 16;
  std::vector<uint64_t> control_buffer(kBufferBytes / 8), notify_buffer(kBufferBytes / 8);
  std::vector<float> left(8192), right(8192);
  float autoplay = 0, bend_range = 2, channel = 0;
  descriptor->connect_port(instance, 0, control_buffer.data());
  descriptor->connect_port(instance, 1, notify_buffer.data());
  descriptor->connect_port(instance, 2, left.data());
  descriptor->connect_port(instance, 3, right.data());
  descriptor->connect_port(instance, 4, &autoplay);
  descriptor->connect_port(instance, 5, &bend_range);
  descriptor->connect_port(instance, 6, &channel);

  const std::vector<std::string> patches = example_patches();
  int forbidden = 0, announced = 0, good_sets = 0;
  std::string first;
  float peak = 0;
  auto flagged = [&](auto region) {
    std::string what;
    forbidden += forbidden_in(region, &what);
    if (first.empty()) first = what;
  };
  long block = 0;
  for (uint32_t frames : {0u, 1u, 7u, 64u, 256u, 1024u, 8192u}) {
    for (int round = 0; round < 24; ++round, ++block) {
      // The host's part, before the block: its MIDI, a patch file set now
      // and then (a good one, or one that is missing), a patch:Get.
      LV2_Atom_Forge_Frame sequence;
      lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(control_buffer.data()), kBufferBytes);
      lv2_atom_forge_sequence_head(&forge, &sequence, 0);
      auto midi = [&](uint32_t offset, std::initializer_list<uint8_t> bytes) {
        lv2_atom_forge_frame_time(&forge, frames ? offset % frames : 0);
        lv2_atom_forge_atom(&forge, static_cast<uint32_t>(bytes.size()), midi_event);
        lv2_atom_forge_write(&forge, bytes.begin(), static_cast<uint32_t>(bytes.size()));
      };
      const uint8_t note = static_cast<uint8_t>(48 + block % 36);
      midi(0, {0x90, note, 100});
      midi(1, {0x90, static_cast<uint8_t>(note + 4), 90});
      midi(frames / 2, {0xE0, static_cast<uint8_t>(block % 128), 0x50});
      midi(frames / 2, {0xF8});
      midi(frames / 2 + 1, {0xB0, 64, static_cast<uint8_t>(block % 2 ? 127 : 0)});
      midi(frames - 1, {0x80, note, 0});
      if (block % 10 == 9) midi(frames - 1, {0xB0, 123, 0});
      if (block % 3 == 0) {
        const bool missing = block % 6 == 3;
        const std::string path = missing ? std::string("/nonexistent/") + std::to_string(block) + ".wsy"
                                         : patches[static_cast<size_t>(block) % patches.size()];
        good_sets += missing ? 0 : 1;
        LV2_Atom_Forge_Frame object;
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &object, 0, patch_set);
        lv2_atom_forge_key(&forge, property);
        lv2_atom_forge_urid(&forge, patch_parameter);
        lv2_atom_forge_key(&forge, value);
        lv2_atom_forge_path(&forge, path.c_str(), static_cast<uint32_t>(path.size()));
        lv2_atom_forge_pop(&forge, &object);
      }
      if (block % 5 == 0) {
        LV2_Atom_Forge_Frame object;
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &object, 0, patch_get);
        lv2_atom_forge_pop(&forge, &object);
      }
      lv2_atom_forge_pop(&forge, &sequence);
      autoplay = block % 8 < 4 ? 0.0f : 1.0f;
      bend_range = static_cast<float>(block % 25);
      channel = block % 7 == 6 ? 3.0f : 0.0f;

      auto* notify = reinterpret_cast<LV2_Atom_Sequence*>(notify_buffer.data());
      notify->atom.size = kBufferBytes - sizeof(LV2_Atom);
      flagged([&] { descriptor->run(instance, frames); });
      LV2_ATOM_SEQUENCE_FOREACH(notify, event) {
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (object->body.otype == patch_set) ++announced;
      }
      for (uint32_t i = 0; i < frames; ++i) peak = std::max(peak, std::abs(left[i]));
      host->work(*worker, instance, flagged);

      // Half-way, a state saved and restored (off the audio thread), then
      // heard in the next run().
      if (frames == 256 && round == 12) {
        std::map<uint32_t, std::pair<std::string, uint32_t>> saved;
        auto store = [](LV2_State_Handle handle, uint32_t key, const void* data, size_t size, uint32_t type,
                        uint32_t) {
          (*static_cast<std::map<uint32_t, std::pair<std::string, uint32_t>>*>(handle))[key] = {
              std::string(static_cast<const char*>(data), size), type};
          return LV2_STATE_SUCCESS;
        };
        auto retrieve = [](LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type,
                           uint32_t* flags) -> const void* {
          auto& values = *static_cast<std::map<uint32_t, std::pair<std::string, uint32_t>>*>(handle);
          const auto found = values.find(key);
          if (found == values.end()) return nullptr;
          *size = found->second.first.size();
          *type = found->second.second;
          *flags = LV2_STATE_IS_POD;
          return found->second.first.data();
        };
        ASSERT_EQ(state->save(instance, store, &saved, 0, host->features()), LV2_STATE_SUCCESS);
        ASSERT_EQ(state->restore(instance, retrieve, &saved, 0, host->features()), LV2_STATE_SUCCESS);
        ++good_sets;
      }
    }
  }
  EXPECT_EQ(forbidden, 0) << "first: " << first;
  EXPECT_GT(peak, 0.01f);
  // Every patch that loaded was announced, and so was every patch:Get; the
  // missing files were said in the log.
  EXPECT_GE(announced, good_sets);
  EXPECT_GT(host->log_lines, 0);
  descriptor->cleanup(instance);
}

#endif  // WSY_LV2_BUNDLE

}  // namespace
