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

#include "engine/engine.h"
#include "engine/key_table.h"
#include "patch/patch.h"

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

// One byte to one command: the six note keys, Enter, a key that does nothing,
// pressed or released, or a random note (the user event).
Command command_of(uint8_t b) {
  static const int32_t kKeys[8] = {'z', 'x', 'c', 'v', 'b', 'n', kKeyReturn, 'q'};
  if ((b & 0x30) == 0x30) return Command::user();
  const int32_t key = kKeys[b & 7];
  return (b & 8) ? Command::key_up(key) : Command::key_down(key);
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

  EngineSettings settings;
  settings.console = null_out;
  settings.diagnostics = null_out;
  std::unique_ptr<Engine> engine(start_engine(patch_path.c_str(), settings));
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
  delete &engine->patch();
  return 0;
}
