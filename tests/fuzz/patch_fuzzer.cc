// libFuzzer target: arbitrary bytes as a patch file. Each input is written to
// a file, loaded and reported exactly as the programs do, then played for a
// few hundred frames with key events taken from the input's last bytes, so
// that whatever the loader builds is also evaluated: triggers, releases,
// Enter's retune, random notes and auto-play.
//
// Built with clang++ -fsanitize=fuzzer,address,undefined by run_fuzzer.sh.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <memory>

#include "wsy/engine.h"

namespace {

constexpr int kChunks = 6;           // event points
constexpr int kFramesPerChunk = 48;  // 288 frames in all
constexpr int kEventBytes = 6;       // trailing bytes that choose the events

FILE* null_out = nullptr;
std::string patch_path;

void remove_patch_file() { unlink(patch_path.c_str()); }

bool write_patch_file(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(patch_path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// One byte to one command: the six note keys' notes or one no key plays,
// pressed or let go, Enter pressed or let go, or a random note (the user event).
Command command_of(uint8_t b) {
  static const int32_t kNotes[7] = {58, 59, 61, 62, 64, 65, 60};
  if ((b & 0x30) == 0x30) return Command::random_note();
  const bool down = !(b & 8);
  if ((b & 7) == 6) return down ? Command::replay() : Command::release_replay();
  const int32_t note = kNotes[(b & 7) == 7 ? 6 : b & 7];
  return down ? Command::play_note(note) : Command::release_note(note);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  null_out = std::fopen("/dev/null", "w");
  if (!null_out) std::abort();
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  patch_path = std::string(dir) + "/wsy_fuzz_" + std::to_string(getpid()) + ".wsy";
  std::atexit(remove_patch_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!write_patch_file(data, size)) std::abort();  // the harness itself failed

  // The trace into /dev/null, so that its printing is exercised too; the
  // warnings come back in the result.
  LoadOptions load;
  load.trace = null_out;
  LoadResult result;
  std::unique_ptr<Engine> engine = Engine::from_file(patch_path, EngineSettings{}, load, result);
  if (!engine) std::abort();  // a regular file always loads

  int16_t buffer[2 * kFramesPerChunk];
  const size_t tail = size < kEventBytes ? size : kEventBytes;
  Report report;
  for (int chunk = 0; chunk < kChunks; ++chunk) {
    if (static_cast<size_t>(chunk) < tail) engine->send(command_of(data[size - tail + chunk]));
    // Buffers of 1 and of many frames; auto-play is the engine's own.
    if (chunk % 2 == 0) {
      for (int i = 0; i < kFramesPerChunk; ++i) stream_callback(nullptr, buffer, 4, engine.get());
    } else {
      stream_callback(nullptr, buffer, sizeof buffer, engine.get());
    }
    while (engine->take_report(report)) {}
  }
  return 0;
}
