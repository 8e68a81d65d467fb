#!/usr/bin/env python3
"""wsy-render with several voices and with velocity, the real binary on real
files: a chord from a MIDI file sounds its three notes, each at its own pitch,
and is the sum of the notes played alone; one voice plays the newest note as
wsy always has; many voices add up to the 16-bit limits and stay there
instead of wrapping around; a note's level follows its velocity squared; the
default options change no byte; a script's voices and velocity lines play as
the same options on the command line. Pitches are checked against the musical
definition (MIDI note 69 is 440 Hz, a semitone 2^(1/12)), levels against
renders of single notes and against the velocity rule's own words."""
import hashlib
import math
import os
import re
import subprocess
import unittest

from wsytest import LEAD_PATCH, SINE_PATCH, FolderTest, note_hz, pitch, read_wav, smf, spectral_peaks, track

RENDER = os.environ["WSY_RENDER"]
SOURCE_DIR = os.environ["WSY_SOURCE_DIR"]
BUNDLED = os.path.join(SOURCE_DIR, "RODUV_2.WSY")
GOLDEN = os.path.join(SOURCE_DIR, "tests", "golden")
ADDRESS = re.compile(rb"0x[0-9a-f]+|\(nil\)")

A3, C_SHARP_4, E4 = 57, 61, 64
CHORD = (A3, C_SHARP_4, E4)


def largest_jump(samples):
    """The largest difference between neighbouring frames of either channel."""
    return max(max(abs(b - a) for a, b in zip(ch, ch[1:])) for ch in (samples[0::2], samples[1::2]))


def rms(values):
    return math.sqrt(sum(v * v for v in values) / len(values))


def notes_file(notes, velocity=127, seconds=0.6):
    """A format-0 file: every note of `notes` on at time 0 (in that order)
    with `velocity` (one value, or one per note), all off after `seconds`."""
    velocities = velocity if isinstance(velocity, (list, tuple)) else [velocity] * len(notes)
    # 480 ticks a quarter note at 500,000 us: 960 ticks a second.
    events = [(0, [0x90, n, v]) for n, v in zip(notes, velocities)]
    events += [(int(seconds * 960) if i == 0 else 0, [0x80, n, 0]) for i, n in enumerate(notes)]
    return smf(0, 480, [track(events)])


