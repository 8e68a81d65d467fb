#pragma once
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "patch/patch.h"

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

// Writes `contents` to a fresh file in the test's temporary folder.
inline std::string write_temp_file(const std::string& name, const std::string& contents) {
  const char* dir = std::getenv("TEST_TMPDIR");
  const std::string path = std::string(dir ? dir : "/tmp") + "/wsy_test_" + name;
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
    loaded = patch->load(write_temp_file(name, text).c_str(), error);
  }
  bool loaded = false;
};
