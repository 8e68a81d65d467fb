"""The real window under Xvfb: keys typed with xdotool reach the envelope, and
with no key the program plays by itself."""

import signal
import time
import unittest

import wsytest
from wsytest import AUTO_PLAY, HELP, Wsy, base_env, focus_window, start_xvfb, work_dir, xdotool


class Window(unittest.TestCase):
    def start(self):
        display = start_xvfb(self)
        w = Wsy(self, work_dir(self), base_env(DISPLAY=display))
        w.send(b"41")  # NoSound, its one driver
        w.out.wait_contains(HELP, timeout=20)
        return display, w

    def quiet_after(self, w, start, seconds=1.0):
        """Output from `start` once nothing new has come for `seconds`."""
        last = w.out.snapshot()
        deadline = time.monotonic() + 30 * wsytest.SLOW
        while time.monotonic() < deadline:
            time.sleep(seconds)
            now = w.out.snapshot()
            if now == last:
                return now[start:]
            last = now
        self.fail("the program never fell silent: %r" % last[-300:])

    def test_auto_play_without_keys(self):
        display, w = self.start()
        help_at = w.out.snapshot().find(HELP) + len(HELP)
        # One MIAM per finished envelope, and the random note on the turn after.
        w.out.wait_contains(AUTO_PLAY + AUTO_PLAY, timeout=5, start=help_at)
        self.assertTrue(w.out.snapshot()[help_at:].startswith(AUTO_PLAY + AUTO_PLAY))
        self.assertNotIn(b"could not be shown", w.err.snapshot(), "a display was there")
        xdotool(display, "windowfocus", "--sync", focus_window(display))
        xdotool(display, "key", "Escape")
        self.assertEqual(w.wait(), 0)

    def test_keys(self):
        display, w = self.start()
        focus_window(display)

        # A press and release stops the auto-play: the released note stays silent.
        xdotool(display, "key", "x")
        tail = self.quiet_after(w, 0)
        self.assertTrue(tail.endswith(b"\nTRIG\nUNTRIG\n"), tail[-100:])

        start = len(w.out.snapshot())
        xdotool(display, "keydown", "z")
        w.out.wait_contains(b"\nTRIG\n", start=start)
        self.assertEqual(w.out.snapshot()[start:], b"\nTRIG\n", "a held key is one press")
        xdotool(display, "keyup", "z")
        w.out.wait_contains(b"UNTRIG\n", start=start)
        self.assertEqual(self.quiet_after(w, start), b"\nTRIG\nUNTRIG\n")

        # Return retriggers; shift+z plays like z; other keys of the help line do nothing.
        start = len(w.out.snapshot())
        xdotool(display, "key", "Return")
        w.out.wait_contains(b"UNTRIG\n", start=start)
        self.assertEqual(self.quiet_after(w, start), b"\nTRIG\nUNTRIG\n")

        start = len(w.out.snapshot())
        xdotool(display, "key", "a", "q", "plus", "7", "w", "comma", "shift+z")
        w.out.wait_contains(b"UNTRIG\n", start=start)
        self.assertEqual(self.quiet_after(w, start), b"\nTRIG\nUNTRIG\n")

        start = len(w.out.snapshot())
        xdotool(display, "key", "Escape")
        self.assertEqual(w.wait(), 0)
        self.assertEqual(w.out.wait_closed()[start:], b"")

    def test_escape_press_alone_quits(self):
        display, w = self.start()
        focus_window(display)
        xdotool(display, "keydown", "Escape")
        self.assertEqual(w.wait(), 0)
        xdotool(display, "keyup", "Escape")

    def test_sigint_ends_a_running_program(self):
        display, w = self.start()
        focus_window(display)
        w.out.wait_contains(b"MIAM\n")
        w.signal(signal.SIGINT)
        self.assertEqual(w.wait(), -signal.SIGINT)

    def test_no_display_warns_and_plays(self):
        w = Wsy(self, work_dir(self), base_env())
        w.send(b"41")
        w.out.wait_contains(HELP + AUTO_PLAY, timeout=20)
        w.err.wait_contains(b"Ctrl-C")
        self.assertIn(b"window could not be shown", w.err.snapshot())
        w.signal(signal.SIGTERM)
        self.assertEqual(w.wait(), -signal.SIGTERM)


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
