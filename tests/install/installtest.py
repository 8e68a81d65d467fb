"""What the install tests share: where the sources and the build are, the
project's version, the files an installation must hold, and the options a
--help text and a manual page name."""

import os
import re
import shutil
import subprocess
import tempfile

SOURCE_DIR = os.path.realpath(os.environ.get("WSY_SOURCE_DIR", ""))
BUILD_DIR = os.path.realpath(os.environ.get("WSY_BUILD_DIR", ""))
HAS_PLAYER = os.environ.get("WSY_HAS_PLAYER", "1") == "1"
HAS_PLUGIN = os.environ.get("WSY_HAS_PLUGIN", "1") == "1"

# The LV2 bundle: in plain lib/lv2, where hosts look, never in the multiarch folder.
PLUGIN_BUNDLE = "lib/lv2/wsy.lv2"
PLUGIN_FILES = ("manifest.ttl", "wsy.ttl", "wsy.so", "RODUV_2.WSY")
PLUGIN_URI = "urn:wsy:synth"


def project_version():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        match = re.search(r"project\(\s*wsy\b[^)]*\bVERSION\s+([0-9][0-9.]*)", f.read())
    assert match, "no VERSION in the top CMakeLists.txt's project()"
    return match.group(1)


def expected_files():
    """Every file an installation holds, relative to the prefix."""
    examples = sorted(f for f in os.listdir(os.path.join(SOURCE_DIR, "patches")) if f.endswith(".wsy"))
    files = {
        "bin/wsy-render",
        "share/wsy/RODUV_2.WSY",
        "share/man/man1/wsy-render.1.gz",
        "share/man/man5/wsy-patch.5.gz",
        "share/doc/wsy/README.md",
        "share/doc/wsy/changelog.gz",
        "share/doc/wsy/copyright",
    } | {"share/wsy/patches/" + f for f in examples}
    if HAS_PLUGIN:
        files |= {PLUGIN_BUNDLE + "/" + f for f in PLUGIN_FILES}
    if HAS_PLAYER:
        files |= {"bin/wsy", "share/man/man1/wsy.1.gz", "share/applications/wsy.desktop",
                  "share/icons/hicolor/scalable/apps/wsy.svg"}
    return files


def files_under(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def outside_folder(test):
    """An empty folder outside the source and build trees, removed after the test."""
    path = os.path.realpath(tempfile.mkdtemp(prefix="wsy-install-test-"))
    test.addCleanup(shutil.rmtree, path, True)
    for tree in (SOURCE_DIR, BUILD_DIR):
        assert not (path + "/").startswith(tree + "/"), "%s is inside %s" % (path, tree)
    return path


def run(command, cwd, **kw):
    return subprocess.run(command, cwd=cwd, capture_output=True, timeout=kw.pop("timeout", 120), **kw)


LONG_OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")
SHORT_OPTION = re.compile(r"(?<![\w-])-[a-zA-Z](?![\w-])")


def options_in(text):
    return set(LONG_OPTION.findall(text)) | set(SHORT_OPTION.findall(text))


def rendered_manual(page_gz, width=200):
    """The manual page as man shows it, plain text, lines long enough and
    hyphenation off so that no option is split."""
    roff = subprocess.run(["gzip", "-dc", page_gz], capture_output=True, check=True).stdout
    text = subprocess.run(["groff", "-man", "-Tutf8", "-rHY=0", "-rLL=%dn" % width, "-P-cbou"],
                          input=roff, capture_output=True, check=True).stdout
    return text.decode("utf-8")


def manual_section(text, title):
    """The body of one section (a heading at the start of a line) of a rendered page."""
    lines = text.splitlines()
    start = lines.index(title) + 1
    end = next((i for i in range(start, len(lines)) if re.match(r"^[A-Z][A-Z ,]+$", lines[i])), len(lines))
    return "\n".join(lines[start:end])
