#!/usr/bin/env python3
"""patch:Set a hundred times a second of audio for 10 s while MIDI plays:
good patch files, half-written ones, empty ones and missing ones, in turn.
The plugin plays on without a crash or a sanitizer report, and every moment
it plays one whole patch: the host's "set FRAME PATH" lines, written as an
event script that swaps the same files in at the same frames, re-render
through wsy-render to the very same samples. Once with the worker run
synchronously (the same every time) and twice with a worker thread of the
host's own, as real hosts have it."""
import os
import unittest

from lv2test import (BUNDLED_PATCH, EXAMPLES, assert_only_plugin_log, assert_plays, host, render, temp_dir,
                     write)
from wsytest import RATE, smf, track

SECONDS = 10
FRAMES = SECONDS * RATE
SETS_PER_SECOND = 100


def playing_midi():
    """Ten seconds of notes (one every 100 ms, 80 ms long), bends, the pedal
    every second and all notes off now and then; 960 ticks a second."""
    events = []
    for i in range(SECONDS * 10):
        at = 96 * i
        key = 48 + (i * 7) % 30
        events.append((at, [0x90, key, 30 + (i * 13) % 97]))
        events.append((at + 77, [0x80, key, 0]))
        if i % 3 == 1:
            events.append((at + 40, [0xE0, (i * 37) & 0x7F, (i * 11) % 128]))
        if i % 10 == 5:
            events.append((at + 20, [0xB0, 64, 127 if i % 20 == 5 else 0]))
        if i % 25 == 24:
            events.append((at + 90, [0xB0, 123, 0]))
    events.sort(key=lambda e: e[0])
    deltas, last = [], 0
    for at, data in events:
        deltas.append((at - last, data))
        last = at
    return smf(0, 480, [track(deltas)])


class PatchSetStress(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.examples = []
        for name in sorted(os.listdir(EXAMPLES)) + [None]:
            with open(os.path.join(EXAMPLES, name) if name else BUNDLED_PATCH) as f:
                cls.examples.append(f.read())

    def files(self, folder):
        """(frame, path) of each set, and the paths of the files that cannot load."""
        sets, bad = [], set()
        for k in range(SECONDS * SETS_PER_SECOND):
            frame = k * RATE // SETS_PER_SECOND
            kind = ("good", "half", "empty", "missing")[k % 4]
            path = os.path.join(folder, "set%04d-%s.wsy" % (k, kind))
            text = self.examples[(k // 4) % len(self.examples)]
            if kind == "good":
                write(path, text)
            elif kind == "half":
                # Cut anywhere, inside a word too; never before the first word's end.
                cut = text.index(";") + 1 + (k * 31) % (len(text) - text.index(";"))
                write(path, text[:cut])
            elif kind == "empty":
                write(path, "")
            if kind in ("empty", "missing"):
                bad.add(path)
            sets.append((frame, path))
        return sets, bad

    def test_sets_while_playing(self):
        d = temp_dir(self)
        midi = write(os.path.join(d, "playing.mid"), playing_midi())
        sets, bad = self.files(d)
        args = ["--midi", midi, "--frames", FRAMES]
        for frame, path in sets:
            args += ["--set", "%d:%s" % (frame, path)]
        without_swaps = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", FRAMES)
        for worker, blocks in (("synchronous", "random:42"), ("threaded", "random:43"), ("threaded", "64")):
            with self.subTest(worker=worker, blocks=blocks):
                played = host(self, *args, "--blocks", blocks, *(["--threaded-worker"] if worker == "threaded" else []))
                assert_only_plugin_log(self, played)
                heard = played.sets()
                self.assertTrue(heard, "no patch was set")
                # Only files that load are announced, in the order they were
                # set, each after the frame it was set at.
                requested = {path: frame for frame, path in sets}
                order = [path for _, path in sets]
                self.assertEqual([p for p in order if p in {h for _, h in heard}], [p for _, p in heard])
                for frame, path in heard:
                    self.assertNotIn(path, bad)
                    self.assertGreater(frame, requested[path])
                self.assertEqual([f for f, _ in heard], sorted(f for f, _ in heard))
                # Each file that cannot load is named once in an error on the log.
                errors = [l for l in played.stderr.splitlines() if l.startswith("plugin log: Error: ")]
                for path in bad:
                    self.assertEqual(sum(1 for l in errors if path in l), 1, path)
                self.assertEqual(len(errors), len(bad), "\n".join(errors[:20]))

                # Every sample: the same files swapped in at the same frames by wsy-render.
                script = write(os.path.join(d, "swaps-%s-%s.events" % (worker, blocks.replace(":", ""))),
                               "".join("%d patch %s\n" % h for h in heard))
                rendered = render(self, BUNDLED_PATCH, "--midi", midi, "--frames", FRAMES, "--events", script)
                self.assertNotEqual(rendered, without_swaps)
                assert_plays(self, played.samples, rendered, "%s worker, blocks %s" % (worker, blocks))


if __name__ == "__main__":
    unittest.main()
