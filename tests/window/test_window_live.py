"""The real wsy window under Xvfb, read back from screenshots while keys play:
the scope, the held key's row and the envelope bar follow the sound; with
several voices, the keys held together each show their note and the count of
busy voices; at 48000 Hz, the status names the rate and the scope still shows
20 ms."""

import os
import re
import subprocess
import time
import unittest

import screenshot
import wsytest
from test_window_view import Demo
from wsytest import HELP, Reader, Wsy, base_env, focus_window, start_xvfb, work_dir, xdotool

DEMO = os.environ.get("WINDOW_VIEW_DEMO", "")
# The bundled patch's kind: a vibrato lead and a tremolo octave, four links to list.
PATCH = wsytest.LEAD_PATCH


def window_areas(display):
    """Where the parts of the window lie, as the window's own demo program says."""
    proc = subprocess.Popen([DEMO, "wsy-areas"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=dict(os.environ, DISPLAY=display))
    out = Reader(proc.stdout.fileno())
    out.wait_contains(b"ready\n", timeout=20)
    proc.stdin.close()
    proc.wait(20)
    proc.stdout.close()
    areas = {}
    for line in out.snapshot().decode().splitlines():
        words = line.split()
        if words[0] == "area":
            areas[words[1]] = tuple(int(w) for w in words[2:])
    return areas


class LiveWindow(unittest.TestCase):
    def setUp(self):
        self.display = start_xvfb(self)
        self.areas = window_areas(self.display)
        self.work = work_dir(self, patch=PATCH)
        self.w = Wsy(self, self.work, base_env(DISPLAY=self.display), args=("--no-autoplay",))
        self.w.send(b"41")  # NoSound, its one driver
        self.w.out.wait_contains(HELP, timeout=20)
        self.window = focus_window(self.display)

    def grab(self):
        return screenshot.grab(self.display, self.window)

    def scope_rows(self, picture):
        scope = self.areas["scope"]
        background = picture.dominant(scope)
        return picture.rows_with(scope, lambda p: p != background)

    def bar_length(self, picture):
        """Pixels of the bar's middle row in the bar's fill colour (green, unlike frame and trough)."""
        x, y, w, h = self.areas["bar"]
        return sum(1 for r, g, b in picture.area((x, y + h // 2, w, 1)) if g > 150 and r < 150)

    def row_lit(self, picture, row):
        return picture.dominant(self.areas["key%d" % row]) != picture.dominant(self.areas["note"])

    def wait_for(self, what, predicate, timeout=3):
        deadline = time.monotonic() + timeout * wsytest.SLOW
        while True:
            picture = self.grab()
            if predicate(picture):
                return picture
            if time.monotonic() > deadline:
                self.fail("the window never showed " + what)

    def test_scope_key_row_and_bar_follow_a_held_key(self):
        quiet = self.wait_for("the patch", lambda p: len(self.scope_rows(p)) <= 2)
        self.assertFalse(self.row_lit(quiet, 0))
        self.assertEqual(self.bar_length(quiet), 0)

        # Screenshots first, read afterwards: the note decays within about 0.45 s.
        xdotool(self.display, "keydown", "z")
        pressed = time.monotonic()
        shots = []
        while time.monotonic() - pressed < 0.38:
            shots.append(self.grab())
            time.sleep(0.02)
        if os.environ.get("WSY_WINDOW_PICTURE"):
            screenshot.save_png(self.display, self.window, os.environ["WSY_WINDOW_PICTURE"])
        xdotool(self.display, "keyup", "z")

        sounding = [p for p in shots if self.bar_length(p) > 0]
        self.assertGreaterEqual(len(sounding), 2, "the note was seen in at least two screenshots")
        for p in sounding:
            self.assertTrue(self.row_lit(p, 0), "the held key's row is lit")
            self.assertFalse(self.row_lit(p, 1), "only the held key's row")
            self.assertGreater(len(self.scope_rows(p)), 2, "the scope is not flat")
        self.assertGreater(self.bar_length(shots[-1]), 0, "the note still sounded when the key was let go")
        bars = [self.bar_length(p) for p in sounding]
        loudest = sounding[bars.index(max(bars))]
        self.assertGreater(len(self.scope_rows(loudest)), self.areas["scope"][3] // 8, "the tone spans the scope")
        # After the attack's few milliseconds the bar only shrinks while the key is held.
        peak = bars.index(max(bars))
        self.assertLess(bars[-1], bars[peak], "the bar shrinks as the note decays: %r" % bars)
        self.assertEqual(bars[peak:], sorted(bars[peak:], reverse=True), bars)

        # The release silences the note at once, before its envelope would have.
        self.wait_for("the release", lambda p: not self.row_lit(p, 0) and len(self.scope_rows(p)) <= 2
                      and self.bar_length(p) == 0)
        self.assertEqual(self.w.out.snapshot().split(HELP, 1)[1], b"\nTRIG\nUNTRIG\n")

    def test_reload_shows_the_new_links(self):
        patch = self.areas["patch"]
        # The first picture is drawn whole: once the links are there, all is.
        before = self.wait_for("the patch's links", lambda p: self.rows_of_text(p, patch))
        with open(os.path.join(self.work, "RODUV_2.WSY"), "w") as f:
            f.write(PATCH.replace("MIXER_OUT;VCO_LEAD:IN1;VCO_OCT:IN2;", "MIXER_OUT;VCO_LEAD:IN1;"))
        after = self.wait_for("a shorter list of links",
                              lambda p: len(self.rows_of_text(p, patch)) < len(self.rows_of_text(before, patch)))
        status = self.areas["status"]
        self.assertGreater(len(self.rows_of_text(after, status)), len(self.rows_of_text(before, status)),
                           "a status line tells of the reload")

    def rows_of_text(self, picture, rect):
        background = picture.dominant(rect)
        return picture.rows_with(rect, lambda p: p != background)


class LiveVoices(unittest.TestCase):
    """wsy --voices 3: z, x and c held together, each its voice."""

    def setUp(self):
        self.display = start_xvfb(self)
        self.drawn = Demo(self)  # the face drawn from states written here, on a display of its own
        key0 = self.drawn.areas["key0"]
        self.note, self.keys = self.drawn.areas["note"], (key0[0], key0[1], key0[2], 8 * key0[3])
        self.w = Wsy(self, work_dir(self, patch=PATCH), base_env(DISPLAY=self.display),
                     args=("--no-autoplay", "--voices", "3"))
        self.w.send(b"41")  # NoSound, its one driver
        self.w.out.wait_contains(HELP, timeout=20)
        self.window = focus_window(self.display)

    def shows(self, picture, drawing):
        return picture.same_as(drawing, self.note) and picture.same_as(drawing, self.keys)

    def test_keys_held_together_show_each_note_and_the_count(self):
        self.drawn.draw("voices 3")
        nothing = self.drawn.grab()
        deadline = time.monotonic() + 5 * wsytest.SLOW
        while not self.shows(screenshot.grab(self.display, self.window), nothing):
            self.assertLess(time.monotonic(), deadline, "the window never showed 0 of 3 voices")
            time.sleep(0.05)

        # A4, A#4 and C5 from keys, every row lit: 3 of 3 voices.
        self.drawn.draw("voice 0 58 key", "voice 1 59 key", "voice 2 61 key", "keys z x c")
        chord = self.drawn.grab()
        # Screenshots first, compared afterwards: the notes decay within about 0.45 s.
        xdotool(self.display, "keydown", "z", "x", "c")
        pressed = time.monotonic()
        shots = []
        while time.monotonic() - pressed < 0.4:
            shots.append(screenshot.grab(self.display, self.window))
        xdotool(self.display, "keyup", "z", "x", "c")
        self.assertTrue(any(self.shows(p, chord) for p in shots),
                        "no screenshot of %d showed the three notes from keys" % len(shots))

        # Let go, each voice falls silent and leaves the display.
        deadline = time.monotonic() + 5 * wsytest.SLOW
        while not self.shows(screenshot.grab(self.display, self.window), nothing):
            self.assertLess(time.monotonic(), deadline, "the voices never left the display")
            time.sleep(0.05)
        console = self.w.out.snapshot().split(HELP, 1)[1]
        self.assertEqual(console.count(b"\nTRIG\n"), 3, console)
        # A key let go after its note ran out releases nothing.
        self.assertLessEqual(console.count(b"UNTRIG\n"), 3, console)


class LiveRate(unittest.TestCase):
    """wsy --rate 48000 on the no-sound output, which plays at the rate asked for."""

    def setUp(self):
        self.display = start_xvfb(self)
        self.drawn = Demo(self)  # the face drawn from states written here, on a display of its own
        self.scope = self.drawn.areas["scope"]
        self.w = Wsy(self, work_dir(self), base_env(DISPLAY=self.display), args=("--no-autoplay", "--rate", "48000"))
        self.w.send(b"41")  # NoSound, its one driver
        self.w.out.wait_contains(HELP, timeout=20)
        self.window = focus_window(self.display)

    def cycles_shown(self, picture):
        """How many cycles of a steady tone the scope shows, from the spacing of its
        crests (the columns whose trace reaches above half the tallest swing)."""
        x0, y0, w, h = self.scope
        background = picture.dominant(self.scope)
        middle = h // 2
        tops = []
        for i in range(w):
            lit = [j for j in range(h) if picture.pixel(x0 + i, y0 + j) != background]
            tops.append(min(lit) if lit else middle)
        swing = middle - min(tops)
        if swing < h // 8:
            return None  # no tone to measure
        crests, inside = [], False
        for i, top in enumerate(tops):
            high = top < middle - swing / 2
            if high and not inside:
                crests.append([i, i])
            elif high:
                crests[-1][1] = i
            inside = high
        centres = [(a + b) / 2 for a, b in crests if a > 0 and b < w - 1]  # crests cut by an edge have no centre
        if len(centres) < 2:
            return None
        return (len(centres) - 1) * w / (centres[-1] - centres[0])

    def test_the_status_names_48000_hz_and_the_scope_shows_20_ms(self):
        # The status line as the window draws it for NoSound at each rate, with the
        # block size the program announces; the two must differ for the check to tell.
        self.w.err.wait_contains(b"-frame blocks", timeout=20)
        block = int(re.search(rb"NoSound\): (\d+)-frame blocks", self.w.err.snapshot()).group(1))
        status = self.drawn.areas["status"]
        self.drawn.draw("status - %d 0" % block, "output NoSound, 44100 Hz")
        at_44100 = self.drawn.grab()
        self.drawn.draw("output NoSound, 48000 Hz")
        at_48000 = self.drawn.grab()
        self.assertFalse(at_44100.same_as(at_48000, status), "the pictures tell the rates apart")
        deadline = time.monotonic() + 5 * wsytest.SLOW
        while not screenshot.grab(self.display, self.window).same_as(at_48000, status):
            self.assertLess(time.monotonic(), deadline, "the status never read \"NoSound, 48000 Hz\"")
            time.sleep(0.05)

        # 20 ms of A4 (440 Hz) is 8.8 cycles, at any rate: 960 frames at 48000 Hz
        # (882, the frames of 20 ms at 44100 Hz, would show 8.1). The measure
        # reads the same 8.8 from the face drawn at 44100 Hz.
        self.drawn.draw("sine 440 10000")
        self.assertAlmostEqual(self.cycles_shown(self.drawn.grab()), 8.8, delta=0.1)
        # Screenshots first, read afterwards: the note decays within about 0.45 s.
        xdotool(self.display, "keydown", "z")
        pressed = time.monotonic()
        shots = []
        while time.monotonic() - pressed < 0.3:
            shots.append(screenshot.grab(self.display, self.window))
        xdotool(self.display, "keyup", "z")
        measured = [c for c in map(self.cycles_shown, shots) if c is not None]
        self.assertTrue(measured, "no screenshot of %d showed the tone" % len(shots))
        for cycles in measured:
            self.assertAlmostEqual(cycles, 8.8, delta=0.1)


if __name__ == "__main__":
    wsytest.check_binary()
    if not DEMO or not os.access(DEMO, os.X_OK):
        raise SystemExit("WINDOW_VIEW_DEMO must name the window_view_demo binary")
    unittest.main()
