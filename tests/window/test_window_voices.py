"""The window with several voices, under Xvfb: a real engine's notes reach the
window (window_voices_demo plays it and hands its reports to the window as
wsy's main loop does), and each picture is compared with the one the window
draws for the state written out here by hand (window_view_demo): each busy
voice's note with what started it, how many voices are busy, the keys held;
a freed voice leaves the display. With one voice the window is as it always
was."""

import os
import subprocess
import unittest

import screenshot
import wsytest
from test_window_view import Demo
from wsytest import Reader, start_xvfb, xdotool

VOICES_DEMO = os.environ.get("WINDOW_VOICES_DEMO", "")
CAPTION = "wsy-voices-%d" % os.getpid()
NOTE_ON, NOTE_OFF = 0x90, 0x80


class Played:
    """window_voices_demo on a display of its own: a real engine and wsy's window."""

    def __init__(self, test, voices, *extra):
        self.display = start_xvfb(test)
        self.proc = subprocess.Popen([VOICES_DEMO, CAPTION, str(voices), *extra], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=dict(os.environ, DISPLAY=self.display), start_new_session=True)
        test.addCleanup(self.close)
        self.out = Reader(self.proc.stdout.fileno())
        self.out.wait_contains(b"ready\n", timeout=20)
        self.window = xdotool(self.display, "search", "--sync", "--name", "^%s$" % CAPTION).split()[0]
        self.read_from = len(self.out.snapshot())

    def show(self, *commands):
        """Sends the commands, then the main loop's update; returns the picture."""
        self.proc.stdin.write(("\n".join(commands + ("update",)) + "\n").encode())
        self.proc.stdin.flush()
        end = self.out.wait_contains(b"\n", start=self.read_from, timeout=20 * wsytest.SLOW)
        line = self.out.snapshot()[self.read_from:end].decode()
        self.read_from = end + 1
        if not line.startswith("updated "):
            raise AssertionError("unexpected output %r; stderr %r" % (line, self.proc.stderr.read1()))
        return screenshot.grab(self.display, self.window)

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def midi(status, key, value):
    return "midi %d %d %d" % (status, key, value)


class WindowVoices(unittest.TestCase):
    def setUp(self):
        self.drawn = Demo(self)  # the face drawn from states written here
        areas = self.drawn.areas
        self.note = areas["note"]
        key0 = areas["key0"]
        self.keys = (key0[0], key0[1], key0[2], 8 * key0[3])

    def drawing(self, *commands):
        self.drawn.draw(*commands)
        return self.drawn.grab()

    def assertShows(self, played, drawn, what):
        self.assertTrue(played.same_as(drawn, self.note), "the sounding notes differ from " + what)
        self.assertTrue(played.same_as(drawn, self.keys), "the keys held differ from " + what)

    def text_bands(self, picture):
        """Runs of rows of the note area with ink on them: its lines of text."""
        background = picture.dominant(self.note)
        rows = picture.rows_with(self.note, lambda p: p != background)
        return sum(1 for i, row in enumerate(rows) if i == 0 or rows[i - 1] != row - 1)

    def test_chord_shows_its_notes_their_origins_and_the_count(self):
        played = Played(self, 8)
        chord = played.show(midi(NOTE_ON, 57, 100), midi(NOTE_ON, 61, 90), midi(NOTE_ON, 64, 80), "key z",
                            "play 1024")
        # A3, C#4 and E4 from MIDI, A4 from the key z.
        expected = self.drawing("voices 8", "voice 0 46 midi", "voice 1 50 midi", "voice 2 53 midi",
                                "voice 3 58 key", "keys z")
        self.assertShows(chord, expected, "A3 C#4 E4 from MIDI and A4 from a key, 4 of 8 voices")
        self.assertEqual(self.text_bands(chord), 2, "the count, then a line of notes")

        # The comparison can tell: another origin, another count, another note.
        self.assertFalse(chord.same_as(self.drawing("voice 3 58 midi"), self.note))
        self.assertFalse(chord.same_as(self.drawing("voice 3 58 auto"), self.note))
        self.assertFalse(chord.same_as(self.drawing("voice 3 58 key", "voice 4 58 key"), self.note))
        self.assertFalse(chord.same_as(self.drawing("voice 4 none", "voice 3 59 key"), self.note))

        # C#4 let go: its voice is free and leaves the display; the rest stay.
        freed = played.show(midi(NOTE_OFF, 61, 0), "play 512")
        self.assertShows(freed, self.drawing("voice 3 58 key", "voice 1 none"),
                         "A3 E4 from MIDI and A4 from a key, 3 of 8 voices")
        self.assertFalse(freed.same_as(chord, self.note))

        # Another key joins: both keys' rows lit, its note among the key's.
        joined = played.show("key c", "play 512")
        self.assertShows(joined, self.drawing("voice 1 61 key", "keys z c"), "A4 C5 from keys, A3 E4 from MIDI")
        self.assertFalse(joined.same_as(freed, self.keys))

        # The key z let go frees its voice; the notes still held run out by themselves.
        let_go = played.show("unkey z", "play 512")
        self.assertShows(let_go, self.drawing("voice 3 none", "keys c"), "C5 from a key, A3 E4 from MIDI")
        silent = played.show("play %d" % (3 * wsytest.RATE))
        self.assertShows(silent, self.drawing("voices 8", "keys c"), "no voice busy, 0 of 8 voices")
        self.assertEqual(self.text_bands(silent), 1, "the count alone")

    def test_enter_and_auto_play_are_named(self):
        played = Played(self, 4, "auto")
        picture = played.show("play 256")
        # The random note is one of ten: the drawing that matches names it, auto-play started it.
        matches = [note for note in range(53, 63)
                   if picture.same_as(self.drawing("voices 4", "voice 0 %d auto" % note), self.note)]
        self.assertEqual(len(matches), 1, "one note, from the auto-play, 1 of 4 voices")
        self.assertFalse(picture.same_as(self.drawing("voice 0 %d key" % matches[0]), self.note))

        # Enter plays the last note again, on a voice of its own while the auto-play's sounds.
        entered = played.show("enter", "play 256")
        self.assertShows(entered, self.drawing("voice 0 %d auto" % matches[0], "voice 1 %d enter" % matches[0]),
                         "the same note from the auto-play and from Enter, 2 of 4 voices")

    def test_one_voice_looks_as_it_always_has(self):
        played = Played(self, 1)
        picture = played.show(midi(NOTE_ON, 57, 100), "key z", "key x", "play 512")
        # The newest note alone, and only the latest key lit.
        self.assertShows(picture, self.drawing("sounding 59 key", "held x"), "A#4 from a key, key x held")
        self.assertEqual(self.text_bands(picture), 1)
        let_go = played.show("unkey x", "play 256")
        self.assertShows(let_go, self.drawing("sounding none", "held none"), "nothing sounding")


if __name__ == "__main__":
    for name, path in (("WINDOW_VIEW_DEMO", os.environ.get("WINDOW_VIEW_DEMO", "")),
                       ("WINDOW_VOICES_DEMO", VOICES_DEMO)):
        if not path or not os.access(path, os.X_OK):
            raise SystemExit(name + " must name its binary")
    unittest.main()
