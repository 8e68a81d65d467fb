"""Live reload on a JACK dummy server: a saved patch is heard while the note
goes on, without a gap, and a session of reloads recorded with --record
re-renders bit for bit, also while the file is rewritten a hundred times a
second with good, cut, empty and removed versions. jack_rec records wsy's
ports; the server's frame clock, read through a JACK client of the test's own
(one without ports or callback, so that it never holds up the graph), times
the key and the write, and wsy's log gives the frames they were applied at.

What these tests claim holds however busy the machine is, in every build
(sanitizers included): no gap longer than one block in the note held across
a reload, and every recorded stretch is the render of the session's log, one
patch's sound or the other's. How often a busy machine makes wsy miss a period (its
underflows) is a figure for bench/latency.py (its "reload" part), not a
test's."""

import os
import random
import re
import signal
import subprocess
import sys
import time
import unittest

import wsytest
from wsytest import (HELP, RATE, SINE_PATCH, SLOW, Wsy, base_env, focus_window, offset_in, rising_crossings,
                     start_jack, start_xvfb, work_dir, xdotool)

try:
    import jack
except ImportError:  # python3-jack-client; scripts/setup installs it
    jack = None

RENDER = os.environ.get("WSY_RENDER", "")
PERIOD = 256
OCTAVE_UP = SINE_PATCH.replace("VCO1;", "VCO1;*NOTE=12;")


def underflows(err):
    m = re.search(r"wsy: (\d+) underflows? while playing", err)
    return int(m.group(1)) if m else 0


def longest_silence(samples, start, end):
    """The longest run of silent frames (both channels 0) in frames start..end - 1."""
    run = longest = 0
    for frame in range(start, end):
        run = run + 1 if samples[2 * frame] == 0 and samples[2 * frame + 1] == 0 else 0
        longest = max(longest, run)
    return longest


