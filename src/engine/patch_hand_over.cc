#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "wsy/engine.h"

PatchPtr PatchHandOver::load(const std::string& text, const std::string& name,
                             const std::function<void(const std::string&)>& on_warning, std::string& error) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* memory = open_memstream(&buffer, &size);
  if (!memory) {
    error = std::strerror(errno);
    return nullptr;
  }
  LoadOptions options;
  options.trace = memory;
  options.on_warning = on_warning;
  LoadResult result;
  PatchPtr patch = load_patch(text, name, options, result);
  std::fclose(memory);
  std::string printed(buffer, size);
  std::free(buffer);
  if (!patch) {
    error = result.error;
    return nullptr;
  }
  pending_.push_back(Loaded{std::move(printed), text});
  return patch;
}

void PatchHandOver::cancel_last() {
  if (!pending_.empty()) pending_.pop_back();
}

bool PatchHandOver::take(const Report& report, std::string& printed, std::string& text) {
  if (report.kind == Report::kPatchRetired) {
    PatchPtr retired(report.patch);  // destroyed here, on the receiving thread
    return false;
  }
  if (report.kind != Report::kApplied || report.command.kind != Command::kSwapPatch || pending_.empty())
    return false;
  // Swaps are applied in the order they were sent.
  printed = std::move(pending_.front().printed);
  text = std::move(pending_.front().text);
  pending_.pop_front();
  return true;
}
