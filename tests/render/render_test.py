#!/usr/bin/env python3
"""wsy-render, the real binary on real files: timeline, determinism, event
scripts, command line, exit statuses, and the bundled and example patches."""
import hashlib
import os
import re
import subprocess
import unittest

from wsytest import SINE_PATCH, FolderTest, note_hz, pitch, read_wav

RENDER = os.environ["WSY_RENDER"]
SOURCE_DIR = os.environ["WSY_SOURCE_DIR"]
NOTE_FRAMES = 20205  # an unreleased note with the default envelope

ADDRESS = re.compile(rb"0x[0-9a-f]+|\(nil\)")


def after_report(stdout):
    text = stdout.decode()
    return text[text.index("MIAM"):]


class Render(FolderTest):
    def render(self, *args, patch=SINE_PATCH, events=None, stdin=None, cwd=None):
        if patch is not None:
            self.write("RODUV_2.WSY", patch)
        cmd = [RENDER, *args]
        if events is not None:
            cmd += ["--events", self.write("events.txt", events)]
        return subprocess.run(cmd, cwd=cwd or self.dir.name, input=stdin, capture_output=True, timeout=120)

    def test_autoplay_timeline(self):
        run = self.render("--frames", str(3 * NOTE_FRAMES + 10), "-o", "out.wav")
        self.assertEqual(run.returncode, 0, run.stderr)
        out = run.stdout.decode()
        trace = out[: out.index("MIAM")]
        self.assertTrue(trace.startswith("OBJET [LFO1]\nVCO\nparamSET : [*FREQ=0]\n"))
        self.assertEqual(out[len(trace):], "MIAM\nUNTRIG\n\nTRIG\n" * 4)
        left = read_wav(self.path("out.wav"))[0::2]
        self.assertEqual(len(left), 3 * NOTE_FRAMES + 10)
        # Each note starts from silence and the next one begins 20205 frames later.
        for start in (0, NOTE_FRAMES, 2 * NOTE_FRAMES):
            self.assertEqual(left[start], 0)
            self.assertNotEqual(max(map(abs, left[start + 300:start + 2000])), 0)
        # The first random notes are 54, 60, 57 (329.6, 466.2, 392.0 Hz).
        for note, start in ((54, 0), (60, NOTE_FRAMES), (57, 2 * NOTE_FRAMES)):
            hz = pitch(left[start + 200:start + 8000])
            self.assertAlmostEqual(hz, note_hz(note + 11), delta=2.0)
        self.assertIn(b"frames", run.stderr)

    def test_renders_are_bit_exact(self):
        events = "100 z down\n9000 z up\n12000 x down\n30000 return down\n30010 return up\n50000 user\n"
        a = self.render("--frames", "90000", "-o", "a.wav", events=events)
        b = self.render("--frames", "90000", "-o", "b.wav", events=events, patch=None)
        self.assertEqual(a.returncode, 0, a.stderr)
        with open(self.path("a.wav"), "rb") as fa, open(self.path("b.wav"), "rb") as fb:
            self.assertEqual(fa.read(), fb.read())
        self.assertEqual(ADDRESS.sub(b"", a.stdout), ADDRESS.sub(b"", b.stdout))

    def test_key_held_release_and_pitch(self):
        run = self.render("--frames", "60000", "-o", "out.wav", events="1000 z down\n9000 z up\n")
        self.assertEqual(run.returncode, 0, run.stderr)
        tail = after_report(run.stdout)
        # Auto-play first, then z retriggers; its release silences and stops auto-play.
        self.assertEqual(tail, "MIAM\nUNTRIG\n\nTRIG\n\nTRIG\nUNTRIG\n")
        left = read_wav(self.path("out.wav"))[0::2]
        self.assertAlmostEqual(pitch(left[1300:8900]), 440.0, delta=0.5)
        self.assertTrue(all(s == 0 for s in left[9002:]))

    def test_key_held_past_the_note_lets_random_notes_follow(self):
        run = self.render("--frames", str(NOTE_FRAMES * 2 + 5000), "-o", "out.wav",
                          events="0 b down\n%d b up\n" % (NOTE_FRAMES + 3000))
        # b is queued before the first turn, so it plays before any auto-play.
        self.assertTrue(run.stdout.endswith(b"]\n\nTRIG\nMIAM\nUNTRIG\n\nTRIG\nUNTRIG\n"), run.stdout[-80:])

    def test_patch_lines_swap_the_patch_at_their_frame(self):
        # The script and its patch in a folder of their own; the render runs elsewhere.
        os.mkdir(self.path("take"))
        self.write("take/up.wsy", SINE_PATCH.replace("VCO1;", "VCO1;*NOTE=12;"))
        script = self.write("take/take.log", "0 z down\n5000 patch up.wsy\n12000 z up\n")
        run = self.render("--frames", "14000", "--no-autoplay", "-o", "out.wav", "--events", script)
        self.assertEqual(run.returncode, 0, run.stderr)
        left = read_wav(self.path("out.wav"))[0::2]
        self.assertAlmostEqual(pitch(left[200:5000]), 440.0, delta=0.5)
        self.assertAlmostEqual(pitch(left[5000:11900]), 880.0, delta=1)
        # The envelope goes on: no new attack, the loudness just as before the swap.
        before, after = max(map(abs, left[4700:5000])), max(map(abs, left[5000:5300]))
        self.assertAlmostEqual(after / before, 1, delta=0.02)
        # The new patch's trace and report come where it was swapped in, once.
        tail = run.stdout.decode().split("\nTRIG\n", 1)[1]
        self.assertTrue(tail.startswith("OBJET [LFO1]"), tail[:40])
        self.assertEqual(tail.count("paramSET : [*NOTE=12]"), 1)
        self.assertTrue(tail.endswith("]\nUNTRIG\n"), tail[-40:])

    def test_enter_retune_stays_with_the_old_patch(self):
        self.write("same.wsy", SINE_PATCH)
        run = self.render("--frames", "9000", "--no-autoplay", "-o", "out.wav",
                          events="0 z down\n1000 return down\n4000 patch same.wsy\n")
        self.assertEqual(run.returncode, 0, run.stderr)
        left = read_wav(self.path("out.wav"))[0::2]
        self.assertGreater(pitch(left[1200:4000]), 10000, "Enter retuned the oscillator far up")
        self.assertAlmostEqual(pitch(left[4000:9000]), 440.0, delta=0.5)

    def test_escape_stops_the_render(self):
        for state in ("down", "up"):
            run = self.render("--frames", "10000", "-o", "out.wav", events="500 escape %s\n600 z down\n" % state)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertEqual(len(read_wav(self.path("out.wav"))), 2 * 500)
            self.assertEqual(run.stdout.count(b"\nTRIG\n"), 1)  # z at 600 never came

    def test_enter_close_other_keys_and_stdin_script(self):
        script = b"# comment\n\n0 return down\n0 return up\n10 close\n20 q down\n20 q up\n30 7 down\n"
        run = self.render("--frames", "100", "-o", "out.wav", "--events", "-", stdin=script)
        self.assertEqual(run.returncode, 0, run.stderr)
        # Enter retriggers and its release silences: no auto-play follows.
        self.assertTrue(run.stdout.endswith(b"]\n\nTRIG\nUNTRIG\n"), run.stdout[-80:])

    def test_zero_frames_and_events_beyond_the_end(self):
        run = self.render("--frames", "0", "-o", "out.wav", events="0 z down\n")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertNotIn(b"MIAM", run.stdout)
        self.assertEqual(read_wav(self.path("out.wav")), [])

    def test_bad_event_scripts(self):
        cases = {
            "10 z down\n5 z up\n": "line 2: frames must not decrease",
            "x z down\n": "line 1: the frame must be",
            "-1 z down\n": "line 1: the frame must be",
            "0 shift down\n": "line 1: unknown key",
            "0 Z down\n": "line 1: unknown key",
            "\n0 z pressed\n": "line 2: the key state",
            "0 z\n": "line 1: expected",
            "0 user now\n": "line 1:",
        }
        for script, message in cases.items():
            run = self.render("-o", "out.wav", events=script)
            self.assertEqual(run.returncode, 2, script)
            self.assertIn(message, run.stderr.decode(), script)
            self.assertEqual(run.stdout, b"", script)

    def test_bad_command_lines(self):
        for args in (["--frames", "-3", "-o", "x.wav"], ["--frames", "many", "-o", "x.wav"], [],
                     ["--bogus", "-o", "x.wav"], ["-o"], ["-o", "x.wav", "extra"],
                     ["--events", "/nonexistent/script", "-o", "x.wav"]):
            run = self.render(*args)
            self.assertEqual(run.returncode, 2, args)
            self.assertIn(b"usage: wsy-render", run.stderr, args)
        run = self.render("--help")
        self.assertEqual(run.returncode, 0)
        self.assertIn(b"usage: wsy-render", run.stdout)

    def test_unreadable_patch_and_unwritable_output(self):
        run = self.render("--patch", self.path("missing.wsy"), "-o", "out.wav", patch=None)
        self.assertEqual(run.returncode, 1)
        self.assertIn(b"missing.wsy", run.stderr)
        self.assertIn(b"No such file or directory", run.stderr)
        self.assertEqual(run.stdout, b"")
        os.mkdir(self.path("folder"))
        run = self.render("--patch", self.path("folder"), "-o", "out.wav", patch=None)
        self.assertEqual(run.returncode, 1)
        self.assertIn(b"directory", run.stderr)
        run = self.render("-o", self.path("no/such/dir/out.wav"))
        self.assertEqual(run.returncode, 1)
        self.assertIn(b"cannot write", run.stderr)

    def test_default_patch_comes_from_the_working_directory(self):
        run = self.render("--frames", "10", "-o", "out.wav", patch="VCO_HERE;\n")
        self.assertTrue(run.stdout.startswith(b"OBJET [VCO_HERE]\nVCO\n"))
        self.assertIn(b"no MIXER entry has a link", run.stderr)

    def test_bundled_and_example_patches_sound_without_wrapping(self):
        patches = [os.path.join(SOURCE_DIR, "RODUV_2.WSY")]
        folder = os.path.join(SOURCE_DIR, "patches")
        patches += sorted(os.path.join(folder, f) for f in os.listdir(folder))
        self.assertGreaterEqual(len(patches), 6)
        for patch in patches:
            run = self.render("--patch", patch, "--frames", str(2 * NOTE_FRAMES + 2000), "-o", "out.wav", patch=None)
            self.assertEqual(run.returncode, 0, patch)
            self.assertEqual(run.stderr.count(b"warning"), 0, (patch, run.stderr))
            left = read_wav(self.path("out.wav"))[0::2]
            peak = max(map(abs, left))
            jump = max(abs(b - a) for a, b in zip(left, left[1:]))
            self.assertGreater(peak, 3000, patch)      # audible
            self.assertLess(peak, 30000, patch)       # far from the wrap at 32768
            self.assertLess(jump, 20000, patch)       # no sudden wrap-around

    def test_renders_match_the_recorded_samples(self):
        # A regression guard: speed work on the engine must not change one sample.
        # The hashes were recorded from the first engine, whose numbers the unit
        # tests check against the sound's definition.
        golden = os.path.join(SOURCE_DIR, "tests", "golden")
        with open(os.path.join(golden, "samples.sha256")) as f:
            expected = [line.split() for line in f if line.strip()]
        self.assertEqual(len(expected), 7)
        for digest, patch in expected:
            run = self.render("--patch", os.path.join(SOURCE_DIR, patch), "--frames", "200000",
                              "--events", os.path.join(golden, "events.txt"), "-o", "out.wav", patch=None)
            self.assertEqual(run.returncode, 0, run.stderr)
            frames = read_wav(self.path("out.wav"), raw=True)
            self.assertEqual(hashlib.sha256(frames).hexdigest(), digest, patch)


if __name__ == "__main__":
    unittest.main(verbosity=2)
