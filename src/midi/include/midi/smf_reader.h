#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "midi/midi_message.h"

// A channel message of a Standard MIDI File with its time.
struct TimedMidiMessage {
  int64_t frame = 0;   // applies before this frame: floor(t us * sample rate / 1,000,000)
  uint64_t tick = 0;   // from the start of its track
  uint32_t track = 0;  // track chunks counted from 0 in file order
  uint32_t index = 0;  // position in its track, counting every event (meta and sysex too)
  MidiMessage message;
};

// What a Standard MIDI File holds for playing.
struct MidiFile {
  uint16_t format = 0;            // 0 or 1
  uint16_t announced_tracks = 0;  // the header's count
  uint32_t tracks = 0;            // track chunks found
  // In playing order: by tick, then track, then position in the track.
  std::vector<TimedMidiMessage> messages;
  // The frame of the last event of any kind (end-of-track included); 0 when
  // the file holds no event at all.
  int64_t last_event_frame = 0;
  // Defects the file is read despite (each one line, naming a byte offset).
  std::vector<std::string> warnings;
};

// Why a file is refused: not a Standard MIDI File, or one this reader does not
// play. `message` names the offset ("at byte 22: ...").
struct SmfError {
  size_t offset = 0;
  std::string message;
};

// Reads a Standard MIDI File of format 0 or 1, with ticks per quarter note
// (tempo changes from any track; 500,000 us a quarter note until the first)
// or SMPTE division. Times are exact: integer sums and one floor division.
// Running status carries across meta and system exclusive events. Unknown
// chunks are skipped. False, with `error` set, when the file is refused; the
// warnings found before the refusal are then in `file.warnings`.
bool read_smf(const uint8_t* data, size_t size, uint32_t sample_rate, MidiFile& file, SmfError& error);
