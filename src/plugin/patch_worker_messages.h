#pragma once
// The messages between run() and the worker, copied through the host's
// worker queue: a request to load a patch file or to free a patch, and the
// answer with a loaded patch. Each is a fixed header, then (for a path) the
// path's bytes; nothing in them needs freeing on the audio thread.
#include <cstdint>
#include <cstring>

struct Patch;

struct WorkerMessage {
  enum Kind : uint32_t {
    kLoadPatch,    // to the worker: load the file whose path follows
    kFreePatch,    // to the worker: free `patch`, swapped out
    kPatchLoaded,  // to run(): `patch` is loaded from the path that follows; swap it in
    kSetRefused,   // to the worker: a patch:Set run() could not take (`path_size`: its length); say why
  };
  Kind kind = kLoadPatch;
  uint32_t path_size = 0;  // bytes of path after the header, without a terminating zero (kSetRefused: none follow)
  Patch* patch = nullptr;
};

// Paths longer than this are refused: a worker queue is a few kilobytes.
constexpr uint32_t kMaxPatchPath = 2048;

// A message with a path after its header, built in place.
struct WorkerMessageWithPath {
  WorkerMessage header;
  char path[kMaxPatchPath] = {};

  // False when the path is too long to send.
  bool set_path(const char* text, uint32_t size) {
    if (size > kMaxPatchPath) return false;
    std::memcpy(path, text, size);
    header.path_size = size;
    return true;
  }
  uint32_t size() const { return static_cast<uint32_t>(sizeof header) + header.path_size; }
};