class VoicesRender(FolderTest):
    def setUp(self):
        super().setUp()
        self.write("sine.wsy", SINE_PATCH)
        self.write("lead.wsy", LEAD_PATCH)
        self.count = 0

    def run_render(self, *args, patch="sine.wsy"):
        """The samples (interleaved stereo), the raw bytes and the run."""
        self.count += 1
        out = self.path("out%d.wav" % self.count)
        patch_path = patch if os.path.isabs(patch) else self.path(patch)
        r = subprocess.run([RENDER, "--patch", patch_path, *args, "-o", out], capture_output=True, timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return read_wav(out), read_wav(out, raw=True), r

    def midi(self, data, *args, frames=30000, patch="sine.wsy"):
        self.count += 1
        name = self.write("notes%d.mid" % self.count, data)
        return self.run_render("--no-autoplay", "--midi", name, "--frames", str(frames), *args, patch=patch)

    def script(self, lines, *args, patch="sine.wsy"):
        self.count += 1
        name = self.write("s%d.events" % self.count, "".join(line + "\n" for line in lines))
        return self.run_render("--events", name, *args, patch=patch)

    def sum_of_notes_alone(self, notes, frames, patch="sine.wsy"):
        """Each note rendered alone (one voice, the note's own file), summed."""
        total = [0] * (2 * frames)
        for note in notes:
            alone, _, _ = self.midi(notes_file([note]), frames=frames, patch=patch)
            total = [t + s for t, s in zip(total, alone)]
        return total

    # ---- A chord ----

    def test_a_chord_from_a_midi_file_sounds_its_three_fundamentals(self):
        samples, _, run = self.midi(notes_file(CHORD), "--voices", "3")
        left = samples[0::2]
        # From the end of the rise (201 frames) through the three notes' decay.
        peaks = spectral_peaks(left[300:300 + 16384], 100, 2000)
        self.assertEqual(len(peaks), 3, "the peaks found: %s" % peaks)
        for (hz, _), note in zip(sorted(peaks), CHORD):
            self.assertLess(abs(hz / note_hz(note) - 1), 0.0005,
                            "note %d: a peak at %.4f Hz for %.4f Hz" % (note, hz, note_hz(note)))
        # The three notes are as loud as each other, as when each plays alone.
        mags = [m for _, m in peaks]
        self.assertLess(max(mags) / min(mags), 1.05, mags)
        self.assertEqual(run.stdout.count(b"TRIG\n") - run.stdout.count(b"UNTRIG\n"), 3, "TRIG for each note")

    def test_a_chord_is_the_sum_of_its_notes_played_alone(self):
        frames = 25000
        chord, _, _ = self.midi(notes_file(CHORD), "--voices", "3", frames=frames)
        alone = self.sum_of_notes_alone(CHORD, frames)
        self.assertGreater(max(chord), 10000, "three notes sound together")
        # Each render alone truncates its samples toward zero; the chord
        # truncates the sum once: at most one step each apart.
        worst = max(abs(a - b) for a, b in zip(chord, alone))
        self.assertLessEqual(worst, len(CHORD), "the chord and its notes alone differ by up to %d" % worst)

    def test_with_one_voice_the_chord_plays_the_newest_note_as_without_the_option(self):
        data = notes_file(CHORD)
        one, one_bytes, one_run = self.midi(data, "--voices", "1")
        _, plain_bytes, plain_run = self.midi(data)
        self.assertEqual(one_bytes, plain_bytes)
        self.assertEqual(ADDRESS.sub(b"0x", one_run.stdout), ADDRESS.sub(b"0x", plain_run.stdout))
        hz = pitch(one[0::2][300:19000])
        self.assertLess(abs(hz / note_hz(E4) - 1), 0.0005, "%.3f Hz, not E4's %.3f Hz" % (hz, note_hz(E4)))

    # ---- Many voices at the limits ----

    def test_thirty_two_voices_at_full_level_sit_at_the_limits_and_never_wrap(self):
        frames = 20000
        notes = list(range(45, 77))  # 32 notes, each a full-level sine of the patch
        self.assertEqual(len(notes), 32)
        full, _, _ = self.midi(notes_file(notes), "--voices", "32", frames=frames)
        alone = self.sum_of_notes_alone(notes, frames)
        self.assertEqual(max(full), 32767)
        self.assertEqual(min(full), -32768)
        self.assertLessEqual(largest_jump(full), 32768, "a sample wrapped around")
        beyond = at_limits = 0
        for i, (got, total) in enumerate(zip(full, alone)):
            # The notes alone differ from the exact sum by less than one step each.
            if total > 32767 + len(notes):
                beyond += 1
                self.assertEqual(got, 32767, "frame %d: the notes add up to %d" % (i // 2, total))
            elif total < -32768 - len(notes):
                beyond += 1
                self.assertEqual(got, -32768, "frame %d: the notes add up to %d" % (i // 2, total))
            else:
                self.assertLessEqual(abs(got - total), len(notes), "frame %d" % (i // 2))
            at_limits += got in (32767, -32768)
        self.assertGreater(beyond, len(full) // 20, "the notes add up beyond the limits often")
        self.assertGreaterEqual(at_limits, beyond)

    def test_no_render_wraps_around_with_many_voices(self):
        chords = [list(range(40, 72)), list(range(52, 60)), [57, 61, 64, 69, 73, 76]]
        for patch in ("sine.wsy", "lead.wsy", BUNDLED):
            for notes in chords:
                for voices in (len(notes), 32):
                    with self.subTest(patch=os.path.basename(patch), notes=len(notes), voices=voices):
                        samples, _, _ = self.midi(notes_file(notes), "--voices", str(voices), frames=25000,
                                                  patch=patch)
                        self.assertGreater(max(map(abs, samples)), 3000, "audible")
                        self.assertLessEqual(largest_jump(samples), 32768)
        # The auto-play and keys of the golden script on many voices.
        with open(os.path.join(GOLDEN, "events.txt")) as f:
            golden = f.read().splitlines()
        samples, _, _ = self.script(golden, "--voices", "32", "--frames", "200000", patch=BUNDLED)
        self.assertLessEqual(largest_jump(samples), 32768)

    # ---- Velocity ----

    def test_at_full_sensitivity_the_level_goes_with_velocity_squared(self):
        for voices in ("1", "4"):
            with self.subTest(voices=voices):
                soft, _, _ = self.midi(notes_file([69], velocity=32), "--velocity", "1", "--voices", voices)
                loud, _, _ = self.midi(notes_file([69], velocity=127), "--velocity", "1", "--voices", voices)
                ratio = rms(soft[0::2][:20000]) / rms(loud[0::2][:20000])
                self.assertLess(abs(ratio / (32 / 127) ** 2 - 1), 0.005, "RMS ratio %.6f" % ratio)

    def test_without_sensitivity_velocity_changes_nothing(self):
        _, soft, _ = self.midi(notes_file(CHORD, velocity=[1, 32, 90]), "--voices", "3")
        _, loud, _ = self.midi(notes_file(CHORD, velocity=127), "--voices", "3")
        self.assertEqual(soft, loud)
        _, soft_s0, _ = self.midi(notes_file(CHORD, velocity=[1, 32, 90]), "--voices", "3", "--velocity", "0")
        self.assertEqual(soft_s0, loud)

    def test_keys_play_at_full_velocity(self):
        lines = ["0 z down", "0 c down", "15000 z up", "15000 c up", "20000 end"]
        _, keys_s1, _ = self.script(lines, "--no-autoplay", "--voices", "2", "--velocity", "1")
        _, keys_s0, _ = self.script(lines, "--no-autoplay", "--voices", "2")
        self.assertEqual(keys_s1, keys_s0)

    # ---- The defaults change nothing ----

    def test_one_voice_and_no_sensitivity_give_the_recorded_golden_samples(self):
        with open(os.path.join(GOLDEN, "samples.sha256")) as f:
            expected = [line.split() for line in f if line.strip()]
        self.assertGreater(len(expected), 0)
        for digest, patch in expected:
            with self.subTest(patch=patch):
                _, frames, _ = self.run_render("--voices", "1", "--velocity", "0", "--frames", "200000",
                                               "--events", os.path.join(GOLDEN, "events.txt"),
                                               patch=os.path.join(SOURCE_DIR, patch))
                self.assertEqual(hashlib.sha256(frames).hexdigest(), digest)

    def test_one_voice_and_no_sensitivity_give_the_same_bytes_as_no_options(self):
        data = smf(0, 480, [track([(0, [0x90, 60, 20]), (100, [0x90, 64, 127]), (200, [0x80, 60, 0]),
                                   (50, [0xE0, 0, 0x50]), (300, [0xB0, 64, 127]), (10, [0x80, 64, 0]),
                                   (400, [0x90, 67, 64]), (50, [0xB0, 64, 0]), (500, [0xB0, 123, 0])])])
        for patch in ("sine.wsy", BUNDLED):
            with self.subTest(patch=os.path.basename(patch)):
                name = self.write("mixed.mid", data)
                _, with_options, r1 = self.run_render("--voices", "1", "--velocity", "0", "--midi", name,
                                                      "--frames", "200000", patch=patch)
                _, without, r2 = self.run_render("--midi", name, "--frames", "200000", patch=patch)
                self.assertEqual(with_options, without)
                self.assertEqual(ADDRESS.sub(b"0x", r1.stdout), ADDRESS.sub(b"0x", r2.stdout))
                self.assertIn(b"MIAM", r1.stdout, "the auto-play played too")

    # ---- Scripts ----

    CHORD_SCRIPT = ["0 midi 90 39 20", "0 midi 90 3D 50", "100 midi 90 40 7F", "9000 midi 80 3D 00",
                    "12000 z down", "14000 z up", "16000 midi B0 40 7F", "17000 midi 80 39 00",
                    "20000 midi B0 40 00", "30000 end"]

    def test_a_scripts_voices_and_velocity_lines_play_as_the_options(self):
        header = ["# a take", "0 rate 44100", "0 voices 4", "0 velocity 0.5"]
        _, from_lines, r1 = self.script(header + self.CHORD_SCRIPT, "--no-autoplay")
        _, from_options, r2 = self.script(self.CHORD_SCRIPT, "--no-autoplay", "--voices", "4", "--velocity", "0.5")
        _, plain, _ = self.script(self.CHORD_SCRIPT, "--no-autoplay")
        self.assertEqual(from_lines, from_options)
        self.assertEqual(ADDRESS.sub(b"0x", r1.stdout), ADDRESS.sub(b"0x", r2.stdout))
        self.assertNotEqual(from_lines, plain, "the lines change how the script plays")
        self.assertNotIn(b"as --voices asks", r1.stderr)

    def test_the_command_line_plays_a_script_with_other_voices_and_says_so(self):
        header = ["0 voices 4", "0 velocity 0.5"]
        _, overridden, r = self.script(header + self.CHORD_SCRIPT, "--no-autoplay", "--voices", "2",
                                       "--velocity", "1")
        _, asked, _ = self.script(self.CHORD_SCRIPT, "--no-autoplay", "--voices", "2", "--velocity", "1")
        self.assertEqual(overridden, asked)
        err = r.stderr.decode()
        self.assertIn("played with 4 voices", err)
        self.assertIn("rendering with 2", err)
        self.assertIn("played with velocity 0.5", err)
        # The same values on the command line as in the script: nothing to say.
        _, same, r = self.script(header + self.CHORD_SCRIPT, "--no-autoplay", "--voices", "4", "--velocity", "0.5")
        self.assertNotIn("played with", r.stderr.decode())

    def test_a_velocity_line_keeps_every_digit(self):
        # 0.1 + 0.2 is not 0.3 in binary: a script that says it plays as the option that says it.
        header = ["0 voices 3", "0 velocity 0.30000000000000004"]
        _, from_line, _ = self.script(header + self.CHORD_SCRIPT, "--no-autoplay")
        _, from_option, _ = self.script(self.CHORD_SCRIPT, "--no-autoplay", "--voices", "3", "--velocity",
                                        repr(0.1 + 0.2))
        self.assertEqual(from_line, from_option)


if __name__ == "__main__":
    unittest.main(verbosity=2)
