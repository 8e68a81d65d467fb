// Loading patches for a host: the loader's trace and its warnings go only
// where the host asked.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "patch/patch.h"
#include "wsy/engine.h"

namespace {

// A stream the loader writes into, handed on line by line: each complete
// line (without its line break) to `on_line`; nothing anywhere when there
// is none. Unbuffered, so that a warning reaches the host as soon as the
// loader has written its line break.
class LineSink {
 public:
  explicit LineSink(std::function<void(const std::string&)> on_line) : on_line_(std::move(on_line)) {
    const cookie_io_functions_t functions{nullptr, &LineSink::write, nullptr, &LineSink::close};
    file_ = fopencookie(this, "w", functions);
    if (file_) std::setvbuf(file_, nullptr, _IONBF, 0);
  }
  ~LineSink() { finish(); }
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;

  FILE* file() const { return file_; }
  // Closes the stream; an unfinished last line is handed on as it is.
  void finish() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
  }

 private:
  static ssize_t write(void* cookie, const char* data, size_t size) {
    LineSink& sink = *static_cast<LineSink*>(cookie);
    if (!sink.on_line_) return static_cast<ssize_t>(size);
    for (size_t i = 0; i < size; ++i) {
      if (data[i] != '\n') {
        sink.partial_.push_back(data[i]);
        continue;
      }
      sink.on_line_(sink.partial_);
      sink.partial_.clear();
    }
    return static_cast<ssize_t>(size);
  }
  static int close(void* cookie) {
    LineSink& sink = *static_cast<LineSink*>(cookie);
    if (!sink.partial_.empty() && sink.on_line_) sink.on_line_(sink.partial_);
    sink.partial_.clear();
    return 0;
  }

  std::function<void(const std::string&)> on_line_;
  std::string partial_;
  FILE* file_ = nullptr;
};

// The warnings to the host's handler, or into the result.
std::function<void(const std::string&)> warning_handler(const LoadOptions& options, LoadResult& result) {
  if (options.on_warning) return options.on_warning;
  return [&result](const std::string& line) { result.warnings.push_back(line); };
}

// Loads with `load`, which reads the patch through the patch's own loader;
// then the report. Neither stream is kept by the patch.
template <typename Load>
PatchPtr load_with(const LoadOptions& options, LoadResult& result, Load load) {
  LineSink warnings(warning_handler(options, result));
  LineSink nowhere(nullptr);
  PatchPtr patch(new Patch);
  patch->console = options.trace ? options.trace : nowhere.file();
  patch->diagnostics = warnings.file();
  if (!patch->console || !patch->diagnostics) {
    result.error = std::string("cannot load a patch: ") + std::strerror(errno);
    return nullptr;
  }
  const bool ok = load(*patch);
  if (ok) patch->report();
  patch->console = nullptr;
  patch->diagnostics = nullptr;
  if (!ok) return nullptr;
  return patch;
}

}  // namespace

void PatchDeleter::operator()(Patch* patch) const { delete patch; }

PatchPtr load_patch(const std::string& text, const std::string& name, const LoadOptions& options, LoadResult& result) {
  return load_with(options, result, [&](Patch& patch) { return patch.load_text(text, name.c_str(), result.error); });
}

PatchPtr load_patch_file(const std::string& path, const LoadOptions& options, LoadResult& result) {
  return load_with(options, result, [&](Patch& patch) {
    std::string error;
    if (patch.load(path.c_str(), error)) return true;
    result.error = "cannot read the patch file \"" + path + "\": " + error;
    return false;
  });
}

bool read_patch_file(const std::string& path, std::string& text, std::string& error) {
  return read_patch_text(path.c_str(), text, error);
}
