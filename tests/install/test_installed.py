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


class Staged(unittest.TestCase):
    """cmake --install into a staging folder, once for the class."""

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


class InstalledTree(Staged):
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


LV2 = "http://lv2plug.in/ns/lv2core#"
PREFIXES = {"lv2": LV2, "urid": "http://lv2plug.in/ns/ext/urid#", "work": "http://lv2plug.in/ns/ext/worker#",
            "log": "http://lv2plug.in/ns/ext/log#", "state": "http://lv2plug.in/ns/ext/state#",
            "opts": "http://lv2plug.in/ns/ext/options#"}


def lv2info_ports(text):
    """lv2info's port sections: {index: {"Type": {...}, "Symbol": ..., ...}}."""
    ports = {}
    for index, body in re.findall(r"^\tPort (\d+):\n((?:\t\t.*\n|\n)*)", text, re.M):
        fields = {}
        key = None
        for line in body.splitlines():
            m = re.match(r"^\t\t(\S[^:]*):\s*(.*)$", line)
            if m:
                key, value = m.groups()
                fields[key] = {value} if key in ("Type", "Properties") else value
            elif line.strip() and key in ("Type", "Properties"):
                fields[key].add(line.strip())
        ports[int(index)] = fields
    return ports


def lv2info_list(text, heading):
    """The values of one of lv2info's headings, one a line, continued on indented lines."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("\t%s:" % heading))
    values = [lines[start].split(":", 1)[1].strip()]
    for line in lines[start + 1:]:
        if not re.match(r"^\t\s+\S", line) or re.match(r"^\t\S", line):
            break
        values.append(line.strip())
    return {v for v in values if v}


def documented(table_row, guide):
    """The CURIEs in backquotes of one row of a table in docs/plugin.md, as full URIs."""
    row = next(line for line in guide.splitlines() if line.startswith("| %s |" % table_row))
    return {PREFIXES[p] + name for p, name in re.findall(r"`(\w+):(\w+)`", row)}


@unittest.skipUnless(installtest.HAS_PLUGIN, "built without the LV2 plugin")
class InstalledPlugin(Staged):
    """The LV2 bundle as a host finds it in the installed tree: its files,
    what lv2_validate and lv2info say of it, what its library exports and
    links, and docs/plugin.md against what the host reads."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.bundle = os.path.join(cls.root, installtest.PLUGIN_BUNDLE)
        cls.library = os.path.join(cls.bundle, "wsy.so")

    def host_env(self):
        # The staged lib/lv2 first, then the system's, where the LV2 vocabularies are.
        return dict(os.environ, LV2_PATH="%s:/usr/lib/lv2" % os.path.dirname(self.bundle), LC_ALL="C.UTF-8")

    def test_bundle_is_in_plain_lib_with_its_four_files(self):
        self.assertEqual(sorted(os.listdir(self.bundle)), sorted(installtest.PLUGIN_FILES))
        self.assertEqual(os.listdir(os.path.join(self.root, "lib")), ["lv2"], "a multiarch folder in lib")
        self.assertEqual(os.listdir(os.path.join(self.root, "lib", "lv2")), ["wsy.lv2"])
        # The bundled patch is the one the programs play, and the build tree's bundle is this one.
        with open(os.path.join(self.bundle, "RODUV_2.WSY"), "rb") as a, \
                open(os.path.join(self.root, "share/wsy/RODUV_2.WSY"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        for name in ("manifest.ttl", "wsy.ttl"):
            with open(os.path.join(self.bundle, name), "rb") as a, \
                    open(os.path.join(BUILD_DIR, "lv2", "wsy.lv2", name), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)

    def test_lv2_validate_finds_nothing_to_say(self):
        ttl = [os.path.join(self.bundle, f) for f in ("manifest.ttl", "wsy.ttl")]
        result = run(["lv2_validate", *ttl], outside_folder(self))
        out, err = result.stdout.decode(), result.stderr.decode()
        # lv2_validate ends with status 0 whatever it found: its words are the verdict.
        self.assertRegex(out, r"^Found 0 errors among \d+ files", out + err)
        said = [line for line in (out + err).splitlines()
                if line and not line.startswith(("Found 0 errors", "Skipping file /usr/lib/lv2/"))]
        self.assertEqual(said, [], out + err)

    def test_host_finds_an_instrument_with_the_documented_ports_and_features(self):
        here = outside_folder(self)
        listed = run(["lv2ls"], here, env=self.host_env())
        self.assertIn(installtest.PLUGIN_URI, listed.stdout.decode().split())
        info = run(["lv2info", installtest.PLUGIN_URI], here, env=self.host_env())
        self.assertEqual(info.returncode, 0, info.stderr)
        text = info.stdout.decode()
        self.assertRegex(text, r"\n\tName: +wsy\n")
        self.assertRegex(text, r"\n\tClass: +Instrument Plugin\n")
        self.assertRegex(text, r"\n\tBinary: +%s\n" % re.escape("file://" + self.library))
        with open(os.path.join(SOURCE_DIR, "docs", "plugin.md")) as f:
            guide = f.read()
        self.assertEqual(lv2info_list(text, "Required Features"), documented("required", guide))
        self.assertEqual(lv2info_list(text, "Optional Features"), documented("optional", guide))
        self.assertEqual(lv2info_list(text, "Extension Data"), documented("extension data", guide))

        ports = lv2info_ports(text)
        rows = [[cell.strip() for cell in row] for row in re.findall(
            r"^\| (\d+) \| `(\w+)` \|([^|]*)\|\s*(in|out)\s*\|([^|]*)\|([^|]*)\|$", guide, re.M)]
        self.assertEqual(sorted(ports), [int(r[0]) for r in rows], "the ports lv2info lists and the guide's table")
        kinds = {"atom": "http://lv2plug.in/ns/ext/atom#AtomPort", "audio": LV2 + "AudioPort",
                 "control": LV2 + "ControlPort"}
        for index, symbol, kind, direction, span, default in rows:
            with self.subTest(port=symbol):
                port = ports[int(index)]
                self.assertEqual(port["Symbol"], symbol)
                self.assertEqual(port["Type"], {kinds[kind.split()[0].rstrip(",")],
                                                LV2 + {"in": "InputPort", "out": "OutputPort"}[direction]})
                if span:
                    low, high = re.fullmatch(r"(\d+) to (\d+)", span).groups()
                    self.assertEqual((float(port["Minimum"]), float(port["Maximum"]), float(port["Default"])),
                                     (float(low), float(high), float(default)))
                    wanted = {LV2 + "toggled"} if "toggle" in kind else {LV2 + "integer"} if "whole" in kind else set()
                    self.assertEqual(port.get("Properties", set()), wanted)
                else:
                    self.assertNotIn("Minimum", port)

    def test_patch_is_a_writable_path_parameter(self):
        """What a host's generic interface needs to offer a file chooser."""
        triples = run(["sordi", "-o", "ntriples", os.path.join(self.bundle, "wsy.ttl")], outside_folder(self))
        self.assertEqual(triples.returncode, 0, triples.stderr)
        lines = set(triples.stdout.decode().splitlines())
        uri = installtest.PLUGIN_URI
        self.assertIn("<%s> <http://lv2plug.in/ns/ext/patch#writable> <%s#patch> ." % (uri, uri), lines)
        self.assertIn("<%s#patch> <http://www.w3.org/2000/01/rdf-schema#range> "
                      "<http://lv2plug.in/ns/ext/atom#Path> ." % uri, lines)

    def test_library_exports_lv2_descriptor_alone_and_links_no_sound_or_window_library(self):
        here = outside_folder(self)
        symbols = run(["nm", "-D", "--defined-only", self.library], here)
        self.assertEqual(symbols.returncode, 0, symbols.stderr)
        self.assertEqual([line.split()[-1] for line in symbols.stdout.decode().splitlines()], ["lv2_descriptor"])
        linked = run(["ldd", self.library], here)
        self.assertEqual(linked.returncode, 0, linked.stderr)
        libraries = [line.split()[0] for line in linked.stdout.decode().splitlines() if line.strip()]
        self.assertIn("libc.so.6", libraries)
        for unwanted in ("libSDL", "libportaudio", "libasound", "libjack"):
            self.assertEqual([l for l in libraries if l.startswith(unwanted)], [], linked.stdout)
        self.assertNotIn("not found", linked.stdout.decode())


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
