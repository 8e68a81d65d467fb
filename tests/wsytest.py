"""Helpers for the tests and benchmarks that drive the real wsy binary: a
working directory with a patch, the program on a pseudo-terminal or pipes,
starting and ending processes, Xvfb, a JACK server and recorders on it,
WAV files, the pitch of a sound and its spectrum.

The functions that start something take `owner`, a unittest.TestCase or
anything else with addCleanup (Cleanups, for the scripts in bench/): what
they start ends with it."""

import array
import cmath
import contextlib
import functools
import glob
import math
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
import wave

WSY = os.environ.get("WSY_BIN", "")
JACK_TEST_PEER = os.environ.get("JACK_TEST_PEER", "")

# The one rate wsy plays and renders at.
RATE = 44100

# One oscillator whose link group has note 0 (the source, an LFO of 0 Hz, leaves
# the phase as it is): a clean sine at the key's pitch, 10000 at the envelope's peak.
SINE_PATCH = "LFO1;*FREQ=0;\nVCO1;LFO1:MOD_PHASE;\nMIXER1;VCO1:IN1;\n"

# The bundled patch's kind of sound: a vibrato lead and a tremolo octave.
LEAD_PATCH = ("LFO_VIB;*FREQ=4;\nLFO_TREM;*FREQ=6;\nVCO_LEAD;LFO_VIB:MOD_PHASE;\n"
              "VCO_OCT;*NOTE=12;LFO_TREM:MOD_AMP;\nMIXER_OUT;VCO_LEAD:IN1;VCO_OCT:IN2;\n")

SEPARATOR = b"-" * 57 + b"\n"
PROMPT = b"Press a corresponding number or ESC to quit\n"
TYPE_MENU = (SEPARATOR + b"Output Type\n" + SEPARATOR + b"1 - Direct Sound\n"
             b"2 - Windows Multimedia Waveout\n3 - ASIO\n4 - NoSound\n" + SEPARATOR + PROMPT)
HELP = (b"[aqzs edrftg yhujik olpm our] modifier les trucs \n"
        b"[+-] change type OSC1 [7894] le type des LFO1234\n"
        b"[wxcvbn,;] pour les notes (foireuxmaismarche)\n")
AUTO_PLAY = b"MIAM\nUNTRIG\n\nTRIG\n"

# Sanitizer builds run several times slower: every wait is this many times longer.
SLOW = int(os.environ.get("WSY_SLOW", "1"))
TSAN = "thread" in os.environ.get("WSY_SANITIZE", "")


def driver_list(heading, names):
    body = b"".join(b"%d - %s\n" % (i + 1, n) for i, n in enumerate(names))
    return SEPARATOR + heading + b" Driver list\n" + SEPARATOR + body + SEPARATOR + PROMPT


class Reader:
    """Collects everything a file descriptor gives, on a thread of its own."""

    def __init__(self, fd):
        self.fd = fd
        self.data = b""
        self.cond = threading.Condition()
        self.closed = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:  # EIO: the pty's other side is gone
                chunk = b""
            with self.cond:
                if not chunk:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def wait_for(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout * SLOW
        with self.cond:
            while not predicate(self.data):
                left = deadline - time.monotonic()
                if left <= 0 or (self.closed and not predicate(self.data)):
                    if self.closed and left > 0:
                        raise AssertionError("output ended before %s; output so far:\n%r" % (what, self.data[-2000:]))
                    raise AssertionError("timed out waiting for %s; output so far:\n%r" % (what, self.data[-2000:]))
                self.cond.wait(left)
            return self.data

    def wait_contains(self, needle, timeout=10, start=0):
        self.wait_for(lambda d: d.find(needle, start) >= 0, timeout, repr(needle))
        return self.data.find(needle, start)

    def wait_closed(self, timeout=10):
        self.wait_for(lambda d: self.closed, timeout, "end of output")
        self.thread.join(timeout)
        return self.data

    def snapshot(self):
        with self.cond:
            return self.data


def base_env(**extra):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER", "JACK_DEFAULT_SERVER"):
        env.pop(name, None)
    env["TERM"] = "dumb"  # "clear" then prints nothing: standard output can be compared byte for byte
    env["JACK_NO_START_SERVER"] = "1"
    env.update(extra)
    return env


class FolderTest(unittest.TestCase):
    """A test case with a temporary folder of its own for each test, removed
    after it: path(name) in it, write(name, text or bytes) into it."""
    folder_prefix = "wsy-test-"

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix=self.folder_prefix)
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        return self.path(name)


