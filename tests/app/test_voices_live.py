"""Chords into wsy --voices 8 on a real JACK server (dummy driver): the test's
own JACK clients (jack_test_peer) send MIDI chords to wsy:midi_in at chosen
frames and record wsy:out_1/out_2 in the same graph while wsy records the
session with --record. wsy-render plays the log, whose header names the voice
count and the touch, and must give the recorded samples back, one for one."""

import unittest

import test_midi_live
import wsytest
from wsytest import HELP, again_after_xruns, magnitude, note_hz

PERIOD = test_midi_live.PERIOD
A3, C_SHARP4, E4 = 57, 61, 64  # MIDI keys: 220, 277.18, 329.63 Hz


class LiveVoices(unittest.TestCase):
    def play(self, messages, seconds, extra_args):
        """wsy --voices 8, played and recorded as test_midi_live plays wsy."""
        return test_midi_live.play_live(self, messages, seconds, ("--voices", "8", *extra_args))

    def check_the_render_is_the_recording(self, sent, recording, lines, work, log, out):
        """The log, rendered by wsy-render --events with nothing but the patch and
        --no-autoplay on its line, is the recording, every sample."""
        self.assertIn("0 voices 8", lines, "the log's header names the voices")
        shift, rendered = test_midi_live.LiveMidi.compare_with_render(self, sent, recording, lines, work, log, out)
        if not wsytest.server_xruns(self):
            # Every recorded frame inside the render, and at least as many as the messages span.
            inside = [f for f in recording if 0 <= f - shift < len(rendered)]
            self.assertGreater(len(inside), sent[-1][0] - sent[0][0])
            for f in inside:
                got = (round(recording[f][0] * 32768), round(recording[f][1] * 32768))
                self.assertEqual(got, rendered[f - shift], "JACK frame %d" % f)
        return shift, rendered

    @again_after_xruns
    def test_chords_from_a_jack_midi_client_render_again_from_the_log(self):
        # Periods of 256 frames from the sender's start (a note's envelope
        # lasts 79 of them). An A major chord held, a second chord over it (six
        # voices), two more notes (eight), a ninth that takes a voice (the
        # oldest held), the first chord let go, a new chord on the freed
        # voices, and everything let go.
        messages = [(4, 10, [0x90, A3, 100]), (4, 10, [0x90, C_SHARP4, 90]), (4, 11, [0x90, E4, 80]),
                    (40, 0, [0x90, 69, 100]), (40, 100, [0x90, 73, 100]), (40, 200, [0x90, 76, 100]),
                    (46, 50, [0x90, 45, 70]), (46, 51, [0x90, 81, 60]),
                    (52, 5, [0x90, 50, 100]),
                    (60, 0, [0x80, A3, 0]), (60, 0, [0x80, C_SHARP4, 0]), (60, 3, [0x80, E4, 0]),
                    (64, 128, [0x90, 62, 100]), (64, 129, [0x90, 66, 100]),
                    (74, 0, [0x80, 69, 0]), (74, 0, [0x80, 73, 0]), (74, 0, [0x80, 76, 0]),
                    (74, 1, [0x80, 45, 0]), (74, 1, [0x80, 81, 0]), (74, 1, [0x80, 50, 0]),
                    (74, 2, [0x80, 62, 0]), (74, 2, [0x80, 66, 0])]
        sent, recording, lines, work, log, out, err = self.play(messages, 2.0, ())
        self.assertEqual(len(sent), len(messages))
        # A TRIG for each of the 11 note ons; an UNTRIG for each note off but
        # A3's, whose voice the ninth note took over.
        words = out.split(HELP, 1)[1]
        self.assertEqual(words.count(b"\nTRIG\n"), 11)
        self.assertEqual(words.count(b"UNTRIG\n"), 10)
        shift, rendered = self.check_the_render_is_the_recording(sent, recording, lines, work, log, out)

        # The first chord sounds as three notes at once: each fundamental stands
        # far above the frequencies between them.
        # (the 8192 frames after its attack, before the second chord).
        start = sent[2][0] + 2 * PERIOD
        self.assertLess(start + 8192, sent[3][0])
        stretch = [recording[f][0] for f in range(start, start + 8192) if f in recording]
        self.assertEqual(len(stretch), 8192, "a hole in the recording")
        between = max(magnitude(stretch, hz) ** 2 for hz in (200.0, 248.0, 303.0, 360.0))
        for key in (A3, C_SHARP4, E4):
            self.assertGreater(magnitude(stretch, note_hz(key)) ** 2, 20 * between, "key %d" % key)

    @again_after_xruns
    def test_touch_pedal_bend_and_all_notes_off_render_again_from_the_log(self):
        messages = [(4, 0, [0x90, A3, 20]), (4, 1, [0x90, C_SHARP4, 120]), (4, 2, [0x90, E4, 64]),
                    (20, 0, [0xB0, 64, 127]),
                    (30, 17, [0x80, A3, 0]), (30, 18, [0x80, C_SHARP4, 0]),
                    (40, 0, [0xE0, 0x00, 0x50]), (45, 77, [0x90, 72, 1]), (45, 78, [0x90, 76, 127]),
                    (60, 9, [0xB0, 64, 0]),
                    (80, 200, [0xB0, 123, 0]),
                    (90, 0, [0x90, 60, 90]), (90, 1, [0x90, 67, 90]), (100, 0, [0xB0, 120, 0])]
        sent, recording, lines, work, log, out, err = self.play(messages, 3.0, ("--velocity", "0.6"))
        self.assertEqual(len(sent), len(messages))
        self.assertIn("0 velocity 0.6", lines, "the log's header names the touch")
        self.check_the_render_is_the_recording(sent, recording, lines, work, log, out)
        # All sound off: silent from its period on, to the end of the recording.
        after = [recording[f] for f in sorted(recording) if f >= sent[-1][0] + PERIOD]
        self.assertGreater(len(after), PERIOD * 10)
        self.assertEqual(set(after), {(0.0, 0.0)})


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
