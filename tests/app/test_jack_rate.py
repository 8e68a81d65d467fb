"""wsy on sound servers that do not run at 44100 Hz. A JACK server (jackdbus,
the dummy driver) that changes its rate while wsy plays ends wsy with status
1 and a line that says so. PipeWire, headless (a private session bus, a
runtime folder of its own, its dummy driver), plays wsy through pw-jack at its
default 48000 Hz: a MIDI note sounds at its pitch. Each server runs under a
session bus of the test's own, so nothing of the machine's is touched."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import wsytest
from wsytest import HELP, Wsy, base_env, pitch, work_dir


def private_bus(test):
    """A D-Bus session bus of the test's own, its HOME a fresh folder: the
    environment (a dict) for the programs that use it."""
    home = work_dir(test, None)
    env = dict(os.environ, HOME=home)
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    test.addCleanup(wsytest.kill, bus)
    address = bus.stdout.readline().decode().strip()
    test.assertTrue(address, "dbus-daemon gave no address")
    env["DBUS_SESSION_BUS_ADDRESS"] = address
    return env


class RateChange(unittest.TestCase):
    def control(self, *args):
        r = subprocess.run(["jack_control", *args], env=self.bus, capture_output=True, timeout=30 * wsytest.SLOW)
        self.assertEqual(r.returncode, 0, "jack_control %s: %r" % (" ".join(args), r.stdout + r.stderr))

    def start_jackdbus(self, rate):
        """jackdbus with the dummy driver at `rate` under a name of its own;
        its rate can change while it runs (a new master driver)."""
        self.bus = private_bus(self)
        name = "wsyrate%d" % os.getpid()
        wsytest.remove_jack_files(name)
        self.addCleanup(wsytest.remove_jack_files, name)
        self.control("ds", "dummy")
        self.control("eps", "name", name)
        self.control("dps", "rate", str(rate))
        self.control("dps", "period", "256")
        self.control("start")
        self.addCleanup(lambda: subprocess.run(["jack_control", "exit"], env=self.bus, capture_output=True,
                                               timeout=30))
        self.addCleanup(lambda: subprocess.run(["jack_control", "stop"], env=self.bus, capture_output=True,
                                               timeout=30))
        wsytest.wait_for_port(name, "system:playback_1")
        return name

    def test_a_server_that_changes_its_rate_ends_wsy_with_status_1(self):
        name = self.start_jackdbus(48000)
        w = Wsy(self, work_dir(self), base_env(JACK_DEFAULT_SERVER=name), args=("--no-midi",))
        w.send(b"31")
        w.out.wait_contains(HELP + wsytest.AUTO_PLAY, timeout=20)
        w.err.wait_contains(b"at 48000 Hz, client \"wsy\"", timeout=20)
        self.control("dps", "rate", "44100")
        self.control("sm")  # the dummy driver again, now at 44100 Hz: every client hears of the new rate
        self.assertEqual(w.wait(), 1)
        err = w.err.wait_closed().decode()
        self.assertIn("wsy: the JACK server changed its rate from 48000 Hz to 44100 Hz while wsy played", err)
        self.assertNotIn("was lost", err, "the server is still there")


class PipeWire(unittest.TestCase):
    def start_pipewire(self):
        """PipeWire and WirePlumber on a private bus and runtime folder; the
        environment for JACK programs run on it through pw-jack's library."""
        env = private_bus(self)
        runtime = tempfile.mkdtemp(prefix="wsy-pw-")
        os.chmod(runtime, 0o700)
        self.addCleanup(shutil.rmtree, runtime, True)
        env["XDG_RUNTIME_DIR"] = runtime
        for program in ("pipewire", "wireplumber"):
            proc = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            self.addCleanup(wsytest.stop, proc)
            time.sleep(0.5 * wsytest.SLOW)
        deadline = time.monotonic() + 20 * wsytest.SLOW
        while True:
            r = subprocess.run(["pw-jack", "jack_samplerate"], env=env, capture_output=True, timeout=20)
            if r.returncode == 0 and r.stdout.strip().isdigit():
                return env, int(r.stdout)
            self.assertLess(time.monotonic(), deadline, "PipeWire's JACK did not answer: %r" % (r.stdout + r.stderr))
            time.sleep(0.1)

    def test_wsy_through_pw_jack_plays_a_midi_note_at_its_pitch_at_48000_hz(self):
        env, rate = self.start_pipewire()
        self.assertEqual(rate, 48000, "PipeWire's default rate")
        work = work_dir(self)

        def on_pipewire(*command):
            return subprocess.Popen(["pw-jack", *command], env=env, cwd=work, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, start_new_session=True)

        # jackd2's looping sequencer: A4 (MIDI note 69) from frame 0 of each 2 s loop, for 1.8 s.
        seq = on_pipewire("jack_midiseq", "seq", "96000", "0", "69", "86400")
        self.addCleanup(wsytest.stop, seq)
        self.addCleanup(seq.stderr.close)
        w = Wsy(self, work, base_env(**env), program="pw-jack",
                args=(wsytest.WSY, "--no-autoplay", "--no-watch", "--midi-connect", "^seq:"))
        w.send(b"31")
        w.out.wait_contains(HELP + b"\nTRIG\n", timeout=20)
        rec = os.path.join(work, "rec.wav")
        recorder = on_pipewire("jack_rec", "-f", rec, "-d", "3", "-b", "32", "wsy:out_1")
        self.addCleanup(recorder.stderr.close)
        self.addCleanup(wsytest.stop, recorder)
        self.assertEqual(recorder.wait(30 * wsytest.SLOW), 0, recorder.stderr.read())
        w.signal(signal.SIGTERM)
        w.wait()
        err = w.err.wait_closed().decode()
        self.assertIn("at 48000 Hz", err)
        self.assertIn("connected from seq:out", err)
        # jack_rec wrote each float as a 32-bit sample; the longest sounding
        # stretch, less 50 ms at each end, is the note.
        samples = wsytest.read_wav(rec, channels=1, width=4, rate=48000)
        stretches, begin = [], None
        for i, s in enumerate(samples + [0] * 2400):
            if s != 0 and begin is None:
                begin = i
            elif s == 0 and begin is not None and all(x == 0 for x in samples[i:i + 2400]):
                stretches.append((begin, i))
                begin = None
        self.assertTrue(stretches, "nothing was recorded")
        first, last = max(stretches, key=lambda r: r[1] - r[0])
        # The default envelope sounds a held note for 0.458 s.
        self.assertGreater(last - first, 19200, "the note sounded for less than 0.4 s")
        heard = pitch(samples[first + 2400:last - 2400], rate=48000)
        self.assertAlmostEqual(heard, 440.0, delta=440.0 * 0.0005)


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