def work_dir(test, patch=SINE_PATCH):
    d = tempfile.mkdtemp(prefix="wsy-shell-")
    test.addCleanup(shutil.rmtree, d, True)
    if patch is not None:
        with open(os.path.join(d, "RODUV_2.WSY"), "w") as f:
            f.write(patch)
    return d


class Wsy:
    """The real binary (WSY_BIN, or `program`). `terminal`: standard input and
    output on a pseudo-terminal (output post-processing off, so bytes compare
    exactly); else pipes."""

    def __init__(self, test, cwd, env, terminal=False, stdin=None, args=(), preexec=None, program=None):
        self.master = None
        self.slave = None
        common = dict(cwd=cwd, env=env, stderr=subprocess.PIPE, start_new_session=True, preexec_fn=preexec)
        if terminal:
            self.master, self.slave = pty.openpty()
            attrs = termios.tcgetattr(self.slave)
            attrs[1] &= ~termios.OPOST
            termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
            # Read before wsy starts: once it runs, it may already have the terminal in raw mode.
            self.initial_modes = termios.tcgetattr(self.slave)
            self.proc = subprocess.Popen([program or WSY, *args], stdin=self.slave, stdout=self.slave, **common)
            self.out = Reader(self.master)
        else:
            self.proc = subprocess.Popen([program or WSY, *args], stdin=stdin if stdin is not None else subprocess.PIPE,
                                         stdout=subprocess.PIPE, **common)
            self.out = Reader(self.proc.stdout.fileno())
        self.err = Reader(self.proc.stderr.fileno())
        test.addCleanup(self.kill)

    def send(self, keys):
        if self.master is not None:
            os.write(self.master, keys)
        else:
            self.proc.stdin.write(keys)
            self.proc.stdin.flush()

    def signal(self, sig):
        """Sends `sig` to wsy (see `_until_ended`)."""
        self._until_ended(lambda: os.killpg(self.proc.pid, sig))

    def type_interrupt(self):
        """Types Ctrl-C on wsy's terminal (see `_until_ended`)."""
        self._until_ended(lambda: os.write(self.master, b"\x03"))

    def _until_ended(self, send):
        """ThreadSanitizer's runtime holds a signal back until the thread it
        landed on enters an intercepted call, and has been seen to hold one
        back for good; under it the signal goes again, up to three times,
        while wsy has not ended. Other builds get it once."""
        send()
        for _ in range(3 if TSAN else 0):
            try:
                self.proc.wait(5 * SLOW)
                return
            except subprocess.TimeoutExpired:
                send()

    def wait(self, timeout=20):
        """The exit status, once the process has ended and all its output is in."""
        try:
            status = self.proc.wait(timeout * SLOW)
        except subprocess.TimeoutExpired:
            raise AssertionError("wsy did not end; stdout tail %r, stderr %r"
                                 % (self.out.snapshot()[-500:], self.err.snapshot()))
        if TSAN and status in (128 + signal.SIGINT, 128 + signal.SIGTERM, 128 + signal.SIGHUP):
            # ThreadSanitizer's runtime can swallow a re-raised signal; wsy then
            # exits with the status a shell shows for that signal.
            status = 128 - status
        if self.slave is not None:
            # The terminal as the process left it; closing our end lets the reader see the end.
            self.final_modes = termios.tcgetattr(self.slave)
            os.close(self.slave)
            self.slave = None
        self.out.wait_closed()
        return status

    def terminal_modes(self):
        return termios.tcgetattr(self.slave) if self.slave is not None else self.final_modes

    def kill(self):
        kill(self.proc)
        for fd in (self.slave, self.master):
            if fd is not None:
                with contextlib.suppress(OSError):
                    os.close(fd)
        self.slave = self.master = None


