#!/usr/bin/env python3
"""Writes the malformed MIDI files of this folder (NAME.mid), byte by byte.

Each NAME.mid has NAME.expected next to it: what the reader reports, one line
each, "warning: ..." for a defect it reads despite, then "error: ..." when it
refuses the file. The expected files are written by hand; this script only
makes the bytes, so that they can be read and changed here. Run it from any
folder; it writes next to itself.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def chunk(kind, body, length=None):
    return kind + struct.pack(">I", len(body) if length is None else length) + body


def header(fmt=1, tracks=1, division=96):
    return chunk(b"MThd", struct.pack(">HHH", fmt, tracks, division))


def track(body):
    return chunk(b"MTrk", bytes(body))


END = [0x00, 0xFF, 0x2F, 0x00]
NOTE = [0x00, 0x90, 0x3C, 0x64]

# The header is bytes 0..13; the first track chunk starts at 14, its events at 22.
CASES = {
    # Not a MIDI file at all.
    "empty": b"",
    "wave_file": b"RIFF" + struct.pack("<I", 36) + b"WAVEfmt " + bytes(8),
    "header_cut_short": b"MThd\x00\x00",
    "header_length_too_small": chunk(b"MThd", struct.pack(">HH", 1, 1)),
    "header_length_past_end": b"MThd" + struct.pack(">I", 6) + struct.pack(">HH", 0, 1),
    # Headers this reader refuses.
    "format_2": header(fmt=2) + track(END),
    "format_3": header(fmt=3) + track(END),
    "format_0_announcing_two_tracks": header(fmt=0, tracks=2) + track(END) + track(END),
    "format_0_with_a_second_track_chunk": header(fmt=0, tracks=1) + track(NOTE + END) + track(END),
    "division_zero": header(division=0) + track(END),
    "smpte_minus_23_frames": header(division=0xE904) + track(END),
    "smpte_zero_ticks_per_frame": header(division=0xE700) + track(END),
    # Chunks.
    "track_length_past_end": header() + chunk(b"MTrk", bytes(NOTE + END), length=100),
    "unknown_chunk_length_past_end": header() + chunk(b"XFIH", b"\x00\x01", length=0x7FFFFFFF) + track(END),
    "bad_chunk_type": header() + bytes(range(12)) + track(END),
    # Events cut short by the end of their track.
    "truncated_note_on": header() + track([0x00, 0x90, 0x3C]),
    "truncated_delta_time": header() + track(NOTE + [0x81]),
    "meta_type_missing": header() + track(NOTE + [0x00, 0xFF]),
    "meta_data_past_track_end": header() + track([0x00, 0xFF, 0x01, 0x10, 0x61, 0x62]),
    "sysex_past_track_end": header() + track([0x00, 0xF0, 0x05, 0x7E, 0x7F]),
    "tempo_past_track_end": header() + track([0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1]),
    # Variable-length numbers of more than 4 bytes.
    "delta_time_five_bytes": header() + track([0x81, 0x80, 0x80, 0x80, 0x00, 0x90, 0x3C, 0x64] + END),
    "meta_length_five_bytes": header() + track([0x00, 0xFF, 0x01, 0x81, 0x80, 0x80, 0x80, 0x00] + END),
    "sysex_length_five_bytes": header() + track([0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F] + END),
    # Bytes that cannot stand where they are.
    "data_byte_without_status": header() + track([0x00, 0x3C, 0x64] + END),
    "second_track_starts_with_data_byte": header(tracks=2) + track(NOTE + END) + track([0x00, 0x3E, 0x64] + END),
    "status_byte_inside_a_message": header() + track([0x00, 0x90, 0x3C, 0x80, 0x3C, 0x00] + END),
    "real_time_byte_as_an_event": header() + track(NOTE + [0x00, 0xF8] + END),
    "song_position_as_an_event": header() + track([0x00, 0xF2, 0x00, 0x00] + END),
    "error_after_a_track_without_end": header(tracks=2) + track(NOTE) + track([0x00, 0x90, 0x3E]),
    # Defects read despite: warnings only.
    "track_count_mismatch": header(tracks=3) + track(NOTE + END),
    "bytes_after_the_last_chunk": header() + track(NOTE + END) + bytes(5),
    "missing_end_of_track": header() + track(NOTE + [0x60, 0x3C, 0x00]),
    "bytes_after_end_of_track": header() + track(NOTE + END + [0x00, 0x80, 0x3C, 0x00]),
    "tempo_event_of_four_bytes": header() + track([0x00, 0xFF, 0x51, 0x04, 0x07, 0xA1, 0x20, 0x00] + NOTE + END),
}

if __name__ == "__main__":
    for name, data in CASES.items():
        with open(os.path.join(HERE, name + ".mid"), "wb") as f:
            f.write(data)
    print("%d files written" % len(CASES))
