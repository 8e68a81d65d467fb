#pragma once
#include <cstdint>

struct Patch;

// What the main thread asks of the sound: one small record through the
// engine's command queue. Copied by value; holds no pointer the audio thread
// would have to free (a patch handed over goes back through the reports).
struct Command {
  enum Kind : uint8_t {
    kKeyDown,  // `key`: a note key plays its note, Enter replays; other keys do nothing
    kKeyUp,    // `key`: a note key or Enter releases the note
    kUser,     // a random note, as when the envelope runs out
    kSwapPatch,  // `patch` replaces the engine's patch; the old one comes back in a kPatchRetired report
    kMidi,     // `midi`: one complete MIDI channel message (from the sequencer or a script)
  };
  // Due before this frame; kAtOnce: before the first frame of the block that
  // takes the command off the queue.
  static constexpr int64_t kAtOnce = -1;

  Kind kind = kUser;
  int32_t key = 0;  // SDL 1.2 key symbol (lower-case ASCII for letters and digits)
  int64_t frame = kAtOnce;
  Patch* patch = nullptr;  // kSwapPatch: built and reported on the main thread
  uint8_t midi[3] = {0, 0, 0};
  uint8_t midi_size = 0;  // 2 or 3 with kMidi

  static Command key_down(int32_t key, int64_t frame = kAtOnce) { return {kKeyDown, key, frame}; }
  static Command key_up(int32_t key, int64_t frame = kAtOnce) { return {kKeyUp, key, frame}; }
  static Command user(int64_t frame = kAtOnce) { return {kUser, 0, frame}; }
  static Command swap_patch(Patch* patch, int64_t frame = kAtOnce) { return {kSwapPatch, 0, frame, patch}; }
  static Command midi_message(const uint8_t* bytes, int size, int64_t frame = kAtOnce) {
    Command command{kMidi, 0, frame};
    for (int i = 0; i < size && i < 3; ++i) command.midi[i] = bytes[i];
    command.midi_size = static_cast<uint8_t>(size < 3 ? size : 3);
    return command;
  }
};
