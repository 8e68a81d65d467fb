#pragma once
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "patch/patch.h"
#include "wsy/engine.h"

// A console captured in memory, for checking printed text byte for byte.
class Capture {
 public:
  Capture() : file_(open_memstream(&data_, &size_)) {}
  ~Capture() {
    std::fclose(file_);
    std::free(data_);
  }
  FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

// Writes `contents` to a fresh file of its own in the test's temporary folder
// (tests run in parallel, so no two share a name).
inline std::string write_temp_file(const std::string& name, const std::string& contents) {
  const char* dir = std::getenv("TEST_TMPDIR");
  static int serial = 0;
  const std::string path = std::string(dir ? dir : "/tmp") + "/wsy_test_" + std::to_string(getpid()) +
                           "_" + std::to_string(++serial) + "_" + name;
  std::ofstream(path, std::ios::binary) << contents;
  return path;
}

// A patch loaded from the given file text, with its trace and warnings captured.
struct LoadedPatch {
  Capture trace;
  Capture warnings;
  std::unique_ptr<Patch> patch = std::make_unique<Patch>();

  explicit LoadedPatch(const std::string& text, const std::string& name = "patch.wsy") {
    patch->console = trace.file();
    patch->diagnostics = warnings.file();
    std::string error;
    const std::string path = write_temp_file(name, text);
    loaded = patch->load(path.c_str(), error);
    std::remove(path.c_str());
  }
  bool loaded = false;
};

// Loading that writes the trace into `trace` and each warning, as a line,
// into `warnings`, as the programs write them to their two streams.
inline LoadOptions traced(Capture& trace, Capture& warnings) {
  LoadOptions options;
  options.trace = trace.file();
  FILE* out = warnings.file();
  options.on_warning = [out](const std::string& line) { std::fprintf(out, "%s\n", line.c_str()); };
  return options;
}
