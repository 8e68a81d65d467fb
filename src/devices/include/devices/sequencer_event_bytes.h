#pragma once
// The ALSA sequencer hands over decoded events; the note logic reads MIDI
// bytes. This turns one into the other, for the channel messages a
// monophonic synthesizer can act on.
#include <alsa/asoundlib.h>

#include <cstdint>

// Writes the MIDI message for `event` into `out` and its length (2 or 3) into
// `size`, and returns true, for: note on (velocity 0 kept as it is: a note
// off to the note logic), note off, control change, program change, channel
// pressure, polyphonic key pressure and pitch bend (value -8192..8191, held
// to that range, sent as the 14-bit value + 8192, low 7 bits first). Data
// bytes keep their low 7 bits, channels their low 4. Every other event
// (clock, system exclusive, notes with a duration, port and client
// announcements ...) gives false and leaves `out` and `size` alone.
bool sequencer_event_to_bytes(const snd_seq_event_t& event, uint8_t out[3], int& size);
