"""Real sound: wsy plays as a JACK client of its own into a JACK server with its dummy
driver, the test records wsy's ports with jack_rec while z is held, and
measures the pitch from the samples."""

import os
import re
import time
import unittest

import wsytest
from wsytest import (HELP, RATE, Wsy, base_env, driver_list, focus_window, pitch, start_jack, start_xvfb, work_dir,
                     xdotool)


def first_sound(samples, threshold=200, gap=400):
    """Start and end of the first stretch that is louder than `threshold`,
    ended by `gap` quiet samples in a row."""
    start = next((i for i, s in enumerate(samples) if abs(s) > threshold), None)
    if start is None:
        return None
    quiet = 0
    for i in range(start, len(samples)):
        quiet = quiet + 1 if abs(samples[i]) <= threshold else 0
        if quiet >= gap:
            return start, i - gap + 1
    return start, len(samples)


class Audio(unittest.TestCase):
    def test_z_sounds_at_440_hz_through_jack(self):
        name = start_jack(self, rate=RATE, period=256)
        display = start_xvfb(self)
        work = work_dir(self)
        env = base_env(DISPLAY=display, JACK_DEFAULT_SERVER=name)
        w = Wsy(self, work, env)
        w.send(b"3")
        w.out.wait_contains(wsytest.PROMPT + wsytest.SEPARATOR, timeout=20)
        w.out.wait_contains(driver_list(b"ASIO", [b"system"]), timeout=20)
        w.send(b"1")
        w.out.wait_contains(HELP, timeout=20)
        line = w.err.wait_contains(b"latency", timeout=20)
        err = w.err.snapshot().decode()
        m = re.search(r'playing through JACK Audio Connection Kit, device "system": (\d+)-frame blocks, '
                      r'output latency ([\d.]+) ms', err)
        self.assertIsNotNone(m, err)
        self.assertEqual(int(m.group(1)), 256, "the callback takes JACK's period as it is")
        self.assertGreater(float(m.group(2)), 0)
        del line
        wsytest.wait_for_port(name, "wsy:out_1")

        # Press and release a key first: the auto-play stops and the output falls silent.
        focus_window(display)
        xdotool(display, "key", "x")
        w.out.wait_contains(b"UNTRIG\n")
        time.sleep(0.7)

        rec = os.path.join(work, "rec.wav")
        recorder = wsytest.start_jack_rec(self, name, rec, 3, bits=16)
        time.sleep(0.3)

        start = len(w.out.snapshot())
        xdotool(display, "keydown", "z")
        w.out.wait_contains(b"\nTRIG\n", start=start)
        time.sleep(0.2)
        xdotool(display, "keyup", "z")
        w.out.wait_contains(b"UNTRIG\n", start=start)
        self.assertEqual(recorder.wait(30 * wsytest.SLOW), 0, recorder.stderr.read())

        xdotool(display, "key", "Escape")
        self.assertEqual(w.wait(), 0)
        self.assertNotIn("JACK:", w.err.wait_closed().decode(), "JACK complained")

        samples = wsytest.read_wav(rec)  # 16-bit stereo at 44100 Hz
        left, right = samples[0::2], samples[1::2]
        segment = first_sound(left)
        self.assertIsNotNone(segment, "the recording is silent")
        a, b = segment
        self.assertGreater(b - a, 2000, "the note is too short to be z held for 0.2 s")
        peak = max(abs(s) for s in left[a:b])
        self.assertTrue(9000 <= peak <= 10050, "peak %d: one sine of 10000 at the envelope's top" % peak)
        freq = pitch(left[a:b])
        self.assertAlmostEqual(freq, 440.0, delta=1.0, msg="z plays note 58")
        self.assertAlmostEqual(pitch(right[a:b]), freq, delta=0.01)
        self.assertIsNone(first_sound(left[b:]), "sound after the release")


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
