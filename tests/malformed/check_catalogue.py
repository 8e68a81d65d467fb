#!/usr/bin/env python3
"""The catalogue of bad input, run through the real wsy-render.

Every case is a file NAME.EXT next to NAME.stdout, NAME.stderr and NAME.status,
the exact standard output, standard error and exit status expected:

  *.wsy                  a patch file: wsy-render --patch NAME.wsy --frames 3000
  events/*.events        an event script for the bundled patch
  command_lines/*.args   a command line, one argument a line, run in a folder
                         that holds the bundled patch as RODUV_2.WSY; those
                         named wsy_* run through wsy (WSY_BIN), when it is built
  empty_folder/*.args    a command line run in an empty folder: the patch is
                         missing, or found among the examples by its name
  ../midi/malformed/*.mid  a bad Standard MIDI File: wsy-render --midi NAME.mid
                         --frames 3000, expected files in midi/

Two patch cases have no file of their own, since git cannot hold them: a
directory named in place of the patch (directory.*) and a patch file that its
reader may not read (unreadable.*).

Standard error is compared with the speed figures of the summary line masked
and the source tree's path written $WSY_SOURCE_DIR (the build's programs take
the example patches from there);
standard output with every %p address masked. With --update the expected
files are written from what the binary does now (review the diff!).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from wsytest import read_wav  # noqa: E402
RENDER = os.environ.get("WSY_RENDER", "")
PLAYER = os.environ.get("WSY_BIN", "")
SOURCE_DIR = os.environ.get("WSY_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
UPDATE = False
FRAMES = 3000

ADDRESS = re.compile(rb"0x[0-9a-f]+")
SPEED = re.compile(rb" in [0-9.]+ s, [0-9.]+x real time")
NOBODY = 65534


def masked_stdout(data):
    return ADDRESS.sub(b"0xADDRESS", data)


def masked_stderr(data):
    data = data.replace(os.path.realpath(SOURCE_DIR).encode(), b"$WSY_SOURCE_DIR")
    return SPEED.sub(b" in T s, Nx real time", data)


def cases(folder, ext):
    return sorted(f[: -len(ext)] for f in os.listdir(folder) if f.endswith(ext))


class Catalogue(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="wsy_malformed_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def run_render(self, args, preexec_fn=None):
        return subprocess.run([RENDER, *args], cwd=self.dir, capture_output=True, timeout=60,
                              preexec_fn=preexec_fn)

    def check(self, expected_base, run):
        """Compares (or with --update, records) one run against its expected files."""
        got = {
            ".stdout": masked_stdout(run.stdout),
            ".stderr": masked_stderr(run.stderr),
            ".status": b"%d\n" % run.returncode,
        }
        for ext, data in got.items():
            path = expected_base + ext
            if UPDATE:
                with open(path, "wb") as f:
                    f.write(data)
                continue
            with open(path, "rb") as f:
                expected = f.read()
            self.assertEqual(data.decode("latin-1"), expected.decode("latin-1"),
                             "%s%s differs" % (os.path.relpath(expected_base, HERE), ext))

    def check_wav(self, path, frames):
        self.assertEqual(len(read_wav(path)), 2 * frames)  # 16-bit stereo at 44100 Hz

    def render_patch(self, name, preexec_fn=None):
        return self.run_render(["--patch", name + ".wsy", "--frames", str(FRAMES), "-o", "out.wav"],
                               preexec_fn)

    def test_patch_files(self):
        names = cases(HERE, ".wsy")
        self.assertGreaterEqual(len(names), 25)
        for name in names:
            with self.subTest(patch=name):
                shutil.copy(os.path.join(HERE, name + ".wsy"), self.dir)
                run = self.render_patch(name)
                self.check(os.path.join(HERE, name), run)
                # A malformed patch still loads and plays: every frame is written.
                self.assertEqual(run.returncode, 0)
                self.check_wav(os.path.join(self.dir, "out.wav"), FRAMES)

    def test_directory_in_place_of_the_patch(self):
        os.mkdir(os.path.join(self.dir, "directory.wsy"))
        self.check(os.path.join(HERE, "directory"), self.render_patch("directory"))

    def test_unreadable_patch(self):
        # The file exists but its reader has no right to read it. root reads
        # any file whatever its mode, so as root the render runs as nobody.
        folder = os.path.join(self.dir, "unreadable")
        os.mkdir(folder)
        path = os.path.join(folder, "unreadable.wsy")
        shutil.copy(os.path.join(SOURCE_DIR, "RODUV_2.WSY"), path)
        os.chmod(path, 0)
        preexec_fn = None
        if os.geteuid() == 0:
            os.chmod(self.dir, 0o755)
            os.chmod(folder, 0o777)

            def preexec_fn():
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            probe = subprocess.run([RENDER, "--help"], capture_output=True, preexec_fn=preexec_fn)
            if probe.returncode != 0:
                self.skipTest("running as root, and user nobody cannot run %s (%s): "
                              "cannot make a file unreadable" % (RENDER, probe.returncode))
        elif os.access(path, os.R_OK):
            self.skipTest("a file of mode 000 is still readable here")
        run = subprocess.run([RENDER, "--patch", "unreadable.wsy", "--frames", "10", "-o", "out.wav"],
                             cwd=folder, capture_output=True, timeout=60, preexec_fn=preexec_fn)
        self.check(os.path.join(HERE, "unreadable"), run)

    def test_event_scripts(self):
        folder = os.path.join(HERE, "events")
        names = cases(folder, ".events")
        self.assertGreater(len(names), 0)
        for name in names:
            with self.subTest(script=name):
                shutil.copy(os.path.join(folder, name + ".events"), self.dir)
                run = self.run_render(["--patch", os.path.join(SOURCE_DIR, "RODUV_2.WSY"),
                                       "--frames", str(FRAMES), "--events", name + ".events",
                                       "-o", "out.wav"])
                self.check(os.path.join(folder, name), run)

    def test_midi_files(self):
        source = os.path.join(os.path.dirname(HERE), "midi", "malformed")
        expected = os.path.join(HERE, "midi")
        os.makedirs(expected, exist_ok=True)
        names = cases(source, ".mid")
        self.assertGreaterEqual(len(names), 20)
        refused = 0
        for name in names:
            with self.subTest(midi=name):
                shutil.copy(os.path.join(source, name + ".mid"), self.dir)
                run = self.run_render(["--patch", os.path.join(SOURCE_DIR, "RODUV_2.WSY"), "--no-autoplay",
                                       "--frames", str(FRAMES), "--midi", name + ".mid", "-o", "out.wav"])
                self.check(os.path.join(expected, name), run)
                if run.returncode == 2:
                    refused += 1
                    # A refused file names the byte offset where it goes wrong.
                    self.assertRegex(run.stderr.decode(), r"at byte [0-9]+: ")
                else:
                    self.assertEqual(run.returncode, 0)
                    self.check_wav(os.path.join(self.dir, "out.wav"), FRAMES)
        self.assertGreaterEqual(refused, 20)

    def test_command_lines(self):
        shutil.copy(os.path.join(SOURCE_DIR, "RODUV_2.WSY"), self.dir)
        self.check_command_lines("command_lines")

    def test_command_lines_in_an_empty_folder(self):
        self.check_command_lines("empty_folder")

    def check_command_lines(self, subfolder):
        folder = os.path.join(HERE, subfolder)
        names = cases(folder, ".args")
        self.assertGreater(len(names), 0)
        for name in names:
            with self.subTest(command_line=name):
                with open(os.path.join(folder, name + ".args")) as f:
                    args = f.read().split("\n")
                if args and args[-1] == "":
                    args.pop()
                if name.startswith("wsy_"):
                    if not PLAYER:
                        continue  # built without the interactive program
                    run = subprocess.run([PLAYER, *args], cwd=self.dir, capture_output=True, timeout=60,
                                         stdin=subprocess.DEVNULL)
                else:
                    run = self.run_render(args)
                self.check(os.path.join(folder, name), run)


if __name__ == "__main__":
    if "--update" in sys.argv:
        sys.argv.remove("--update")
        UPDATE = True
    if not RENDER:
        sys.exit("check_catalogue.py: set WSY_RENDER to the wsy-render binary")
    unittest.main(verbosity=2)
