#pragma once
// The MIDI options both programs take, wsy and wsy-render: --midi-channel N
// and --bend-range R, read into MidiSettings the same way by both.
#include <string>

#include "midi/midi_voice.h"

constexpr const char kMidiChannelOption[] = "--midi-channel";
constexpr const char kBendRangeOption[] = "--bend-range";

// Reads `value` for `option` (kMidiChannelOption or kBendRangeOption) into
// `settings`. False, with `error` set to the sentence for the user (no
// program name, no newline) and `settings` unchanged, when `value` is not a
// whole number in the option's range, or `option` is neither of them.
bool read_midi_option(const char* option, const char* value, MidiSettings& settings, std::string& error);

// The same options as they are given on a command line to play with
// `settings`, each with a leading space; empty for the defaults.
std::string midi_options_text(const MidiSettings& settings);
