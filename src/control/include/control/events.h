#pragma once
#include <cstdint>
#include <cstdio>

#include "synth/random.h"

struct Patch;
struct Vca;

// A window event as the player sees it: SDL 1.2's type numbers, and the key
// symbol for key events.
struct Event {
  enum Type : uint8_t { kKeyDown = 2, kKeyUp = 3, kQuit = 12, kUser = 24 };
  uint8_t type;
  int32_t key = 0;
};

// Turns events into notes on the main thread: note keys set the base note and
// trigger, Enter retunes link group 0 to enter_note and retriggers, releasing
// a key releases, a user event plays a random note (53..62), Escape quits.
struct Player {
  Player(Patch* patch, Vca* vca) : patch(patch), vca(vca) {}

  Patch* patch;
  Vca* vca;
  int32_t enter_note = 58;
  Random note_random;     // the main thread's own generator
  FILE* console = stdout;

  enum class After { kContinue, kQuit };
  After handle(const Event& event);

  // The main loop's auto-play, once per turn after the events: when the
  // envelope has run out, says "MIAM" and returns true; the caller then posts
  // a user event, which the next turn turns into a random note.
  bool idle_note_due();
};
