#!/usr/bin/env python3
"""wsy-render plays MIDI: event script lines and Standard MIDI Files, made
here by a small writer of the test's own, through the real binary. The same
messages at the same frames give the same samples whichever way they come."""
import os
import re
import subprocess
import unittest

from wsytest import SINE_PATCH, FolderTest, pitch, read_wav, smf, track

RENDER = os.environ["WSY_RENDER"]
ADDRESS = re.compile(rb"0x[0-9a-f]+|\(nil\)")


def tempo(us):
    return b"\xff\x51\x03" + us.to_bytes(3, "big")


class MidiRender(FolderTest):
    def setUp(self):
        super().setUp()
        self.write("sine.wsy", SINE_PATCH)

    def render(self, *args, status=0):
        out = self.path("out.wav")
        r = subprocess.run([RENDER, "--patch", self.path("sine.wsy"), "--no-autoplay", *args,
                            "-o", out], capture_output=True, timeout=120)
        self.assertEqual(r.returncode, status, r.stderr.decode())
        if status:
            return None, r
        return read_wav(out), r

    def script(self, lines):
        return self.write("s.events", "".join(l + "\n" for l in lines))

    def onset(self, samples):
        return next(i // 2 for i, s in enumerate(samples) if s != 0)

    def hz(self, samples, start, end):
        return pitch(samples[2 * start:2 * end:2])

    def test_script_lines_and_a_file_give_the_same_samples(self):
        # 480 ticks a quarter at 500,000 us: one tick is 1/960 s, 45.9375 frames.
        data = smf(0, 480, [track([(480, [0x90, 69, 100]), (960, [0x80, 69, 0]), (0, [0x90, 81, 1]),
                                   (240, [0xE0, 0, 0x60]), (480, [0xB0, 123, 0])])])
        midi, r1 = self.render("--midi", self.write("a.mid", data))
        # Frames: floor(t * 44100): 22050, 66150, 66150, 77175, 99225; length last + 44100.
        lines = ["22050 midi 90 45 64", "66150 midi 80 45 00", "66150 midi 90 51 01", "77175 midi e0 00 60",
                 "99225 midi B0 7B 00", "143325 end"]
        script, r2 = self.render("--events", self.script(lines))
        self.assertEqual(len(midi), 2 * 143325)
        self.assertEqual(midi, script)
        self.assertEqual(ADDRESS.sub(b"0x", r1.stdout), ADDRESS.sub(b"0x", r2.stdout))
        self.assertEqual(self.onset(midi) - 22050, self.onset(script) - 22050)
        self.assertLessEqual(self.onset(midi) - 22050, 1)
        self.assertAlmostEqual(self.hz(midi, 24000, 66000), 440.0, delta=1.0)
        self.assertAlmostEqual(self.hz(midi, 68000, 77000), 880.0, delta=2.0)
        self.assertAlmostEqual(self.hz(midi, 78000, 85000), 880.0 * 2 ** (1 / 12), delta=2.0)
        words = [l for l in r1.stdout.decode().split("\n")[-8:] if l]
        self.assertEqual(words[-4:], ["TRIG", "UNTRIG", "TRIG", "UNTRIG"])  # the last at all notes off

    def test_format_0_and_format_1_render_the_same(self):
        notes = [(0, [0x90, 60, 90]), (240, [0x80, 60, 0]), (0, [0x90, 64, 90]), (240, [0x80, 64, 0])]
        f0 = smf(0, 96, [track([(0, tempo(400000))] + notes)])
        f1 = smf(1, 96, [track([(0, tempo(400000))]), track(notes)])
        a, _ = self.render("--midi", self.write("f0.mid", f0))
        b, _ = self.render("--midi", self.write("f1.mid", f1))
        self.assertEqual(a, b)
        self.assertGreater(max(a), 1000)

    def test_tempo_change_in_the_middle_of_a_note_and_smpte(self):
        # Tempo 500,000 for 96 ticks (0.5 s), then 250,000: the note off at
        # tick 192 comes at 0.75 s = frame 33075.
        t = smf(1, 96, [track([(96, tempo(250000))]), track([(0, [0x90, 69, 90]), (192, [0x80, 69, 0])])])
        a, ra = self.render("--midi", self.write("t.mid", t), "--frames", "40000")
        s, rs = self.render("--events", self.script(["0 midi 90 45 5a", "33075 midi 80 45 00"]), "--frames", "40000")
        self.assertEqual(a, s)
        # SMPTE -25 frames of 40 ticks: one tick is 1 ms; 750 ticks are frame 33075.
        division = ((256 - 25) << 8) | 40
        p = smf(0, division, [track([(0, [0x90, 69, 90]), (750, [0x80, 69, 0])])])
        b, _ = self.render("--midi", self.write("p.mid", p), "--frames", "40000")
        self.assertEqual(b, s)

    def test_running_status_across_a_meta_event_and_same_tick_off_then_on(self):
        data = smf(0, 96, [track([(0, [0x90, 60, 90]), (48, [0xFF, 0x01, 0x02, 0x68, 0x69]), (0, [60, 0]),
                                  (0, [62, 80]), (48, [0x80, 62, 0])])])
        a, r = self.render("--midi", self.write("rs.mid", data))
        lines = ["0 midi 90 3C 5A", "11025 midi 90 3C 00", "11025 midi 90 3E 50", "22050 midi 80 3E 00", "66150 end"]
        b, _ = self.render("--events", self.script(lines))
        self.assertEqual(a, b)
        self.assertEqual(r.stdout.decode().split("\n")[-6:], ["TRIG", "UNTRIG", "", "TRIG", "UNTRIG", ""])

    def test_script_events_of_a_frame_come_before_the_file_s(self):
        data = smf(0, 96, [track([(96, [0x90, 69, 90])])])
        # The file's note on at frame 22050 after the script's note on at the
        # same frame: the file's note sounds.
        a, _ = self.render("--midi", self.write("o.mid", data), "--events", self.script(["22050 midi 90 3C 40"]))
        b, _ = self.render("--events", self.script(["22050 midi 90 3C 40", "22050 midi 90 45 5A", "66150 end"]))
        self.assertEqual(a, b)

    def test_channel_and_bend_range_options(self):
        lines = ["0 midi 91 45 64", "0 midi 92 51 64", "100 midi E1 7F 7F", "30000 end"]
        chosen, _ = self.render("--events", self.script(lines), "--midi-channel", "2", "--bend-range", "12")
        # Channel 2's A4, bent up by almost the whole range of 12: almost A5.
        self.assertAlmostEqual(self.hz(chosen, 2000, 30000), 440.0 * 2 ** (12 * 8191 / 8192 / 12), delta=2.0)
        other, _ = self.render("--events", self.script(lines), "--midi-channel", "4")
        self.assertEqual(set(other), {0})
        everything, _ = self.render("--events", self.script(lines))  # all channels: the newest note, bent 2
        self.assertAlmostEqual(self.hz(everything, 2000, 30000), 880.0 * 2 ** (2 * 8191 / 8192 / 12), delta=3.0)
        for option, value in (("--midi-channel", "0"), ("--midi-channel", "17"), ("--bend-range", "25"),
                              ("--bend-range", "-1"), ("--bend-range", "2.5")):
            _, r = self.render("--events", self.script(lines), option, value, status=2)
            self.assertIn(option + " takes a whole number", r.stderr.decode())

    def test_bad_midi_script_lines(self):
        for line, words in (("0 midi 45 64", "status byte"), ("0 midi F8", "channel messages"),
                            ("0 midi 90 45", "missing a data byte"), ("0 midi 90 45 64 00", "too many"),
                            ("0 midi 90 4 64", "two hexadecimal digits"), ("0 midi", "needs the bytes"),
                            ("0 midi 90 90 64", "data byte")):
            _, r = self.render("--events", self.script([line]), status=2)
            self.assertIn("line 1: ", r.stderr.decode())
            self.assertIn(words, r.stderr.decode())


if __name__ == "__main__":
    unittest.main()
