"""wsy installed with `cmake --install` into a staging folder (DESTDIR), then
run from an empty folder outside the source tree: the programs, the patches
they find, the manual pages, the desktop entry."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import installtest
from installtest import BUILD_DIR, HAS_PLAYER, SOURCE_DIR, outside_folder, run

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests"))
import wsytest  # noqa: E402  (the helpers of the tests that run the real programs)

CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")
PREFIX = "/usr"
MANUAL_PAGES = ["man1/wsy-render.1.gz", "man5/wsy-patch.5.gz"] + (["man1/wsy.1.gz"] if HAS_PLAYER else [])


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stage = tempfile.mkdtemp(prefix="wsy-destdir-")
        install = subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", PREFIX],
                                 env=dict(os.environ, DESTDIR=cls.stage), capture_output=True, timeout=120)
        if install.returncode != 0:
            shutil.rmtree(cls.stage, True)
            raise AssertionError("cmake --install failed:\n%s" % install.stderr.decode(errors="replace"))
        cls.root = cls.stage + PREFIX

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.stage, True)

    def program(self, name, root=None):
        return os.path.join(root or self.root, "bin", name)

    def test_installs_exactly_the_expected_files(self):
        self.assertEqual(installtest.files_under(self.root), installtest.expected_files())
        self.assertEqual(os.listdir(self.stage), [PREFIX.strip("/")], "nothing may land outside the prefix")

    def test_renders_an_example_by_name_from_an_empty_folder(self):
        here = outside_folder(self)
        result = run([self.program("wsy-render"), "--patch", "chord", "-o", "x.wav"], here)
        self.assertEqual(result.returncode, 0, result.stderr)
        installed = os.path.join(self.root, "share/wsy/patches/chord.wsy")
        self.assertIn(("playing the example %s\n" % installed).encode(), result.stderr)
        self.assertTrue(result.stdout.startswith(b"OBJET [LFO_STILL]\n"), result.stdout[:80])
        # The same samples and trace as the build's renderer gives for the source's chord.wsy.
        built = run([os.path.join(BUILD_DIR, "wsy-render"), "--patch",
                     os.path.join(SOURCE_DIR, "patches", "chord.wsy"), "-o", "built.wav"], here)
        self.assertEqual(built.returncode, 0, built.stderr)
        samples = wsytest.read_wav(os.path.join(here, "x.wav"))  # 16-bit stereo at 44100 Hz
        self.assertEqual(len(samples), 10 * wsytest.RATE * 2)
        self.assertGreater(max(samples), 0, "silent render")
        self.assertEqual(samples, wsytest.read_wav(os.path.join(here, "built.wav")))
        address = re.compile(rb"0x[0-9a-f]+")  # the report prints where each object lives
        self.assertEqual(address.sub(b"0x", result.stdout), address.sub(b"0x", built.stdout))

    def test_version(self):
        result = run([self.program("wsy-render"), "--version"], outside_folder(self))
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, ("wsy-render %s\n" % installtest.project_version()).encode(), b""))

    def test_missing_default_patch_gives_ways_on_that_work(self):
        here = outside_folder(self)
        result = run([self.program("wsy-render"), "--frames", "100", "-o", "x.wav"], here)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, b"")
        message = result.stderr.decode()
        self.assertTrue(message.startswith('wsy-render: cannot read the patch file "RODUV_2.WSY"'), message)
        self.assertIn("wsy-render --patch FILE\n", message)
        self.assertIn("(in %s/share/wsy/patches)\n" % self.root, message)
        self.assertFalse(os.path.exists(os.path.join(here, "x.wav")))
        # Do what the message says: the copy command, then the same command line again.
        copy = [line.split(":", 1)[1].strip() for line in message.splitlines() if "copy the bundled patch" in line]
        self.assertEqual(copy, ["cp %s/share/wsy/RODUV_2.WSY ." % self.root])
        subprocess.run(copy[0], shell=True, cwd=here, check=True)
        again = run([self.program("wsy-render"), "--frames", "100", "-o", "x.wav"], here)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertTrue(again.stdout.startswith(b"OBJET [LFO_VIBRATO]\n"))

    def test_a_moved_tree_finds_its_own_patches(self):
        moved = os.path.join(outside_folder(self), "some where", "wsy")
        shutil.copytree(self.root, moved, symlinks=True)
        here = outside_folder(self)
        result = run([self.program("wsy-render", moved), "--patch", "vibrato.wsy", "--frames", "100",
                      "-o", "x.wav"], here)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(("playing the example %s/share/wsy/patches/vibrato.wsy\n" % moved).encode(), result.stderr)
        missing = run([self.program("wsy-render", moved), "-o", "x.wav"], here)
        self.assertEqual(missing.returncode, 1)
        # A path with a space is quoted so that the command can be pasted.
        self.assertIn(("cp '%s/share/wsy/RODUV_2.WSY' .\n" % moved).encode(), missing.stderr)
        unknown = run([self.program("wsy-render", moved), "--patch", "nonesuch", "-o", "x.wav"], here)
        self.assertEqual(unknown.returncode, 1)
        self.assertIn(("nor an example of that name in %s/share/wsy/patches (chord, " % moved).encode(),
                      unknown.stderr)

    @unittest.skipUnless(HAS_PLAYER, "built without the interactive program")
    def test_wsy_plays_a_few_notes_with_nosound_through_a_pty(self):
        here = outside_folder(self)
        shutil.copy(os.path.join(self.root, "share/wsy/RODUV_2.WSY"), here)
        wsytest.WSY = self.program("wsy")
        w = wsytest.Wsy(self, here, wsytest.base_env(), terminal=True)
        w.out.wait_contains(wsytest.TYPE_MENU)
        self.assertTrue(w.out.snapshot().startswith(b"OBJET [LFO_VIBRATO]\n"))
        w.send(b"4")
        w.out.wait_contains(wsytest.driver_list(b"NoSound", [b"No sound"]))
        w.send(b"1")
        start = w.out.wait_contains(wsytest.HELP)
        w.out.wait_for(lambda out: out[start:].count(b"MIAM\n") >= 3, 20, "three auto-played notes")
        self.assertIn(wsytest.HELP + wsytest.AUTO_PLAY + wsytest.AUTO_PLAY, w.out.snapshot())
        w.signal(signal.SIGINT)
        self.assertEqual(w.wait(), -signal.SIGINT)
        self.assertIn("NoSound", w.err.wait_closed().decode(errors="replace"))

    def test_manual_pages_render_without_warnings(self):
        env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80", MANPATH=os.path.join(self.root, "share/man"))
        for page in MANUAL_PAGES:
            with self.subTest(page=page):
                path = os.path.join(self.root, "share/man", page)
                shown = run(["man", "--warnings=w", "-l", path], outside_folder(self), env=env)
                self.assertEqual((shown.returncode, shown.stderr), (0, b""))
                self.assertIn(b"\nNAME\n", shown.stdout)
                roff = subprocess.run(["gzip", "-dc", path], capture_output=True, check=True).stdout
                checked = subprocess.run(["groff", "-ww", "-z", "-man"], input=roff, capture_output=True)
                self.assertEqual((checked.returncode, checked.stderr), (0, b""))
                # man finds the page by name in the installed tree.
                name, section = os.path.basename(page)[:-3].rsplit(".", 1)
                where = run(["man", "-w", section, name], outside_folder(self), env=env)
                self.assertEqual(where.stdout.decode().strip(), path)

    @unittest.skipUnless(HAS_PLAYER, "built without the interactive program")
    def test_desktop_entry_is_valid(self):
        result = run(["desktop-file-validate", os.path.join(self.root, "share/applications/wsy.desktop")],
                     outside_folder(self))
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))


class HelpMatchesManual(unittest.TestCase):
    """Every option --help names is in the manual page's OPTIONS, and the reverse."""

    def check(self, program, page):
        here = outside_folder(self)
        binary = os.path.join(BUILD_DIR, program)
        help_run = run([binary, "--help"], here, stdin=subprocess.DEVNULL, timeout=20)
        self.assertEqual(help_run.returncode, 0, "%s --help ended with status %d: %s" % (
            program, help_run.returncode, help_run.stderr.decode(errors="replace")[-500:]))
        from_help = installtest.options_in(help_run.stdout.decode())
        manual = installtest.rendered_manual(os.path.join(BUILD_DIR, "man", page + ".gz"))
        from_manual = installtest.options_in(installtest.manual_section(manual, "OPTIONS"))
        self.assertGreater(len(from_manual), 3)
        self.assertEqual(sorted(from_help - from_manual), [], "in %s --help, not in %s's OPTIONS" % (program, page))
        self.assertEqual(sorted(from_manual - from_help), [], "in %s's OPTIONS, not in %s --help" % (page, program))
        # And the synopsis names no option the OPTIONS section leaves out.
        synopsis = installtest.options_in(installtest.manual_section(manual, "SYNOPSIS"))
        self.assertLessEqual(synopsis, from_manual)

    def test_wsy_render(self):
        self.check("wsy-render", "wsy-render.1")

    @unittest.skipUnless(HAS_PLAYER, "built without the interactive program")
    def test_wsy(self):
        self.check("wsy", "wsy.1")


if __name__ == "__main__":
    unittest.main(verbosity=2)
