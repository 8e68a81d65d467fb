"""Helpers for the plugin's tests: lv2_host (LV2_HOST) playing the build
tree's bundle (LV2_PATH), the real wsy-render (WSY_RENDER) beside it, the
float WAV files the host writes, and the MIDI files the tests play."""

import array
import os
import subprocess

from wsytest import SLOW, read_float_wav, read_wav, smf, track, work_dir

HOST = os.environ["LV2_HOST"]
RENDER = os.environ["WSY_RENDER"]
BUNDLE = os.environ["WSY_LV2_BUNDLE"]
SOURCE = os.environ["WSY_SOURCE_DIR"]
BUNDLED_PATCH = os.path.join(BUNDLE, "RODUV_2.WSY")
EXAMPLES = os.path.join(SOURCE, "patches")


def example(name):
    return os.path.join(EXAMPLES, name + ".wsy")


def temp_dir(test):
    """An empty folder of the test's own, removed after it."""
    return work_dir(test, None)


class Played:
    """What one lv2_host run gave: the samples, its standard output's lines,
    its standard error."""

    def __init__(self, samples, stdout, stderr):
        self.samples = samples
        self.lines = stdout.decode().splitlines()
        self.stderr = stderr.decode(errors="replace")

    def sets(self):
        """(frame, path) of each "set FRAME PATH" line."""
        return [(int(l.split(" ", 2)[1]), l.split(" ", 2)[2]) for l in self.lines if l.startswith("set ")]

    def notifies(self):
        """(frame, path) of each "notify FRAME patch PATH" line."""
        return [(int(l.split(" ", 3)[1]), l.split(" ", 3)[3]) for l in self.lines if l.startswith("notify ")]


def host(test, *args, rate=44100, out=True, timeout=300):
    """Runs lv2_host with `args` (and --out into a temporary file unless
    `out` is False); it must end with status 0."""
    args = [str(a) for a in args]
    if rate != 44100:
        args += ["--rate", str(rate)]
    wav = None
    if out:
        wav = os.path.join(temp_dir(test), "host.wav")
        args += ["--out", wav]
    r = subprocess.run([HOST, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout * SLOW)
    if r.returncode != 0:
        raise AssertionError("lv2_host %s ended with status %d:\n%s" % (" ".join(args), r.returncode,
                                                                         r.stderr.decode(errors="replace")[-4000:]))
    return Played(read_float_wav(wav, rate=rate) if out else None, r.stdout, r.stderr)


def render(test, patch, *args, rate=44100, timeout=300):
    """wsy-render --no-autoplay of `patch` with `args`: its interleaved 16-bit samples."""
    out = os.path.join(temp_dir(test), "render.wav")
    args = [str(a) for a in args]
    if rate != 44100:
        args += ["--rate", str(rate)]
    r = subprocess.run([RENDER, "--patch", patch, "--no-autoplay", *args, "-o", out], stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=timeout * SLOW)
    if r.returncode != 0:
        raise AssertionError("wsy-render %s ended with status %d:\n%s" % (" ".join(args), r.returncode,
                                                                          r.stderr.decode(errors="replace")[-4000:]))
    return read_wav(out, rate=rate)


def assert_plays(test, played, rendered, what=""):
    """The host's left and right are wsy-render's L / 32768 and R / 32768,
    every frame."""
    expected = array.array("f", (s / 32768 for s in rendered))
    test.assertEqual(len(played), len(expected), "%s: %d samples played, %d rendered" % (what, len(played), len(expected)))
    if played != expected:
        first = next(i for i in range(len(expected)) if played[i] != expected[i])
        raise AssertionError("%s: frame %d (%s) differs: the plugin played %r, wsy-render %d / 32768 = %r; %d of %d "
                             "samples differ" % (what, first // 2, "left" if first % 2 == 0 else "right", played[first],
                                                 rendered[first], expected[first],
                                                 sum(1 for a, b in zip(played, expected) if a != b), len(expected)))


def assert_only_plugin_log(test, played):
    """Nothing on standard error but the plugin's log lines (no host
    complaint, no sanitizer report)."""
    others = [l for l in played.stderr.splitlines() if not l.startswith("plugin log: ")]
    test.assertEqual(others, [], played.stderr[-4000:])


def write(path, data):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


# MIDI files: 480 ticks a quarter note at the default 500,000 us, so a tick is
# 1/960 s (45.9375 frames at 44100 Hz). Each lasts less than 1.5 s.
def on(key, velocity=100, channel=0):
    return [0x90 | channel, key, velocity]


def off(key, velocity=0, channel=0):
    return [0x80 | channel, key, velocity]


def cc(number, value, channel=0):
    return [0xB0 | channel, number, value]


def bend(value, channel=0):
    return [0xE0 | channel, value & 0x7F, value >> 7]


MIDI_FILES = {
    # Notes apart, one after another, legato, and a note on of velocity 0.
    "notes": [(0, on(60, 100)), (200, off(60)), (60, on(64, 40)), (200, off(64, 64)), (0, on(67, 127)),
              (150, on(72, 90)), (150, on(72, 0)), (100, off(67))],
    # Keys held down: releasing the newest returns to the one still held.
    "held_keys": [(0, on(60)), (150, on(64)), (150, on(67)), (150, off(67)), (150, off(64)), (150, on(69)),
                  (100, off(60)), (100, off(69))],
    # The sustain pedal holds a released key; other notes under it.
    "pedal": [(0, on(60)), (100, cc(64, 127)), (100, off(60)), (200, on(62)), (100, off(62)), (150, cc(64, 0)),
              (150, on(64)), (200, off(64))],
    # Pitch bend all the way down, up, back, and during a release.
    "bend": [(0, on(69)), (100, bend(0)), (100, bend(16383)), (100, bend(8192)), (80, bend(10531)), (100, off(69)),
             (60, bend(3000)), (0, on(57)), (150, off(57)), (0, bend(8192))],
    # All notes off and all sound off while keys are held.
    "all_notes_off": [(0, on(60)), (100, on(64)), (200, cc(123, 0)), (200, on(67)), (100, cc(120, 0)),
                      (200, on(70)), (100, cc(123, 0))],
    # Several channels at once.
    "channels": [(0, on(60, 100, 0)), (50, on(64, 100, 1)), (100, on(67, 100, 2)), (100, bend(12000, 1)),
                 (100, off(67, 0, 2)), (100, off(64, 0, 1)), (100, on(72, 80, 1)), (150, off(60, 0, 0)),
                 (100, off(72, 0, 1))],
    # More messages in one run() than the plugin holds at once: 1500 bends
    # and a note at one tick, then 600 more a tick apart.
    "flood": [(0, on(60))] + [(10 if i == 0 else 0, bend((i * 97) % 16384)) for i in range(1500)] +
             [(0, on(67)), (5, off(60))] + [(1, bend((i * 131) % 16384)) for i in range(600)] + [(50, off(67))],
}

# Frames played of each file: past its last event, while the last note dies away.
MIDI_FRAMES = 66150


def midi_file(test, name):
    """MIDI_FILES[name] as a Standard MIDI File in a temporary folder."""
    return write(os.path.join(temp_dir(test), name + ".mid"), smf(0, 480, [track(MIDI_FILES[name])]))
