"""The window's face in a real window under Xvfb, read back from screenshots:
the scope, the held key's row, the envelope bar, and that only what changed
is sent to the display."""

import os
import subprocess
import time
import unittest

import screenshot
import wsytest
from wsytest import Reader, start_xvfb, xdotool

DEMO = os.environ.get("WINDOW_VIEW_DEMO", "")
CAPTION = "wsy-view-%d" % os.getpid()


class Demo:
    """window_view_demo on a display of its own, fed commands on standard input."""

    def __init__(self, test):
        self.display = start_xvfb(test)
        self.proc = subprocess.Popen([DEMO, CAPTION], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=dict(os.environ, DISPLAY=self.display),
                                     start_new_session=True)
        test.addCleanup(self.close)
        self.out = Reader(self.proc.stdout.fileno())
        self.out.wait_contains(b"ready\n", timeout=20)
        self.areas = {}
        for line in self.out.snapshot().decode().splitlines():
            words = line.split()
            if words[0] == "area":
                self.areas[words[1]] = tuple(int(w) for w in words[2:])
        self.window = xdotool(self.display, "search", "--sync", "--name", "^%s$" % CAPTION).split()[0]
        self.read_from = len(self.out.snapshot())

    def ask(self, *commands, answer):
        """Sends the commands; the last one's answer must start with `answer`: returns its number."""
        self.proc.stdin.write(("\n".join(commands) + "\n").encode())
        self.proc.stdin.flush()
        end = self.out.wait_contains(b"\n", start=self.read_from)
        line = self.out.snapshot()[self.read_from:end].decode()
        self.read_from = end + 1
        if not line.startswith(answer + " "):
            raise AssertionError("unexpected output %r; stderr %r" % (line, self.proc.stderr.read1()))
        return int(line.split()[1])

    def draw(self, *commands):
        """Sends the commands, draws; returns how many rectangles went to the display."""
        return self.ask(*commands, "draw", answer="drawn")

    def update(self, *commands):
        """Sends the commands, then the main loop's paced update; returns the rectangles sent."""
        time.sleep(0.06)  # past the pace of 20 updates a second
        return self.ask(*commands, "update", answer="updated")

    def wait_visible(self, visible):
        deadline = time.monotonic() + 10
        while self.ask("visible", answer="visible") != visible:
            if time.monotonic() > deadline:
                raise AssertionError("the window never became %s" % ("visible" if visible else "hidden"))
            time.sleep(0.05)

    def grab(self):
        return screenshot.grab(self.display, self.window)

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def middle_row(rect):
    x, y, w, h = rect
    return (x, y + h // 2, w, 1)


class WindowView(unittest.TestCase):
    def setUp(self):
        self.demo = Demo(self)

    def scope_rows(self, picture):
        """Rows of the scope with anything on them but its background."""
        scope = self.demo.areas["scope"]
        background = picture.dominant(scope)
        return picture.rows_with(scope, lambda p: p != background)

    def test_scope_moves_with_a_tone_and_lies_flat_in_silence(self):
        demo = self.demo
        self.assertEqual(demo.draw("sine 440 10000"), 1, "only the scope changed")
        tone = self.scope_rows(demo.grab())
        # A tone at a third of full scale spans a good part of the scope's height.
        self.assertGreater(len(tone), demo.areas["scope"][3] // 4, tone)

        self.assertEqual(demo.draw("silence"), 1)
        flat = self.scope_rows(demo.grab())
        self.assertLessEqual(len(flat), 2, "silence is one line across the middle: %r" % flat)
        self.assertEqual(demo.draw("silence"), 0, "the same picture is not sent again")

    def test_steady_tone_stands_still(self):
        demo = self.demo
        scope = demo.areas["scope"]
        # 441 Hz is exactly 100 frames a period: snapshots taken at other
        # moments of the tone are the same picture once triggered.
        demo.draw("sine 441 12000 0")
        first = demo.grab()
        for offset in (37, 1234, 50):
            demo.draw("sine 441 12000 %d" % offset)
            self.assertTrue(first.same_as(demo.grab(), scope), "the picture moved at offset %d" % offset)
        # Another frequency is another picture: the comparison can tell.
        demo.draw("sine 300 12000 0")
        self.assertFalse(first.same_as(demo.grab(), scope))

    def test_held_key_row_is_highlighted_while_held(self):
        demo = self.demo
        z, x, note = demo.areas["key0"], demo.areas["key1"], demo.areas["note"]
        before = demo.grab()
        background = before.dominant(note)
        self.assertEqual(before.dominant(z), background)

        self.assertEqual(demo.draw("held z"), 1, "one row changed")
        held = demo.grab()
        self.assertNotEqual(held.dominant(z), background)
        self.assertEqual(held.dominant(x), background)

        self.assertEqual(demo.draw("held x"), 2, "the row let go and the row taken")
        moved = demo.grab()
        self.assertEqual(moved.dominant(z), background)
        self.assertEqual(moved.dominant(x), held.dominant(z))

        self.assertEqual(demo.draw("held none"), 1)
        self.assertTrue(demo.grab().same_as(before, (0, z[1], z[0] + z[2], 8 * z[3])), "all rows as at first")

    def test_level_bar_grows_with_the_level(self):
        demo = self.demo
        bar = middle_row(demo.areas["bar"])
        demo.draw("level 1")
        fill = demo.grab().pixel(bar[0] + bar[2] // 2, bar[1])  # a full bar is filled in its middle
        lengths = []
        for level in (0, 0.1, 0.25, 0.5, 0.75, 1):
            demo.draw("level %g" % level)
            lengths.append(sum(1 for p in demo.grab().area(bar) if p == fill))
        self.assertEqual(lengths[0], 0)
        self.assertEqual(lengths, sorted(set(lengths)), "grows with every step: %r" % lengths)
        for level, length in zip((0.1, 0.25, 0.5, 0.75), lengths[1:]):
            self.assertAlmostEqual(length / lengths[-1], level, delta=0.01)
        self.assertEqual(demo.draw("level 0.3"), 1)
        self.assertEqual(demo.draw("level 0.3"), 0, "the same bar is not sent again")

    def test_many_links_stay_in_the_patch_area(self):
        demo = self.demo
        status, patch = demo.areas["status"], demo.areas["patch"]
        demo.draw("status JACK 256 0 reloaded at 04:12:07")
        before = demo.grab()
        few = len(self.rows_of_text(before, patch))
        links = ["link LFO_%d VCO_LEAD phase" % i for i in range(40)]
        self.assertEqual(demo.draw(*links), 1, "only the patch area changed")
        after = demo.grab()
        self.assertGreater(len(self.rows_of_text(after, patch)), few)
        self.assertTrue(before.same_as(after, status), "the status lines are left alone")
        # The last row of the area is background: the list stopped before it.
        self.assertEqual(set(after.area((patch[0], patch[1] + patch[3] - 1, patch[2], 1))),
                         {after.dominant(patch)})

    def test_hidden_window_is_not_drawn(self):
        demo = self.demo
        bar = middle_row(demo.areas["bar"])
        demo.draw("level 1")
        fill = demo.grab().pixel(bar[0] + bar[2] // 2, bar[1])
        self.assertEqual(demo.update("level 0.5"), 1, "the bar alone")
        self.assertEqual(demo.update(), 0, "nothing changed")

        xdotool(demo.display, "windowunmap", "--sync", demo.window)
        demo.wait_visible(0)
        self.assertEqual(demo.update("level 0.25", "sine 440 9000"), 0, "hidden: nothing is drawn")

        xdotool(demo.display, "windowmap", "--sync", demo.window)
        demo.wait_visible(1)
        self.assertEqual(demo.update(), 1, "shown again: the whole window at once")
        full = sum(1 for p in demo.grab().area(bar) if p == fill)
        demo.draw("level 1")
        self.assertAlmostEqual(full / sum(1 for p in demo.grab().area(bar) if p == fill), 0.25, delta=0.01)

    def rows_of_text(self, picture, rect):
        background = picture.dominant(rect)
        return picture.rows_with(rect, lambda p: p != background)

    def test_expose_repaints_the_whole_window(self):
        demo = self.demo
        demo.draw("held c", "level 0.5", "sine 220 8000")
        shown = demo.grab()
        # Another window over ours and away again: X loses our pixels, SDL gets an expose.
        other = subprocess.Popen(["xmessage", "-geometry", "640x800+0+0", "cover"],
                                 env=dict(os.environ, DISPLAY=demo.display), stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL) if wsytest.shutil.which("xmessage") else None
        if other is None:
            self.skipTest("xmessage is not installed")
        xdotool(demo.display, "search", "--sync", "--name", "^xmessage$")
        other.kill()
        other.wait()
        self.assertEqual(demo.draw(), 0)
        self.assertTrue(demo.grab().same_as(shown, (0, 0, 640, 800)))


if __name__ == "__main__":
    if not DEMO or not os.access(DEMO, os.X_OK):
        raise SystemExit("WINDOW_VIEW_DEMO must name the window_view_demo binary")
    unittest.main()
