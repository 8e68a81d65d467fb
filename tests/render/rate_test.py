#!/usr/bin/env python3
"""wsy-render at other rates than 44100, the real binary on real files: the
pitches stay in hertz, the envelope's and the auto-play's times in seconds,
MIDI file events land at floor(t x rate / 10^6), and a script's rate line
sets the render's rate. Every figure is measured on the output and compared
with the 44100 Hz render or with the musical definition (note 58 is 440 Hz,
a semitone is 2^(1/12))."""
import os
import re
import subprocess
import unittest

from wsytest import SINE_PATCH, FolderTest, note_hz, pitch, read_wav, smf, spectral_peaks, track

RENDER = os.environ["WSY_RENDER"]
SOURCE_DIR = os.environ["WSY_SOURCE_DIR"]
BUNDLED = os.path.join(SOURCE_DIR, "RODUV_2.WSY")

RATES = (22050, 48000, 88200, 96000)
# wsy's keys and its note numbers (the MIDI key less 11: note 58 is 440 Hz).
KEYS = (("z", 58), ("x", 59), ("c", 61), ("v", 62), ("b", 64), ("n", 65))
NOTE_SECONDS = 20205 / 44100  # a note with the default envelope: 0.458 s


class RenderAtRates(FolderTest):
    def setUp(self):
        super().setUp()
        self.write("sine.wsy", SINE_PATCH)

    def run_render(self, *args, patch=None):
        cmd = [RENDER, "--patch", patch or self.path("sine.wsy"), *args, "-o", self.path("out.wav")]
        return subprocess.run(cmd, capture_output=True, timeout=300)

    def render(self, rate, *args, patch=None, script=None, header=None):
        """The left channel of a render at `rate` (None: no --rate option; the
        WAV file then says `header`, else 44100)."""
        if script is not None:
            args += ("--events", self.write("s.events", "".join(line + "\n" for line in script)))
        if rate is not None:
            args = ("--rate", str(rate)) + args
        r = self.run_render(*args, patch=patch)
        self.assertEqual(r.returncode, 0, r.stderr)
        # read_wav checks the WAV header's rate.
        return read_wav(self.path("out.wav"), rate=rate or header or 44100)[0::2], r

    def at(self, rate, seconds):
        return int(round(seconds * rate))

    def test_keys_play_their_notes_at_every_rate(self):
        for rate in RATES + (44100,):
            with self.subTest(rate=rate):
                script = []
                for k, (key, _) in enumerate(KEYS):
                    script += ["%d %s down" % (self.at(rate, 0.5 * k), key),
                               "%d %s up" % (self.at(rate, 0.5 * k + 0.4), key)]
                left, _ = self.render(rate, "--no-autoplay", "--frames", str(self.at(rate, 3.0)), script=script)
                for k, (key, note) in enumerate(KEYS):
                    part = left[self.at(rate, 0.5 * k + 0.02):self.at(rate, 0.5 * k + 0.38)]
                    hz = pitch(part, rate)
                    self.assertLess(abs(hz / note_hz(note + 11) - 1), 0.0005, "%s at %d Hz: %.3f Hz" % (key, rate, hz))

    def test_bundled_patch_has_the_same_spectral_peaks(self):
        bands = ((380, 500), (820, 940))
        peaks = {}
        for rate in (44100,) + RATES:
            left, _ = self.render(rate, "--no-autoplay", "--frames", str(self.at(rate, 0.5)), patch=BUNDLED,
                                  script=["0 z down"])
            # Zero-padded to bins of a third of a hertz or so at every rate: the
            # vibrato's and the tremolo's sidebands, a few hertz apart, stand apart.
            found = spectral_peaks(left[self.at(rate, 0.01):self.at(rate, 0.41)], bands[0][0], bands[-1][1], rate,
                                   padded=1 << (2 * rate).bit_length())
            peaks[rate] = [hz for hz, _ in found if any(low <= hz <= high for low, high in bands)]
        self.assertGreaterEqual(len(peaks[44100]), 2, peaks[44100])
        for rate in RATES:
            with self.subTest(rate=rate):
                self.assertEqual(len(peaks[rate]), len(peaks[44100]), (peaks[rate], peaks[44100]))
                for a, b in zip(peaks[rate], peaks[44100]):
                    self.assertLessEqual(abs(a - b), 1, (peaks[rate], peaks[44100]))

    def last_sound(self, left):
        return max(i for i, s in enumerate(left) if s != 0)

    def test_a_note_ends_after_the_same_time(self):
        for rate in (44100,) + RATES:
            with self.subTest(rate=rate):
                left, _ = self.render(rate, "--no-autoplay", "--frames", str(self.at(rate, 1.0)), script=["0 z down"])
                # The last sounding frame, then silence: the note ends by itself.
                end = (self.last_sound(left) + 1) / rate
                self.assertLess(abs(end / NOTE_SECONDS - 1), 0.002, "%d Hz: the note ends at %.5f s" % (rate, end))

    def note_starts(self, left, rate):
        """The frames where notes begin. A note ends with its level at 0 and
        the next one starts from 0, so two silent frames come before the
        first sample of each note; the last such pair before a loud sample
        (the attack is 4.5 ms long) marks the start."""
        rise, skip = self.at(rate, 0.006), self.at(rate, 0.2)
        padded = [0, 0] + left  # the first note starts at frame 0
        after_silence = lambda c: padded[c - 1] == 0 and padded[c - 2] == 0 and padded[c] != 0
        starts, i = [], 2
        while i < len(padded):
            if after_silence(i):
                j = i
                while j < min(len(padded), i + rise) and abs(padded[j]) <= 2000:
                    j += 1
                if j < min(len(padded), i + rise):
                    k = max(c for c in range(i, j + 1) if after_silence(c))
                    starts.append(k - 2)
                    i = k + skip
                    continue
            i += 1
        return starts

    def autoplay(self, rate):
        left, run = self.render(rate, "--frames", str(self.at(rate, 2.4)))
        starts = self.note_starts(left, rate)
        notes = [pitch(left[s + self.at(rate, 0.02):s + self.at(rate, 0.3)], rate) for s in starts]
        return [s / rate for s in starts], notes, run.stdout[run.stdout.index(b"MIAM"):]

    def test_autoplay_plays_the_same_notes_at_the_same_times(self):
        times, notes, words = self.autoplay(44100)
        # The generator's first notes: 54, 60, 57, one a note's length apart.
        self.assertEqual(len(times), 6, times)
        for hz, note in zip(notes, (54, 60, 57)):
            self.assertLess(abs(hz / note_hz(note + 11) - 1), 0.0005, notes)
        for rate in RATES:
            with self.subTest(rate=rate):
                t, n, w = self.autoplay(rate)
                self.assertEqual(w, words, "the same TRIG, UNTRIG and MIAM lines")
                self.assertEqual(len(t), len(times), t)
                for a, b in zip(t[1:], times[1:]):
                    self.assertLess(abs(a / b - 1), 0.002, (t, times))
                for a, b in zip(n, notes):
                    self.assertLess(abs(a / b - 1), 0.0005, (n, notes))

    def test_midi_file_events_land_at_the_floor_of_t_times_the_rate(self):
        # 480 ticks a quarter at 500,000 us: a tick is 1041.666... us.
        data = smf(0, 480, [track([(7, [0x90, 69, 100]), (300, [0x80, 69, 0]), (13, [0x90, 81, 100]),
                                   (211, [0x80, 81, 0])])])
        midi = self.write("m.mid", data)
        for rate in RATES:
            with self.subTest(rate=rate):
                # Ticks 7, 307, 320, 531: t = ticks * 500000 / 480 us, in whole numbers.
                frames = [ticks * 500000 * rate // (480 * 1000000) for ticks in (7, 307, 320, 531)]
                left, _ = self.render(rate, "--no-autoplay", "--midi", midi)
                self.assertEqual(len(left), frames[-1] + rate, "one second after the last event")
                script = ["%d midi 90 45 64" % frames[0], "%d midi 80 45 00" % frames[1],
                          "%d midi 90 51 64" % frames[2], "%d midi 80 51 00" % frames[3]]
                played, _ = self.render(rate, "--no-autoplay", "--frames", str(len(left)), script=script)
                self.assertEqual(left, played)
                onset = next(i for i, s in enumerate(left) if s != 0)
                self.assertIn(onset - frames[0], (1, 2), "the first note sounds right after its frame")
                self.assertAlmostEqual(pitch(left[frames[0] + 10:frames[1]], rate), 440.0, delta=0.5)

    def test_default_length_is_ten_seconds(self):
        left, _ = self.render(22050, "--no-autoplay")
        self.assertEqual(len(left), 220500)

    def test_the_scripts_rate_line_sets_the_rate(self):
        script = ["# a session", "0 rate 48000", "0 z down", "24000 z up", "48000 end"]
        plain, _ = self.render(None, script=script, header=48000)
        self.assertEqual(len(plain), 48000)
        asked, _ = self.render(48000, script=script)
        self.assertEqual(plain, asked)
        self.assertAlmostEqual(pitch(plain[1000:20000], 48000), 440.0, delta=0.2)
        # A script without the line plays at the rate asked for, frames counted at it.
        at_96k, _ = self.render(96000, script=script[2:])
        self.assertEqual(len(at_96k), 48000)
        self.assertLess(abs(self.last_sound(at_96k) - 24000), 5, "released at 0.25 s")

        r = self.run_render("--rate", "44100", "--events", self.write("s.events", "\n".join(script) + "\n"))
        self.assertEqual(r.returncode, 2)
        first = r.stderr.decode().split("\n")[0]
        self.assertIn("48000 Hz", first)
        self.assertIn("44100 Hz", first)

    def test_44100_asked_for_is_44100_unchanged(self):
        script = ["0 z down", "10000 z up", "20000 user", "30000 midi 90 40 50"]
        asked, r1 = self.render(44100, "--frames", "60000", script=script)
        plain, r2 = self.render(None, "--frames", "60000", script=script)
        self.assertEqual(asked, plain)
        self.assertEqual(re.sub(rb"0x[0-9a-f]+", b"", r1.stdout), re.sub(rb"0x[0-9a-f]+", b"", r2.stdout))


if __name__ == "__main__":
    unittest.main(verbosity=2)