class Cleanups:
    """For a script that is not a test (bench/): the owner the helpers below
    register their cleanups with; doCleanups() ends all it started, newest first."""

    def __init__(self):
        self._cleanups = []

    def addCleanup(self, function, *args, **kwargs):
        self._cleanups.append((function, args, kwargs))

    def doCleanups(self):
        while self._cleanups:
            function, args, kwargs = self._cleanups.pop()
            function(*args, **kwargs)


def stop(proc, sig=signal.SIGTERM, timeout=10):
    """Asks `proc` to end with `sig`; kills it if it has not after `timeout` seconds."""
    if proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def kill(proc):
    """Kills `proc` if it still runs, waits for it and closes the pipes to it."""
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            with contextlib.suppress(OSError):
                stream.close()


# Clock ticks a second, the unit of cpu_ticks.
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    """User and system clock ticks process `pid` has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def start_xvfb(owner):
    """A private X server on a display number it picks itself; returns ':N'."""
    if not shutil.which("Xvfb"):
        raise unittest.SkipTest("Xvfb is not installed (scripts/setup installs it)")
    r, w = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x900x24", "-nolisten", "tcp",
                             "-noreset"], pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(w)
    owner.addCleanup(stop, proc)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n"):
        ready, _, _ = select.select([r], [], [], max(0, deadline - time.monotonic()))
        chunk = os.read(r, 16) if ready else b""
        if not chunk:
            os.close(r)
            raise AssertionError("Xvfb did not start")
        number += chunk
    os.close(r)
    return ":" + number.decode().strip()


def xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30 * SLOW).stdout.decode()


def focus_window(display, caption="wsy"):
    window = xdotool(display, "search", "--sync", "--name", "^%s$" % caption).split()[0]
    xdotool(display, "windowfocus", "--sync", window)
    return window


def remove_jack_files(name):
    for path in glob.glob("/dev/shm/jack*%s*" % name):
        if os.path.isdir(path):
            shutil.rmtree(path, True)
        else:
            with contextlib.suppress(OSError):
                os.remove(path)


def jack_env(name):
    return dict(os.environ, JACK_DEFAULT_SERVER=name, JACK_NO_START_SERVER="1")


def jack_ports(name):
    r = subprocess.run(["jack_lsp"], env=jack_env(name), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                       timeout=20)
    return r.returncode, r.stdout.decode().split()


def start_jack(owner, rate=RATE, period=256, synchronous=False):
    """A JACK server with the dummy driver under a name of its own (in its
    default asynchronous mode, or with `synchronous`, jackd -S); returns the
    name. The server is owner.jackd, what it says is in jackd_log(owner)."""
    if not shutil.which("jackd"):
        raise unittest.SkipTest("jackd is not installed (scripts/setup installs jackd2)")
    name = "wsytest%d" % os.getpid()
    remove_jack_files(name)  # a killed server's leftovers stop the next one from starting
    said = tempfile.TemporaryFile()
    proc = subprocess.Popen(["jackd", "-n", name, *(["-S"] if synchronous else []), "-d", "dummy", "-r", str(rate),
                             "-p", str(period)], env=jack_env(name), stdout=said, stderr=said, start_new_session=True)
    owner.jackd_said = said
    owner.jackd = proc

    def cleanup():
        stop(proc)
        remove_jack_files(name)
        said.close()

    owner.addCleanup(cleanup)
    deadline = time.monotonic() + 20
    while jack_ports(name)[0] != 0:
        if proc.poll() is not None:
            raise AssertionError("jackd ended at start: %r" % jackd_log(owner))
        if time.monotonic() > deadline:
            raise AssertionError("jackd did not answer jack_lsp")
        time.sleep(0.05)
    return name


def jackd_log(owner):
    """What the owner's jackd has said so far."""
    owner.jackd_said.seek(0)
    return owner.jackd_said.read().decode(errors="replace")


def server_xruns(test):
    """How often the test's jackd has seen a client run late so far."""
    said = getattr(test, "jackd_said", None)
    return 0 if said is None or said.closed else jackd_log(test).count("XRun")


@contextlib.contextmanager
def subtest_with_own_processes(test, **params):
    """A subtest whose servers and programs (a JACK server under the
    process's one name, Xvfb, wsy) end with it, also when it fails, so that
    the next subtest starts afresh: all the test's cleanups run at its end."""
    with test.subTest(**params):
        try:
            yield
        finally:
            test.doCleanups()


