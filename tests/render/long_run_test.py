#!/usr/bin/env python3
"""One hour of audio from each example patch, rendered twice by the real
wsy-render with auto-play only: both renders finish, play to the end, and are
identical byte for byte (WAV and standard output). The two renders of a patch
run side by side; each WAV is hashed and deleted as soon as it is written."""
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest

RENDER = os.environ["WSY_RENDER"]
SOURCE_DIR = os.environ["WSY_SOURCE_DIR"]
HOUR = 3600 * 44100            # 158760000 frames
NOTE_FRAMES = 20205            # one unreleased note; auto-play starts the next
ADDRESS = re.compile(rb"0x[0-9a-f]+")


def example_patches():
    folder = os.path.join(SOURCE_DIR, "patches")
    return [os.path.join(SOURCE_DIR, "RODUV_2.WSY")] + sorted(
        os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".wsy"))


def digest_and_tail(path):
    """SHA-256 of the file and its last second of audio."""
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 22), b""):
            sha.update(block)
        f.seek(-4 * 44100, os.SEEK_END)
        tail = f.read()
    return sha.hexdigest(), tail


class HourLongRender(unittest.TestCase):
    def test_every_example_patch_twice(self):
        patches = example_patches()
        self.assertGreaterEqual(len(patches), 7)
        for patch in patches:
            with self.subTest(patch=os.path.basename(patch)), tempfile.TemporaryDirectory() as tmp:
                outs = [os.path.join(tmp, "%d.wav" % i) for i in range(2)]
                runs = [subprocess.Popen([RENDER, "--patch", patch, "--frames", str(HOUR), "-o", out],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE) for out in outs]
                results = [run.communicate(timeout=900) for run in runs]
                for run, (stdout, stderr) in zip(runs, results):
                    self.assertEqual(run.returncode, 0, stderr)
                    self.assertIn(b"158760000 frames (3600.00 s of audio)", stderr)
                    # Auto-play all the way: a new note every 20205 frames.
                    self.assertEqual(stdout.count(b"MIAM\n"), -(-HOUR // NOTE_FRAMES))
                sums = []
                for out in outs:
                    self.assertEqual(os.path.getsize(out), 44 + 4 * HOUR)
                    digest, tail = digest_and_tail(out)
                    os.remove(out)
                    self.assertTrue(any(tail), "the last second is silent")
                    sums.append(digest)
                self.assertEqual(sums[0], sums[1])
                self.assertEqual(ADDRESS.sub(b"", results[0][0]), ADDRESS.sub(b"", results[1][0]))
                print("%s: %s, %s" % (os.path.basename(patch), sums[0],
                                      results[0][1].decode().strip()), file=sys.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
