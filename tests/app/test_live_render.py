"""A live session re-renders bit for bit: wsy plays on a JACK server with
--record while keys come in through its real window, the test records wsy's
output ports in the same graph, then wsy-render plays the log. Every recorded
sample from wsy's first frame to the last one both have equals the rendered
one, and standard output carries the same words."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

import wsytest
from wsytest import (HELP, RATE, Wsy, again_after_xruns, base_env, focus_window, offset_in, start_jack, start_xvfb,
                     work_dir, xdotool)

RENDER = os.environ.get("WSY_RENDER", "")
PATCH = wsytest.LEAD_PATCH


class LiveEqualsRender(unittest.TestCase):
    def session(self, extra_args=(), buffer_frames=None, keys=()):
        name = start_jack(self, rate=RATE, period=256)
        display = start_xvfb(self)
        work = work_dir(self, patch=PATCH)
        env = base_env(DISPLAY=display, JACK_DEFAULT_SERVER=name)
        if buffer_frames:
            env["WSY_BUFFER_FRAMES"] = str(buffer_frames)
        log = os.path.join(work, "take.log")
        w = Wsy(self, work, env, args=("--record", log, *extra_args))
        w.send(b"31")
        w.out.wait_contains(HELP, timeout=20)
        wsytest.wait_for_port(name, "wsy:out_2")
        rec = os.path.join(work, "rec.wav")
        # Long enough for the keys; it ends by itself, so that its file is complete.
        seconds = sum(k for k in keys if isinstance(k, float)) + 0.4 * len(keys) + 1.5
        recorder = wsytest.start_jack_rec(self, name, rec, seconds)
        time.sleep(0.3)
        focus_window(display)
        for key in keys:
            if isinstance(key, float):
                time.sleep(key)
            else:
                xdotool(display, *key.split())
        self.assertEqual(recorder.wait(60 * wsytest.SLOW), 0, recorder.stderr.read())
        xdotool(display, "key", "Escape")
        self.assertEqual(w.wait(), 0)
        err = w.err.wait_closed().decode()

        with open(log) as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[0].startswith("# wsy session, patch RODUV_2.WSY, recorded "), lines[:2])
        self.assertRegex(lines[-1], r"^\d+ end$")
        render_wav = os.path.join(work, "render.wav")
        args = [RENDER, "--patch", os.path.join(work, "RODUV_2.WSY"), "--events", log, "-o", render_wav]
        if "--no-autoplay" in extra_args:
            args.append("--no-autoplay")
        r = subprocess.run(args, capture_output=True, timeout=120, cwd=work)
        self.assertEqual(r.returncode, 0, r.stderr)

        # The same words, in the same order, after the report.
        live_words = w.out.snapshot().split(HELP, 1)[1]
        self.assertTrue(r.stdout.endswith(live_words), (live_words[-300:], r.stdout[-300:]))

        rec_samples = wsytest.read_jack_rec(rec)
        render_samples = wsytest.read_wav(render_wav)
        k = offset_in(render_samples, rec_samples)
        last = max(i for i, s in enumerate(rec_samples) if s != 0) // 2
        start = max(0, -k)
        compared = 0
        for frame in range(start, last + 1):
            at = frame + k
            if at >= len(render_samples) // 2:
                break
            a = rec_samples[2 * frame:2 * frame + 2]
            b = render_samples[2 * at:2 * at + 2]
            if a != b:
                self.fail("frame %d of the render: recorded %s, rendered %s (%d frames equal before); %s"
                          % (at, a, b, compared, err))
            compared += 1
        self.assertGreater(compared, RATE, "less than a second compared")
        return lines, live_words

    @again_after_xruns
    def test_keys_enter_and_notes_held_past_their_end(self):
        lines, words = self.session(keys=(
            "keydown z", 0.2, "keyup z", 0.3, "keydown x", 1.2, "keyup x", 0.2,
            "keydown Return", 0.1, "keyup Return", 0.2, "keydown c", 0.1, "keydown v", 0.8, "keyup v", 0.2,
            "keyup c"))
        self.assertIn(b"MIAM", words, "auto-play started notes in between")
        self.assertTrue(any(line.endswith(" return down") for line in lines))

    @unittest.skipIf(wsytest.TSAN, "a ThreadSanitizer build cannot keep up with 64-frame periods in real time")
    @again_after_xruns
    def test_small_blocks(self):
        self.session(buffer_frames=64, keys=("keydown z", 0.5, "keyup z", 0.2, "keydown b", 0.9, "keyup b"))

    @again_after_xruns
    def test_large_blocks(self):
        self.session(buffer_frames=1024, keys=("keydown n", 0.6, "keyup n", 0.2, "keydown x", 0.3, "keyup x", 0.2,
                                               "keydown c", 0.6, "keyup c"))

    @again_after_xruns
    def test_without_auto_play(self):
        lines, words = self.session(extra_args=("--no-autoplay",),
                                    keys=("keydown z", 0.8, "keyup z", 0.2, "keydown x", 0.2, "keyup x"))
        self.assertNotIn(b"MIAM", words)
        self.assertIn("--no-autoplay", lines[1])

    @again_after_xruns
    def test_keys_held_together_on_several_voices(self):
        lines, words = self.session(extra_args=("--voices", "4", "--velocity", "0.5"), keys=(
            "keydown z", 0.1, "keydown c", 0.1, "keydown b", 0.3, "keyup c", 0.1, "keydown n", 0.3, "keyup z",
            "keyup b", 0.2, "keyup n", 0.3, "keydown x", 0.2, "keyup x"))
        self.assertIn("0 voices 4", lines)
        self.assertIn("0 velocity 0.5", lines)
        # Three keys down before any is up: three voices started one after another.
        self.assertIn(b"\nTRIG\n\nTRIG\n\nTRIG\n", words)


class KilledSession(unittest.TestCase):
    """A session ended by a signal leaves a log that still renders the same words."""

    def test_sigterm_writes_the_end_and_the_log_renders(self):
        work = work_dir(self, patch=PATCH)
        log = os.path.join(work, "take.log")
        w = Wsy(self, work, base_env(), args=("--record", log))
        w.send(b"41")
        w.out.wait_contains(b"MIAM", timeout=20)
        w.out.wait_contains(b"MIAM", timeout=20, start=w.out.snapshot().index(b"MIAM") + 1)
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)
        with open(log) as f:
            lines = f.read().splitlines()
        m = re.match(r"^(\d+) end$", lines[-1])
        self.assertIsNotNone(m, lines)
        frames = int(m.group(1))
        self.assertGreater(frames, 20205, "two notes need that many frames")
        render_wav = os.path.join(work, "render.wav")
        r = subprocess.run([RENDER, "--patch", os.path.join(work, "RODUV_2.WSY"), "--events", log, "-o", render_wav],
                           capture_output=True, timeout=120, cwd=work)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(wsytest.read_wav(render_wav)), 2 * frames)
        # The words printed before the signal are the render's; the render may
        # go on a little further, to the last frame the session computed.
        live_words = w.out.snapshot().split(HELP, 1)[1]
        self.assertIn(live_words, r.stdout)


if __name__ == "__main__":
    wsytest.check_binary()
    if not RENDER:
        sys.exit("WSY_RENDER must name the wsy-render binary")
    unittest.main()