ATTEMPTS_WITH_XRUNS = 4


def again_after_xruns(method):
    """For a test that records a JACK graph in real time: when it fails after
    the server saw a client run late (an xrun, a machine too busy for the
    period), what the clients saw has a hole and proves nothing either way,
    so the test runs again, at most three times: a virtual machine's stalls
    can come several runs in a row (a 64-frame period is 1.5 ms). A hole can
    break a check in more ways than a failed assertion (a frame missing from
    the recording), so any error counts. A failure without xruns is final."""
    @functools.wraps(method)
    def run(test, *args, **kwargs):
        for attempt in range(ATTEMPTS_WITH_XRUNS):
            try:
                return method(test, *args, **kwargs)
            except unittest.SkipTest:
                raise
            except Exception as failure:
                xruns = server_xruns(test)
                if not xruns:
                    raise
                if attempt == ATTEMPTS_WITH_XRUNS - 1:
                    raise AssertionError("%d runs in a row saw xruns; the last: %s"
                                         % (ATTEMPTS_WITH_XRUNS, failure)) from failure
                late = sorted(set(re.findall(r"client = (\S+) was not finished", jackd_log(test))))
                sys.stderr.write("%d xruns (late: %s) broke the run up; playing it again: %s\n"
                                 % (xruns, ", ".join(late) or "the server", failure))
                test.doCleanups()
    return run


def wait_for_port(name, port, timeout=20):
    deadline = time.monotonic() + timeout * SLOW
    while port not in jack_ports(name)[1]:
        if time.monotonic() > deadline:
            raise AssertionError("the JACK port %s did not appear" % port)
        time.sleep(0.05)


def check_binary():
    if not WSY or not os.access(WSY, os.X_OK):
        raise SystemExit("WSY_BIN must name the wsy binary")


def start_jack_rec(test, server, path, seconds, bits=32):
    """jack_rec recording wsy's two output ports into `path` for `seconds`;
    returns once its own ports exist, so that nothing after is missed."""
    recorder = subprocess.Popen(["jack_rec", "-f", path, "-d", "%.1f" % seconds, "-b", str(bits), "wsy:out_1",
                                 "wsy:out_2"], env=jack_env(server), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, cwd=os.path.dirname(path), start_new_session=True)
    test.addCleanup(recorder.stderr.close)
    test.addCleanup(stop, recorder)
    deadline = time.monotonic() + 20 * SLOW
    while not any(p.startswith("jackrec:") for p in jack_ports(server)[1]):
        test.assertLess(time.monotonic(), deadline, "jack_rec did not register its ports")
        time.sleep(0.05)
    return recorder


