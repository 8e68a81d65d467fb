#pragma once
#include <cstdint>

#include "engine/command.h"

// What the audio thread has to say, in the order it happened: the console
// words, each command it applied and at which frame, the note now sounding.
struct Report {
  enum Kind : uint8_t {
    kTrig,     // prints "\nTRIG\n"
    kUntrig,   // prints "UNTRIG\n"
    kMiam,     // prints "MIAM\n": the envelope ran out and auto-play starts a note
    kApplied,  // `command` was applied before `frame` (for the session log)
    kSounding, // a note started: `note`, started by `origin`
    kPatchRetired,  // `patch` was swapped out: the receiving thread deletes it
  };
  enum Origin : uint8_t { kByKey, kByEnter, kByAutoPlay, kByMidi };

  Kind kind = kTrig;
  Origin origin = kByKey;
  int32_t note = 0;
  int64_t frame = 0;
  Command command;
  Patch* patch = nullptr;  // kPatchRetired

  static Report of(Kind kind, int64_t frame) {
    Report report;
    report.kind = kind;
    report.frame = frame;
    return report;
  }
};

// The console text of a report, or null for reports that print nothing.
const char* report_text(const Report& report);
