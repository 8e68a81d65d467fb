#!/usr/bin/env python3
"""The small host (small_host.cc), a program built against wsy/engine.h alone:
its build line holds nothing of SDL, PortAudio, JACK or ALSA and no include
folder but the engine's public one; it renders the samples the real
wsy-render renders for the same input; the engine prints nothing unless it
is asked to."""
import os
import re
import subprocess
import unittest

from wsytest import FolderTest, read_wav

RENDER = os.environ["WSY_RENDER"]
SMALL_HOST = os.environ["SMALL_HOST"]
SMALL_HOST_BUILD = os.environ["SMALL_HOST_BUILD"]  # CMakeFiles/small_host.dir
PUBLIC_INCLUDE = os.path.realpath(os.environ["ENGINE_PUBLIC_INCLUDE"])
SOURCE_DIR = os.environ["WSY_SOURCE_DIR"]
BUNDLED = os.path.join(SOURCE_DIR, "RODUV_2.WSY")
ADDRESS = re.compile(rb"0x[0-9a-f]+|\(nil\)")  # the report prints the modules' addresses
FORBIDDEN = re.compile(r"sdl|portaudio|jack|asound", re.IGNORECASE)


class BuildLine(unittest.TestCase):
    def read(self, name):
        with open(os.path.join(SMALL_HOST_BUILD, name)) as f:
            return f.read()

    def test_no_sound_or_window_library_is_linked_or_compiled_in(self):
        for name in ("link.txt", "flags.make"):
            text = self.read(name)
            self.assertIsNone(FORBIDDEN.search(text), "%s names %s:\n%s" % (name, FORBIDDEN.search(text), text))
        self.assertIn("libwsy_engine.a", self.read("link.txt"))

    def test_only_the_engines_public_include_folder(self):
        flags = self.read("flags.make")
        includes = [line for line in flags.splitlines() if line.startswith("CXX_INCLUDES")]
        self.assertEqual(len(includes), 1, flags)
        folders = re.findall(r"-(?:I|isystem)\s*(\S+)", includes[0].split("=", 1)[1])
        self.assertIn(PUBLIC_INCLUDE, [os.path.realpath(f) for f in folders])
        for folder in folders:
            real = os.path.realpath(folder)
            self.assertTrue(real == PUBLIC_INCLUDE or real.startswith("/usr/"),
                            "%s is on the small host's include line" % folder)
        # Nothing slips in through the other flags either.
        other = [line for line in flags.splitlines() if line.startswith(("CXX_FLAGS", "CXX_DEFINES"))]
        for line in other:
            self.assertNotRegex(line, r"-I|-isystem", line)


class SameSamples(FolderTest):
    def render(self, patch, frames, events=""):
        script = self.path("events.txt")
        with open(script, "w") as f:
            f.write(events + "%d end\n" % frames)
        run = subprocess.run([RENDER, "--patch", patch, "--events", script, "-o", self.path("render.wav")],
                             capture_output=True, timeout=300, cwd=self.dir.name)
        self.assertEqual(run.returncode, 0, run.stderr)
        return read_wav(self.path("render.wav"), raw=True), run

    def host(self, patch, frames, *args):
        run = subprocess.run([SMALL_HOST, patch, str(frames), self.path("host.raw"), *args],
                             capture_output=True, timeout=300, cwd=self.dir.name)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(self.path("host.raw"), "rb") as f:
            return f.read(), run

    def test_ten_seconds_of_auto_play_of_the_bundled_patch(self):
        rendered, render_run = self.render(BUNDLED, 441000)
        hosted, host_run = self.host(BUNDLED, 441000, "--trace")
        self.assertEqual(len(hosted), 4 * 441000)
        self.assertTrue(hosted == rendered, "the small host's samples differ from wsy-render's")
        self.assertGreater(max(abs(int.from_bytes(hosted[i:i + 2], "little", signed=True))
                               for i in range(0, len(hosted), 4001 * 4)), 1000, "silence proves nothing")
        # The same loader trace, report and words, in the same order.
        self.assertEqual(ADDRESS.sub(b"ADDR", host_run.stdout), ADDRESS.sub(b"ADDR", render_run.stdout))
        self.assertIn(b"MIAM\n", host_run.stdout)

    def test_notes_from_the_keys_as_commands(self):
        # The event script's keys and the engine's commands for them.
        events = ("22050 z down\n40000 z up\n50000 return down\n50100 return up\n60000 user\n"
                  "80000 n down\n81000 q down\n90000 n up\n")
        rendered, render_run = self.render(BUNDLED, 120000, events)
        hosted, host_run = self.host(BUNDLED, 120000, "--trace", "--play", "22050", "58", "--release", "40000", "58",
                                     "--replay", "50000", "--release-replay", "50100", "--random", "60000",
                                     "--play", "80000", "65", "--release", "90000", "65")
        self.assertTrue(hosted == rendered, "the small host's samples differ from wsy-render's")
        self.assertEqual(ADDRESS.sub(b"ADDR", host_run.stdout), ADDRESS.sub(b"ADDR", render_run.stdout))
        self.assertGreaterEqual(host_run.stdout.count(b"\nTRIG\n"), 4)

    def test_the_engine_prints_nothing_unless_asked(self):
        # A patch with warnings: asked, they come on standard error as wsy-render
        # prints them; not asked, nothing is printed at all.
        patch = self.path("warned.wsy")
        with open(patch, "w") as f:
            f.write("LFO1;*FREQ=0;*BOGUS=3;\nVCO1;LFO1:MOD_PHASE;NOBODY:IN9;\nMIXER1;VCO1:IN1;\n")
        _, render_run = self.render(patch, 30000)
        _, asked = self.host(patch, 30000, "--trace")
        warnings = [line for line in render_run.stderr.splitlines() if b": warning:" in line]
        self.assertTrue(warnings, render_run.stderr)
        self.assertEqual(asked.stderr.splitlines(), warnings)
        self.assertNotEqual(asked.stdout, b"")
        _, quiet = self.host(patch, 30000)
        self.assertEqual(quiet.stdout, b"")
        self.assertEqual(quiet.stderr, b"")
        _, quiet = self.host(BUNDLED, 30000)
        self.assertEqual((quiet.stdout, quiet.stderr), (b"", b""))


if __name__ == "__main__":
    unittest.main(verbosity=2)
