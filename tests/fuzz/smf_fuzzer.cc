// libFuzzer target: arbitrary bytes as a Standard MIDI File, and as a live
// MIDI byte stream. The file is read with the reader's own checks of what it
// returns (order, times, offsets), and every message it gives is played
// through the note logic; the same bytes also go through the byte parser and
// the note logic as if they came from a keyboard.
//
// Built with clang++ -fsanitize=fuzzer,address,undefined by run_fuzzer.sh.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "midi/midi_parser.h"
#include "midi/midi_voice.h"
#include "midi/smf_reader.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "smf_fuzzer: broken promise: %s\n", what);
  std::abort();
}

void check_message(const MidiMessage& m) {
  check(is_midi_channel_status(m.status()), "a message starts with a channel status byte");
  check(m.size == midi_data_bytes_after(m.status()) + 1, "a message has its kind's size");
  for (int i = 1; i < m.size; ++i) check(m.bytes[i] < 0x80, "data bytes are below 0x80");
}

void play(MidiVoice& voice, const MidiMessage& m) {
  const MidiAction action = voice.apply(m);
  const double range = voice.settings().bend_range;
  check(action.bend >= -range && action.bend < range + 1e-9, "the bend stays within its range");
  if (action.note == MidiAction::kPlay) {
    check(action.engine_note >= -11 && action.engine_note <= 116, "played notes are MIDI notes - 11");
    check(voice.sounding_note() == action.engine_note + 11, "the played note is the sounding one");
  }
  if (action.note == MidiAction::kRelease) check(voice.sounding_note() == -1, "a released note no longer sounds");
  check(voice.held_count() >= 0 && voice.held_count() <= 128, "at most 128 held keys");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The settings come from the first byte, so that every channel filter and
  // bend range is tried.
  const uint8_t choice = size > 0 ? data[0] : 0;
  const MidiSettings settings{static_cast<uint8_t>(choice % 17), static_cast<uint8_t>(choice % 25)};

  MidiFile file;
  SmfError error;
  if (read_smf(data, size, 44100, file, error)) {
    check(file.format <= 1, "only formats 0 and 1 are read");
    MidiVoice voice(settings);
    const TimedMidiMessage* previous = nullptr;
    for (const TimedMidiMessage& timed : file.messages) {
      check_message(timed.message);
      check(timed.frame >= 0 && timed.frame <= file.last_event_frame, "frames lie within the file's length");
      check(timed.track < file.tracks, "tracks are counted");
      if (previous) {
        check(previous->frame <= timed.frame, "frames never decrease");
        check(previous->tick < timed.tick || (previous->tick == timed.tick &&
              (previous->track < timed.track || (previous->track == timed.track && previous->index < timed.index))),
              "messages come by tick, track and place in the track");
      }
      previous = &timed;
      play(voice, timed.message);
      if (timed.index % 7 == 3) voice.other_note_started();
    }
  } else {
    check(error.offset <= size, "the error's offset lies in the file");
    const std::string prefix = "at byte " + std::to_string(error.offset) + ": ";
    check(error.message.compare(0, prefix.size(), prefix) == 0, "the error names its offset");
  }
  for (const std::string& warning : file.warnings) check(warning.compare(0, 8, "at byte ") == 0, "warnings name an offset");

  // The same bytes as a live stream.
  MidiParser parser;
  MidiVoice voice(settings);
  MidiMessage message;
  for (size_t i = 0; i < size; ++i) {
    if (!parser.feed(data[i], message)) continue;
    check_message(message);
    play(voice, message);
  }
  // And the first bytes as an event script's one message.
  MidiMessage single;
  if (read_single_midi_message(data, size < 3 ? size : 3, single) == SingleMidiMessage::kComplete) check_message(single);
  return 0;
}