class Reload(unittest.TestCase):
    def setUp(self):
        if jack is None:
            self.skipTest("the JACK client for Python is not installed (scripts/setup installs python3-jack-client)")
        self.server = start_jack(self, rate=RATE, period=PERIOD)
        self.work = work_dir(self)
        self.patch = os.path.join(self.work, "RODUV_2.WSY")
        self.log = os.path.join(self.work, "take.log")

    def start(self, env, args=()):
        w = Wsy(self, self.work, env, args=("--record", self.log, *args))
        w.send(b"31")
        w.out.wait_contains(HELP, timeout=20)
        wsytest.wait_for_port(self.server, "wsy:out_2")
        return w

    def jack_rec(self, seconds):
        """jack_rec on wsy's ports: a recorder in C with its own disk thread,
        for long runs during which this process is busy writing files."""
        path = os.path.join(self.work, "rec.wav")
        recorder = wsytest.start_jack_rec(self, self.server, path, seconds)
        return recorder, path

    def check_render(self, w, recorded, autoplay, err):
        """The log re-renders to the recorded samples and the same words.
        Returns the log's lines and the stretches the recording was compared
        in: (first recorded frame, render frame - recorded frame) for each,
        a new one wherever the comparison had to pick up again."""
        with open(self.log) as f:
            lines = f.read().splitlines()
        render_wav = os.path.join(self.work, "render.wav")
        args = [RENDER, "--patch", os.path.join(self.work, "first.wsy"), "--events", self.log, "-o", render_wav]
        r = subprocess.run(args + ([] if autoplay else ["--no-autoplay"]), capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        masked = lambda text: re.sub(rb"0x[0-9a-f]+", b"0x", text)
        live_words = w.out.snapshot().split(HELP, 1)[1]
        self.assertTrue(masked(r.stdout).endswith(masked(live_words)), (live_words[-300:], r.stdout[-300:]))
        rendered = wsytest.read_wav(render_wav)
        k = offset_in(rendered, recorded)
        # From the first sound on: the recorder's ports were connected after it started.
        first = max(next(i for i, v in enumerate(recorded) if v != 0) // 2, -k)
        last = max(i for i, s in enumerate(recorded) if s != 0) // 2
        compared = 0
        # A period wsy missed (an underflow: the machine was too busy) leaves
        # a block out of the recording, and the engine goes on where it was:
        # the comparison may pick up again past it, once for each underflow
        # wsy reported, where the recording is the render once more.
        resyncs = underflows(err)
        stretches = [(first, k)]
        frame = first
        while frame <= last:
            at = frame + k
            if at >= len(rendered) // 2:
                break
            if recorded[2 * frame:2 * frame + 2] != rendered[2 * at:2 * at + 2]:
                if len(stretches) > resyncs:
                    self.fail("frame %d of the render: recorded %s, rendered %s (%d equal before, %d underflows)"
                              % (at, recorded[2 * frame:2 * frame + 2], rendered[2 * at:2 * at + 2], compared,
                                 resyncs))
                frame += 2 * PERIOD
                k = offset_in(rendered, recorded[2 * frame:]) - frame
                stretches.append((frame, k))
                continue
            compared += 1
            frame += 1
        if resyncs:
            print("\n%d underflows; the recording picked up the render again at %d places"
                  % (resyncs, len(stretches) - 1), file=sys.stderr)
        self.assertGreater(compared, 0.3 * RATE, "less than 0.3 s compared")
        return lines, stretches

    def save_first_patch(self):
        with open(self.patch) as f, open(os.path.join(self.work, "first.wsy"), "w") as copy:
            copy.write(f.read())

    def test_saved_patch_is_heard_while_the_note_goes_on(self):
        self.save_first_patch()
        display = start_xvfb(self)
        w = self.start(base_env(DISPLAY=display, JACK_DEFAULT_SERVER=self.server), ("--no-autoplay",))
        clock = jack.Client("wsyclock%d" % os.getpid(), no_start_server=True, servername=self.server)
        self.addCleanup(clock.close)
        hold = 0.6 * SLOW  # long enough for the watcher to see the write and wsy to take it
        recorder, recording = self.jack_rec(1.4 + hold)
        focus_window(display)
        time.sleep(0.2)
        xdotool(display, "keydown", "z")
        pressed = clock.frame_time
        time.sleep(0.05)
        with open(self.patch, "w") as f:  # the sounding oscillator an octave up
            f.write(OCTAVE_UP)
        written = clock.frame_time
        time.sleep(hold)
        xdotool(display, "keyup", "z")
        self.assertEqual(recorder.wait(60 * SLOW), 0, recorder.stderr.read())
        xdotool(display, "key", "Escape")
        self.assertEqual(w.wait(), 0)
        err = w.err.wait_closed().decode()
        samples = wsytest.read_jack_rec(recording)
        lines, stretches = self.check_render(w, samples, autoplay=False, err=err)

        # The new patch came while the key was held, and not before the
        # writes had settled: the watcher waits for the file to be quiet.
        key_frame = next(int(l.split()[0]) for l in lines if l.endswith(" z down"))
        swap_frame = next(int(l.split()[0]) for l in lines if re.match(r"^\d+ patch ", l))
        release_frame = next(int(l.split()[0]) for l in lines if l.endswith(" z up"))
        self.assertLess(key_frame, swap_frame)
        self.assertLess(swap_frame, release_frame, "the patch was not taken while the note sounded")
        self.assertGreater((swap_frame - key_frame - 2 * PERIOD) * 1000 / RATE, 100,
                           "heard before the writes had settled?")
        # Frames of the log are the engine's; the server's clock runs a fixed
        # distance from them. The key, pressed at `pressed`, was applied at a
        # block's start no more than two blocks later.
        heard_at_most = pressed + 2 * PERIOD + (swap_frame - key_frame)
        print("\nthe saved patch was heard at most %.0f ms after the write" % ((heard_at_most - written) * 1000 / RATE),
              file=sys.stderr)

        # In the recording: 440 Hz up to the swap, 880 Hz from there on
        # (cycles next to a place where a missed period left a hole are not
        # measured), and no gap longer than a block while the note sounds.
        # (The stress test's patches include cut ones that are silent.)
        left = samples[0::2]
        swap = next(swap_frame - k for start, k in reversed(stretches) if swap_frame - k >= start)
        holes = [start - 2 * PERIOD for start, _ in stretches[1:]]  # from the frame that differed
        sound = [i for i, v in enumerate(left) if v != 0]
        self.assertLessEqual(longest_silence(samples, sound[0], sound[-1]), PERIOD, "a gap in what was played")
        crossings = [c for c in rising_crossings(left) if sound[0] <= c <= sound[-1]]
        periods = [(b - a, a) for a, b in zip(crossings, crossings[1:])
                   if not any(a <= hole + 3 * PERIOD and b >= hole - PERIOD for hole in holes)]
        self.assertTrue(all(abs(p - 100) <= 2 for p, a in periods if a + p < swap), "z is 440 Hz up to the swap")
        self.assertTrue(all(abs(p - 50) <= 2 for p, a in periods if a > swap), "880 Hz from the swap on")
        self.assertGreater(len([a for p, a in periods if a + p < swap]), 20)
        self.assertGreater(len([a for p, a in periods if a > swap]), 100)

        self.assertTrue(any(re.match(r"^\d+ patch take\.log\.1\.wsy$", l) for l in lines), lines)
        with open(os.path.join(self.work, "take.log.1.wsy")) as f:
            self.assertEqual(f.read(), OCTAVE_UP)
        self.assertIn(b"paramSET : [*NOTE=12]", w.out.snapshot().split(HELP, 1)[1], "the new trace is printed")

    def test_stress_of_saves(self):
        """Ten seconds of rewrites, a hundred a second, through every kind of
        file, with pauses long enough for reloads in the last seven, while wsy
        plays (no display: auto-play) and jack_rec records it."""
        self.save_first_patch()
        w = self.start(base_env(JACK_DEFAULT_SERVER=self.server))
        recorder, recording = self.jack_rec(11.5)
        kinds = rewrite_for_ten_seconds(self.patch)
        self.assertEqual(recorder.wait(60 * SLOW), 0, recorder.stderr.read())
        self.assertIsNone(w.proc.poll(), "wsy is still playing")
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)
        err = w.err.wait_closed().decode()
        for bad in ("Sanitizer", "runtime error"):
            self.assertNotIn(bad, err)
        self.assertIn("cannot be read now (No such file or directory)", err, "a removed file was seen")
        self.assertGreater(min(kinds.values()), 50)
        lines, _ = self.check_render(w, wsytest.read_jack_rec(recording), autoplay=True, err=err)
        reloads = [l for l in lines if re.match(r"^\d+ patch ", l)]
        self.assertGreater(len(reloads), 20, "reloads happened all along")


def rewrite_for_ten_seconds(patch):
    """Three seconds of a write every 10 ms, good, cut, empty and removed in
    turn: wsy waits for quiet and takes none of them; then seven seconds of
    the same in bursts of nine writes, each burst ending in a pause that lets
    wsy take the last; a good one at the end. Returns how many files of each
    kind were written. (bench/latency.py's "reload" part runs this too.)"""
    good = [SINE_PATCH, OCTAVE_UP, SINE_PATCH.replace("LFO1;*FREQ=0;", "LFO1;*FREQ=5;"),
            "LFO1;*FREQ=3;\nVCO1;*NOTE=7;LFO1:MOD_FREQ;\nVCO2;*NOTE=-5;LFO1:MOD_AMP;\n"
            "MIXER1;VCO1:IN1;VCO2:IN2;\n"]
    chooser = random.Random(11)
    kinds = {"good": 0, "cut": 0, "empty": 0, "removed": 0}

    def write(kind):
        kinds[kind] += 1
        if kind == "removed":
            if os.path.exists(patch):
                os.remove(patch)
            return
        text = chooser.choice(good)
        if kind == "cut":  # cut inside a word
            words = [m.start() for m in re.finditer(r"\S{4,}", text)]
            text = text[:chooser.choice(words) + 2]
        elif kind == "empty":
            text = ""
        with open(patch, "w") as f:
            f.write(text)

    started = time.monotonic()
    order = ["good", "cut", "empty", "removed"]
    n = 0
    while time.monotonic() - started < 10:
        write(order[n % 4])
        n += 1
        bursts = time.monotonic() - started > 3
        time.sleep(0.15 if bursts and n % 9 == 0 else 0.01)
    write("good")
    return kinds


class Watching(unittest.TestCase):
    """Reloads without a sound card (NoSound): what standard output and
    standard error say, a folder in place of the file, and --no-watch."""

    REPORT = b"*****************[ OBJECTS ]"

    def start(self, *args):
        self.work = work_dir(self)
        self.patch = os.path.join(self.work, "RODUV_2.WSY")
        w = Wsy(self, self.work, base_env(), args=("--no-autoplay", *args))
        w.send(b"41")
        w.out.wait_contains(HELP, timeout=20)
        return w

    def save(self, text):
        # As editors do: a new file renamed over the old one.
        with open(self.patch + ".tmp", "w") as f:
            f.write(text)
        os.rename(self.patch + ".tmp", self.patch)

    def test_saves_reload_and_a_folder_keeps_the_patch(self):
        w = self.start()
        self.save(OCTAVE_UP)
        at = w.out.wait_contains(b"paramSET : [*NOTE=12]", timeout=5)
        self.assertEqual(w.out.snapshot().count(self.REPORT), 2, "the trace and report once more")
        self.assertGreater(at, w.out.snapshot().index(HELP))
        os.remove(self.patch)
        os.mkdir(self.patch)
        w.err.wait_contains(b"it is a directory", timeout=5)
        os.rmdir(self.patch)
        self.save(SINE_PATCH + "NOISE\n")  # a word without ';': a warning, and the patch is taken
        w.out.wait_contains(b"Ligne 4 semble avoir moins de 2 parametres", timeout=5)
        w.signal(signal.SIGTERM)
        w.wait()
        err = w.err.wait_closed().decode()
        self.assertEqual(len([l for l in err.splitlines() if "cannot be read now" in l]), 1, err)
        self.assertEqual(w.out.snapshot().count(self.REPORT), 3, "the folder was not loaded")

    def test_no_watch(self):
        w = self.start("--no-watch")
        self.save(OCTAVE_UP)
        time.sleep(0.6 * wsytest.SLOW)
        w.signal(signal.SIGTERM)
        w.wait()
        self.assertEqual(w.out.snapshot().count(self.REPORT), 1)
        self.assertNotIn(b"NOTE=12", w.out.snapshot())


if __name__ == "__main__":
    wsytest.check_binary()
    if not RENDER:
        sys.exit("WSY_RENDER must name the wsy-render binary")
    unittest.main()