class Peer:
    """jack_test_peer (tests/devices, JACK_TEST_PEER names it) in one of its
    roles, on the server `server`."""

    def __init__(self, owner, server, *args):
        if not JACK_TEST_PEER:
            raise SystemExit("JACK_TEST_PEER must name the jack_test_peer binary")
        self.proc = subprocess.Popen([JACK_TEST_PEER, *args], env=jack_env(server), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        owner.addCleanup(kill, self.proc)
        self.ready = self._line()
        if not self.ready.startswith("ready"):
            raise AssertionError("jack_test_peer %s did not start: %r" % (args, self.proc.stderr.read()))

    def _line(self):
        return self.proc.stdout.readline().decode().rstrip("\n")

    def tell(self, text):
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()

    def finish(self, timeout=30):
        """Its lines up to "done"."""
        lines = []
        while True:
            line = self._line()
            if line == "done" or not line:
                break
            lines.append(line)
        self.proc.wait(timeout * SLOW)
        if line != "done":
            raise AssertionError("jack_test_peer ended early: %r" % self.proc.stderr.read())
        return lines


class Sender:
    """A JACK client with one MIDI output, NAME:out, that writes `messages`:
    (period counted from go(), offset, bytes); sent() gives each message's JACK frame."""

    def __init__(self, owner, server, messages, name="midisender"):
        schedule = os.path.join(work_dir(owner, None), "schedule")
        with open(schedule, "w") as f:
            for period, offset, data in sorted(messages, key=lambda m: (m[0], m[1])):  # JACK wants time order
                f.write("%d %d %s\n" % (period, offset, " ".join("%02x" % b for b in data)))
        self.peer = Peer(owner, server, "send", name, schedule)
        self.now = int(self.peer.ready.split()[1])

    def go(self, start=None):
        """Period 0 is the first to begin at JACK frame `start` or later (by default: at once)."""
        self.peer.tell("go %d" % (self.now if start is None else start))

    def sent(self):
        result = []
        for line in self.peer.finish():
            f = line.split()
            result.append((int(f[1]), bytes(int(b, 16) for b in f[2:])))
        return result


class Recorder:
    """A JACK client that records `seconds` of the ports `sources`, with the
    JACK frame of each period (jack_test_peer's recorder)."""

    def __init__(self, owner, server, sources, seconds):
        self.file = os.path.join(work_dir(owner, None), "recording")
        self.ports = len(sources)
        self.peer = Peer(owner, server, "record", "recorder", str(seconds), self.file, *sources)

    def go(self):
        self.peer.tell("go")

    def samples(self):
        """{JACK frame: (float per port)}, exactly as the ports held them."""
        self.peer.finish()
        with open(self.file, "rb") as f:
            data = f.read()
        by_frame = {}
        at = 0
        while at < len(data):
            start, frames = struct.unpack_from("<II", data, at)
            at += 8
            columns = []
            for _ in range(self.ports):
                columns.append(struct.unpack_from("<%df" % frames, data, at))
                at += 4 * frames
            for i, values in enumerate(zip(*columns)):
                by_frame[start + i] = values
        return by_frame


def read_wav(path, channels=2, width=2, rate=RATE, raw=False):
    """The samples of a WAV file as a list of ints, channels interleaved (with
    `raw`: their bytes as the file holds them). The file must hold `channels`
    channels of `width`-byte samples at `rate` Hz (by default what
    wsy-render writes: 16-bit stereo at 44100 Hz)."""
    with wave.open(path) as w:
        found = (w.getnchannels(), w.getsampwidth(), w.getframerate())
        if found != (channels, width, rate):
            raise AssertionError("%s holds %d channels of %d-byte samples at %d Hz, not %d of %d bytes at %d Hz"
                                 % ((path,) + found + (channels, width, rate)))
        raw_bytes = w.readframes(w.getnframes())
    if raw:
        return raw_bytes
    samples = array.array({2: "h", 4: "i"}[width], raw_bytes)
    if sys.byteorder == "big":  # WAV samples are little-endian
        samples.byteswap()
    return samples.tolist()


def read_float_wav(path, channels=2, rate=RATE):
    """The samples of a 32-bit float WAV file (format 3, which Python's wave
    module does not read), channels interleaved, as array('f'). The file must
    hold `channels` channels at `rate` Hz (by default: stereo at 44100 Hz)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", "%s is no WAV file" % path
    at = 12
    fmt = None
    while at + 8 <= len(data):
        kind, size = struct.unpack_from("<4sI", data, at)
        body = data[at + 8:at + 8 + size]
        if kind == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", body)
        elif kind == b"data":
            assert fmt is not None, "the data chunk comes before the format chunk"
            tag, file_channels, file_rate, _, _, bits = fmt
            assert (tag, file_channels, file_rate, bits) == (3, channels, rate, 32), \
                "%s: format %d, %d channels, %d Hz, %d bits" % (path, tag, file_channels, file_rate, bits)
            samples = array.array("f", body)
            if sys.byteorder == "big":
                samples.byteswap()
            return samples
        at += 8 + size + (size & 1)
    raise AssertionError("%s has no data chunk" % path)


def read_jack_rec(path):
    """A 32-bit recording of start_jack_rec's back to the 16-bit samples wsy
    computed: each went out as s / 32768 and jack_rec wrote it as that times
    2^31 - 1, rounded."""
    return [round(v / 65536) for v in read_wav(path, width=4)]


def rising_crossings(samples):
    """The indices i at which samples[i - 1] < 0 <= samples[i]."""
    return [i for i in range(1, len(samples)) if samples[i - 1] < 0 <= samples[i]]


def pitch(samples, rate=RATE):
    """Hertz of one channel's `samples`, from its rising zero crossings, each
    placed between its two samples by linear interpolation. Fewer than ten
    crossings are no sound to measure: an AssertionError."""
    crossings = [i - 1 + samples[i - 1] / (samples[i - 1] - samples[i]) for i in rising_crossings(samples)]
    if len(crossings) < 10:
        raise AssertionError("%d rising zero crossings: no sound to measure" % len(crossings))
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def note_hz(key):
    """Hertz of MIDI key `key` by the musical definition: key 69 is 440 Hz, a
    semitone 2^(1/12). wsy's own note numbers (its keys' and auto-play's) are
    the MIDI key less 11: its note 58 is key 69, 440 Hz."""
    return 440.0 * 2 ** ((key - 69) / 12)


def magnitude(samples, hz, rate=RATE):
    """|DFT| of `samples` at `hz`, any frequency and not only a bin's
    (Goertzel), per sample: the level of one frequency known beforehand.
    spectral_peaks finds the frequencies that sound."""
    c = 2 * math.cos(2 * math.pi * hz / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + c * s1 - s2, s1
    return abs(s1 - cmath.exp(-2j * math.pi * hz / rate) * s2) / len(samples)


def fft(values):
    """The discrete Fourier transform of `values` (a power of two long)."""
    n = len(values)
    a = [complex(v) for v in values]
    j = 0
    for i in range(1, n):
        bit = n >> 1
        while j & bit:
            j ^= bit
            bit >>= 1
        j |= bit
        if i < j:
            a[i], a[j] = a[j], a[i]
    size = 2
    while size <= n:
        half = size // 2
        step = cmath.exp(-2j * math.pi / size)
        twiddles = [step ** k for k in range(half)]
        for start in range(0, n, size):
            for k in range(half):
                u = a[start + k]
                v = a[start + k + half] * twiddles[k]
                a[start + k] = u + v
                a[start + k + half] = u - v
        size *= 2
    return a


def spectral_peaks(samples, low, high, rate=RATE, padded=65536):
    """The peaks of the spectrum of `samples` (Hann window, zero-padded to
    `padded` points) between `low` and `high` Hz that reach a tenth of the
    largest there, each placed between its bins by a parabola through the
    logarithms of the three magnitudes around it. A list of (Hz, magnitude)."""
    n = len(samples)
    window = [0.5 - 0.5 * math.cos(2 * math.pi * i / (n - 1)) for i in range(n)]
    spectrum = fft([s * w for s, w in zip(samples, window)] + [0.0] * (padded - n))
    bin_hz = rate / padded
    first, last = int(low / bin_hz), int(high / bin_hz) + 1
    mags = [abs(spectrum[k]) for k in range(first - 1, last + 2)]
    top = max(mags)
    peaks = []
    for i in range(1, len(mags) - 1):
        if mags[i] >= top / 10 and mags[i] > mags[i - 1] and mags[i] >= mags[i + 1]:
            a, b, c = (math.log(m) for m in mags[i - 1:i + 2])
            shift = 0.5 * (a - c) / (a - 2 * b + c)
            peaks.append(((first - 1 + i + shift) * bin_hz, mags[i]))
    return peaks


def offset_in(render, recording):
    """The frame of `render` at which `recording` starts (both interleaved
    stereo lists), found from the first sounding stretch of the recording."""
    first = next((i for i, s in enumerate(recording) if s != 0), None)
    assert first is not None, "the recording is silent"
    first -= first % 2
    needle = array.array("h", recording[first:first + 2 * 4096]).tobytes()
    hay = array.array("h", render).tobytes()
    at = hay.find(needle)
    while at >= 0 and at % 4 != 0:
        at = hay.find(needle, at + 1)
    assert at >= 0, "the recording's first sound is nowhere in the render"
    return at // 4 - first // 2


# Standard MIDI Files made by the tests, byte by byte.
def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.insert(0, 0x80 | (n & 0x7F))
        n >>= 7
    return bytes(out)


def track(events, end=True):
    """events: (delta ticks, bytes). An end-of-track is added unless `end` is False."""
    data = b"".join(vlq(d) + bytes(b) for d, b in events)
    if end:
        data += vlq(0) + b"\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(data)) + data


def smf(fmt, division, tracks, extra=b""):
    return b"MThd" + struct.pack(">IHHH", 6, fmt, len(tracks), division) + extra + b"".join(tracks)
