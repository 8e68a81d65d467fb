#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>

// The amplitude envelope: attack ramp, decay window, optional sustain, release.
// One time unit is 200 steps; one step per stereo frame.
//
// Threads. trigger() and release() run on the main thread, step() on the audio
// thread. They meet in one atomic word, `handoff`, and nowhere else:
//
//   handoff = note << 2 | released << 1 | active
//
// - trigger() stores a new note number with active set and released clear, in
//   one store. The step that first sees the new number restarts `time` and the
//   level itself, so it can never pair the new `active` with the old note's
//   time, and nothing on the main thread ever writes `time` for the audio
//   thread to overwrite: `time` and `level` belong to the audio thread alone.
// - release() sets the released bit of whatever note is current (fetch_or),
//   so a release that follows a trigger before any step is not lost, and a
//   trigger that follows a release clears it again.
// - The end of a note clears `active` with a compare-exchange that succeeds
//   only while the word still holds that note, so a trigger that slipped in
//   meanwhile keeps its `active`.
// The main loop reads active() from the same word and sees it set from the
// moment trigger() returns.
struct Vca {
  static constexpr int kNameSize = 80;

  // Audio thread only (set up before the stream starts).
  float time = 0;
  char name[kNameSize] = {};
  float level = 0;
  float attack = 1.0f;
  float peak = 1.0f;
  float decay = 100.0f;
  float sustain = 0.0f;        // 0: no sustain, the decay runs down to 0
  float release_time = 0.0f;   // hundreds of steps; 0: silent at once

  std::atomic<uint32_t> handoff{0};
  uint32_t stepped_note = 0;   // audio thread: the note `time` belongs to
  uint32_t triggered_note = 0; // main thread: the last note handed over

  FILE* console = stdout;      // where TRIG and UNTRIG go

  static constexpr uint32_t kActive = 1u;
  static constexpr uint32_t kReleased = 2u;

  void step();
  void trigger();
  void release();

  bool active() const { return (handoff.load(std::memory_order_acquire) & kActive) != 0; }
  bool released() const { return (handoff.load(std::memory_order_acquire) & kReleased) != 0; }
};
