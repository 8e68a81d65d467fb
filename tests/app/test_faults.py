"""Faults at run time with a real JACK server (dummy driver): the server dies
under a playing wsy, the process is held up so that the device asks for samples
late, and the block size a user asks for with WSY_BUFFER_FRAMES."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

import wsytest
from wsytest import HELP, RATE, Wsy, base_env, driver_list, start_jack, work_dir


def playing_line(w):
    w.err.wait_contains(b"latency", timeout=20)
    err = w.err.snapshot().decode()
    m = re.search(r'playing through JACK Audio Connection Kit, device "system": (\d+)-frame blocks', err)
    if not m:
        raise AssertionError("no playing line: %r" % err)
    return int(m.group(1)), err


class Faults(unittest.TestCase):
    def play_on_jack(self, period=256, **env):
        name = start_jack(self, rate=RATE, period=period)
        w = Wsy(self, work_dir(self), base_env(JACK_DEFAULT_SERVER=name, **env))
        w.send(b"3")
        w.out.wait_contains(driver_list(b"ASIO", [b"system"]), timeout=20)
        w.send(b"1")
        w.out.wait_contains(HELP, timeout=20)
        return name, w

    def jackd_pid(self, name):
        r = subprocess.run(["pgrep", "-f", "^jackd -n %s " % name], stdout=subprocess.PIPE, text=True)
        pids = r.stdout.split()
        self.assertEqual(len(pids), 1, "the test's own jackd")
        return int(pids[0])

    def gives_up(self, w):
        """wsy, whose device has just gone, says so and ends with status 1 by
        itself (within w.wait's limit: it does not hang). Returns the seconds
        it took, a figure for the log, and its standard error."""
        since = time.monotonic()
        status = w.wait(timeout=10)
        took = time.monotonic() - since
        err = w.err.wait_closed().decode()
        self.assertEqual(status, 1, err)
        self.assertIn("audio device was lost", err)
        print("\nwsy gave up %.2f s after the server went" % took, file=sys.stderr)
        return took, err

    def test_server_killed_while_playing(self):
        name, w = self.play_on_jack()
        playing_line(w)
        w.out.wait_contains(b"MIAM\n")  # the stream runs
        os.kill(self.jackd_pid(name), signal.SIGKILL)
        took, err = self.gives_up(w)
        self.assertNotIn(b"wsy:", w.out.snapshot(), "diagnostics belong on standard error")
        if os.environ.get("WSY_SHOW"):
            print("\nstderr after the kill:\n%s" % err)

    def test_server_stopped_while_playing(self):
        name, w = self.play_on_jack()
        playing_line(w)
        os.kill(self.jackd_pid(name), signal.SIGTERM)
        self.gives_up(w)

    def test_a_held_up_process_reports_underflows(self):
        name, w = self.play_on_jack()
        playing_line(w)
        w.out.wait_contains(b"MIAM\n")
        # Stopped for a tenth of a second, wsy misses some of JACK's 5.8 ms periods.
        os.killpg(w.proc.pid, signal.SIGSTOP)
        time.sleep(0.1)
        os.killpg(w.proc.pid, signal.SIGCONT)
        time.sleep(0.5)
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)
        err = w.err.wait_closed().decode()
        m = re.search(r"^wsy: (\d+) underflows? while playing: .*\(blocks of 256 frames\).*WSY_BUFFER_FRAMES, "
                      r"such as 512\.$", err, re.M)
        self.assertIsNotNone(m, err)
        self.assertGreaterEqual(int(m.group(1)), 1)
        self.assertEqual(len(re.findall("underflow", err)), 1, "one line")

    def test_a_clean_run_reports_no_underflow(self):
        name, w = self.play_on_jack()
        playing_line(w)
        w.out.wait_contains(b"MIAM\n")
        time.sleep(1.0)
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)
        err = w.err.wait_closed().decode()
        self.assertNotIn("lost", err)
        # Every underflow wsy reports is one the server saw; the dummy server
        # of a busy machine can be late all by itself, then wsy says so too.
        server_xruns = wsytest.server_xruns(self)
        m = re.search(r"^wsy: (\d+) underflows?", err, re.M)
        self.assertLessEqual(int(m.group(1)) if m else 0, server_xruns, err)
        if server_xruns == 0:
            self.assertNotIn("underflow", err)

    def test_block_size_from_the_environment(self):
        name, w = self.play_on_jack(period=128, WSY_BUFFER_FRAMES="512")
        block, err = playing_line(w)
        self.assertEqual(block, 512, err)
        self.assertIn("512-frame blocks (WSY_BUFFER_FRAMES)", err)
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)

    def test_the_device_block_by_default(self):
        name, w = self.play_on_jack(period=128)
        block, err = playing_line(w)
        self.assertEqual(block, 128, err)
        self.assertNotIn("WSY_BUFFER_FRAMES", err)
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)

    def test_measured_key_to_sound_latency(self):
        """The measuring hook: a key pressed in the window gives one figure on
        standard error, no sooner than the key and no later than the device's
        latency plus two blocks; standard output is unchanged."""
        display = wsytest.start_xvfb(self)
        name = start_jack(self, rate=RATE, period=128)
        w = Wsy(self, work_dir(self), base_env(DISPLAY=display, JACK_DEFAULT_SERVER=name, WSY_MEASURE_LATENCY="1"))
        w.send(b"31")
        w.out.wait_contains(HELP, timeout=20)
        block, err = playing_line(w)
        latency = float(re.search(r"output latency ([\d.]+) ms", err).group(1))
        wsytest.focus_window(display)
        start = len(w.out.snapshot())
        wsytest.xdotool(display, "key", "z")
        w.out.wait_contains(b"UNTRIG\n", start=start)
        w.err.wait_contains(b"key to sound")
        m = re.search(r"^wsy: key to sound ([\d.]+) ms \(([\d.]+) ms of it from the block's start to the device\)$",
                      w.err.snapshot().decode(), re.M)
        self.assertIsNotNone(m, w.err.snapshot())
        measured, device = float(m.group(1)), float(m.group(2))
        self.assertGreater(measured, 0)
        self.assertLessEqual(device, measured)
        # The key goes into the next block but one: the figure is at most the
        # device's latency and two blocks (and 1 ms for rounding), unless the
        # machine was too busy for the period (xruns), when it proves nothing.
        if not wsytest.server_xruns(self):
            self.assertLessEqual(measured, latency + 2 * block * 1000 / RATE + 1, "ms")
        wsytest.xdotool(display, "key", "Escape")
        self.assertEqual(w.wait(), 0)
        err = w.err.wait_closed().decode()
        # Measuring mode reports the underflow count even when it is 0 (a loaded
        # machine may really have one: the count itself is tested elsewhere).
        self.assertRegex(err, r"(?m)^wsy: \d+ underflows?[: ]")
        self.assertNotIn(b"key to sound", w.out.snapshot())


class BlockSizeWithoutSound(unittest.TestCase):
    def nosound_line(self, value, args=()):
        env = base_env() if value is None else base_env(WSY_BUFFER_FRAMES=value)
        w = Wsy(self, work_dir(self), env, args=args)
        w.send(b"41")
        w.out.wait_contains(HELP + wsytest.AUTO_PLAY, timeout=20)
        w.err.wait_contains(b"discarded")
        # Only the start-up lines matter here. SIGKILL, because a ThreadSanitizer
        # build on a loaded machine can hold a SIGTERM back for a long time.
        os.killpg(w.proc.pid, signal.SIGKILL)
        self.assertEqual(w.wait(), -signal.SIGKILL)
        err = w.err.wait_closed().decode()
        self.assertNotIn(b"WSY_BUFFER_FRAMES", w.out.snapshot())
        return err

    def test_a_valid_size_is_taken(self):
        for value in ("100", "1024", "8192"):  # 16 is in the unit tests: too fast for a TSan build
            err = self.nosound_line(value)
            self.assertIn("NoSound): %s-frame blocks (WSY_BUFFER_FRAMES)" % value, err)
            self.assertNotIn("not a block size", err)

    def test_a_bad_size_is_refused_and_the_default_kept(self):
        for value in ("0", "15", "8193", "-256", "256k", " 256", "1e3", "99999999999999999999"):
            err = self.nosound_line(value)
            self.assertIn('WSY_BUFFER_FRAMES="%s" is not a block size' % value, err)
            self.assertIn("NoSound): 256-frame blocks at 44100 Hz", err)

    def test_a_rate_asked_for_keeps_the_block_in_frames(self):
        err = self.nosound_line("512", args=("--rate", "22050"))
        self.assertIn("NoSound): 512-frame blocks (WSY_BUFFER_FRAMES) at 22050 Hz", err)
        err = self.nosound_line(None, args=("--rate=96000",))
        self.assertIn("NoSound): 256-frame blocks at 96000 Hz", err)

    def test_empty_means_unset(self):
        err = self.nosound_line("")
        self.assertIn("NoSound): 256-frame blocks at 44100 Hz", err)
        self.assertNotIn("WSY_BUFFER_FRAMES", err)


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
