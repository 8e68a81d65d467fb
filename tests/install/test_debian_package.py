"""The Debian package built by `cpack -G DEB` from the install rules: its
control fields and file list (dpkg-deb), lintian, and the programs run from
the package unpacked into a throwaway root."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import installtest
from installtest import BUILD_DIR, SOURCE_DIR, outside_folder, run

CPACK = os.environ.get("CPACK_COMMAND", "cpack")


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, check=True).stdout.decode().strip()


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="wsy-deb-")
        built = subprocess.run([CPACK, "-G", "DEB", "-B", cls.out], cwd=BUILD_DIR, capture_output=True, timeout=600)
        debs = [f for f in os.listdir(cls.out) if f.endswith(".deb")]
        if built.returncode != 0 or len(debs) != 1:
            shutil.rmtree(cls.out, True)
            raise AssertionError("cpack -G DEB failed (status %d, packages %s):\n%s" % (
                built.returncode, debs, (built.stdout + built.stderr).decode(errors="replace")))
        cls.deb = os.path.join(cls.out, debs[0])
        cls.version = installtest.project_version()
        cls.arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, True)

    def test_file_name_and_control_fields(self):
        self.assertEqual(os.path.basename(self.deb), "wsy_%s_%s.deb" % (self.version, self.arch))
        self.assertEqual(field(self.deb, "Package"), "wsy")
        self.assertEqual(field(self.deb, "Version"), self.version)
        self.assertEqual(field(self.deb, "Architecture"), self.arch)
        self.assertEqual(field(self.deb, "Section"), "sound")
        self.assertRegex(field(self.deb, "Maintainer"), r"^[^<>]+ <[^@<>\s]+@[^@<>\s]+>$")
        # Computed from the binaries by dpkg-shlibdeps: each library with its minimum version.
        depends = {d.split()[0]: d for d in re.split(r",\s*", field(self.deb, "Depends"))}
        for library in ("libc6", "libsndfile1", "libportaudio2", "libstdc++6"):
            self.assertRegex(depends.get(library, ""), r"\(>= [^)]+\)", "Depends: " + field(self.deb, "Depends"))
        synopsis, *long_text = field(self.deb, "Description").splitlines()
        self.assertTrue(synopsis and len(synopsis) < 80, synopsis)
        self.assertGreaterEqual(len(long_text), 3)
        self.assertNotIn(synopsis.strip(), long_text[0])
        if installtest.HAS_PLUGIN:
            self.assertRegex(" ".join(long_text), r"\bLV2\b.*\binstrument\b", "the description names the plugin")

    def test_file_list(self):
        listing = subprocess.run(["dpkg-deb", "-c", self.deb], capture_output=True, text=True, check=True).stdout
        files = {}
        for line in listing.splitlines():
            mode, owner, _, _, _, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", line)
            if not mode.startswith("d"):
                files[os.path.relpath(path, "./usr")] = mode
        self.assertEqual(set(files), installtest.expected_files())
        for path, mode in files.items():
            self.assertEqual(mode, "-rwxr-xr-x" if path.startswith("bin/") else "-rw-r--r--", path)

    def test_lintian_reports_no_error_and_only_tags_the_install_guide_explains(self):
        result = subprocess.run(["lintian", "--pedantic", "--display-info", "--display-experimental", self.deb],
                                capture_output=True, text=True, timeout=600)
        tags = [l for l in result.stdout.splitlines() if re.match(r"^[EWIPXO]: ", l)]
        self.assertEqual([t for t in tags if t.startswith("E: ")], [], result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(os.path.join(SOURCE_DIR, "docs", "install.md")) as f:
            guide = f.read()
        for tag in tags:
            name = tag.split()[2]
            self.assertTrue("`%s`" % name in guide, "lintian tag not explained in docs/install.md: " + tag)

    def test_copyright_file_carries_the_licence(self):
        root = outside_folder(self)
        subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True)
        with open(os.path.join(root, "usr/share/doc/wsy/copyright")) as f:
            paragraphs = [p for p in f.read().split("\n\n") if p.strip()]
        header, files, *licences = paragraphs
        self.assertRegex(header, r"^Format: https://www\.debian\.org/doc/packaging-manuals/copyright-format/1\.0/\n")
        self.assertIn("\nUpstream-Name: wsy\n", header)
        self.assertRegex(files, r"^Files: \*\nCopyright: 2026 The wsy developers\nLicense: Expat$")
        self.assertEqual(len(licences), 1)
        first, *body = licences[0].splitlines()
        self.assertEqual(first, "License: Expat")
        # The package's licence text says what LICENSE at the top of the sources says,
        # read past its title and copyright line and with the lines joined.
        packaged = " ".join(line.strip() for line in body if line.strip() != ".")
        with open(os.path.join(SOURCE_DIR, "LICENSE")) as f:
            title, copyright_line, *text = [line for line in f.read().splitlines() if line.strip()]
        self.assertEqual((title, copyright_line), ("MIT License", "Copyright (c) 2026 The wsy developers"))
        self.assertEqual(packaged.split(), " ".join(text).split())

    @unittest.skipUnless(installtest.HAS_PLUGIN, "built without the LV2 plugin")
    def test_unpacked_plugin_is_found_by_a_host(self):
        """The stripped library still exports its descriptor, and a host
        finds the instrument in usr/lib/lv2."""
        root = outside_folder(self)
        subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True)
        bundle = os.path.join(root, "usr", installtest.PLUGIN_BUNDLE)
        symbols = run(["nm", "-D", "--defined-only", os.path.join(bundle, "wsy.so")], root)
        self.assertEqual([line.split()[-1] for line in symbols.stdout.decode().splitlines()], ["lv2_descriptor"])
        env = dict(os.environ, LV2_PATH=os.path.dirname(bundle) + ":/usr/lib/lv2")
        info = run(["lv2info", installtest.PLUGIN_URI], root, env=env)
        self.assertEqual(info.returncode, 0, info.stderr)
        self.assertRegex(info.stdout.decode(), r"\n\tBundle: +%s/\n" % re.escape("file://" + bundle))
        self.assertRegex(info.stdout.decode(), r"\n\tClass: +Instrument Plugin\n")

    def test_unpacked_package_runs(self):
        root = outside_folder(self)
        subprocess.run(["dpkg-deb", "-x", self.deb, root], check=True)
        render = os.path.join(root, "usr/bin/wsy-render")
        here = outside_folder(self)
        version = run([render, "--version"], here)
        self.assertEqual((version.returncode, version.stdout), (0, ("wsy-render %s\n" % self.version).encode()))
        result = run([render, "--patch", "fm_bell", "--frames", "44100", "-o", "bell.wav"], here)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(("playing the example %s/usr/share/wsy/patches/fm_bell.wsy\n" % root).encode(), result.stderr)
        self.assertEqual(os.path.getsize(os.path.join(here, "bell.wav")), 44 + 44100 * 4)
        # The changelog's newest entry is this version; lintian reads it the same way.
        changelog = os.path.join(here, "changelog")
        with open(changelog, "wb") as f:
            f.write(subprocess.run(["gzip", "-dc", os.path.join(root, "usr/share/doc/wsy/changelog.gz")],
                                   capture_output=True, check=True).stdout)
        parsed = subprocess.run(["dpkg-parsechangelog", "-l", changelog, "-S", "Version"],
                                capture_output=True, text=True, check=True)
        self.assertEqual(parsed.stdout.strip(), self.version)


if __name__ == "__main__":
    unittest.main(verbosity=2)
