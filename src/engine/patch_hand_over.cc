#include "engine/patch_hand_over.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "patch/patch.h"

PatchHandOver::~PatchHandOver() {
  // Never sent, or sent and not applied before the end: the engine no longer runs.
  for (Loaded& loaded : pending_) delete loaded.patch;
}

Patch* PatchHandOver::load(const std::string& text, const std::string& name, FILE* diagnostics, std::string& error) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* memory = open_memstream(&buffer, &size);
  if (!memory) {
    error = std::strerror(errno);
    return nullptr;
  }
  Patch* patch = new Patch;
  patch->console = memory;
  patch->diagnostics = diagnostics;
  const bool ok = patch->load_text(text, name.c_str(), error);
  if (ok) patch->report();
  std::fclose(memory);
  patch->console = stdout;
  std::string printed(buffer, size);
  std::free(buffer);
  if (!ok) {
    delete patch;
    return nullptr;
  }
  pending_.push_back(Loaded{patch, std::move(printed), text});
  return patch;
}

void PatchHandOver::cancel_last() {
  if (pending_.empty()) return;
  delete pending_.back().patch;
  pending_.pop_back();
}

bool PatchHandOver::take(const Report& report, std::string& printed, std::string& text) {
  if (report.kind == Report::kPatchRetired) {
    delete report.patch;
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
