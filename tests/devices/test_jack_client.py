"""JackClient on a real JACK server with the dummy driver: a probe program
(jack_client_probe) stands in for the engine; the test's own JACK clients
(jack_test_peer) send MIDI at chosen frames and record the probe's audio
ports in the same graph, so every check is in JACK frames."""

import os
import signal
import subprocess
import sys
import time
import unittest

import wsytest
from wsytest import RATE, SLOW, Recorder, Sender, again_after_xruns, jack_env, start_jack, subtest_with_own_processes

PROBE = os.environ.get("JACK_CLIENT_PROBE", "")


class Probe:
    """The probe program on a server; its report comes when its standard input ends."""

    def __init__(self, test, server, *args):
        self.proc = subprocess.Popen([PROBE, *args], env=jack_env(server), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        test.addCleanup(wsytest.kill, self.proc)
        self.info = {}
        self.lines = []

    def wait_ready(self):
        for raw in self.proc.stdout:
            line = raw.decode().rstrip("\n")
            self.lines.append(line)
            if line == "ready":
                return self
            key, _, rest = line.partition(" ")
            self.info.setdefault(key, []).append(rest)
        raise AssertionError("the probe ended before it was ready: %r %r" % (self.lines, self.proc.stderr.read()))

    def finish(self, timeout=20, end_input=True):
        """Ends the run (or, without `end_input`, waits for the probe to end by
        itself); returns the report's lines and the events as (frame, offset, period, bytes)."""
        if end_input:
            self.proc.stdin.close()
        out = self.proc.stdout.read()
        err = self.proc.stderr.read()
        status = self.proc.wait(timeout * SLOW)
        self.stderr = err.decode()
        # Anything a sanitizer finds ends the probe with another status.
        if status != 0:
            raise AssertionError("the probe ended with status %d: %s" % (status, self.stderr[-3000:]))
        report = out.decode().splitlines()
        events = []
        for line in report:
            if line.startswith("event "):
                f = line.split()
                events.append((int(f[1]), int(f[2]), int(f[3]), bytes(int(b, 16) for b in f[4:])))
        return report, events


class MidiAndAudio(unittest.TestCase):
    @again_after_xruns
    def test_midi_arrives_at_its_frame_with_its_bytes_and_every_16_bit_value_goes_out_in_order(self):
        server = start_jack(self, rate=RATE, period=256)
        sysex = [0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7]
        messages = [
            (0, 0, [0x90, 69, 100]), (0, 17, [0xB0, 64, 127]), (0, 100, [0xC0, 5]), (0, 128, [0xE0, 0, 64]),
            (0, 200, [0xF8]), (0, 50, sysex), (0, 255, [0x80, 69, 0]),
            (1, 77, [0x90, 60, 1]), (1, 77, [0x90, 61, 2]), (1, 77, [0x80, 60, 0]),  # one frame, order kept
            (3, 1, [0xD0, 33]), (3, 254, [0xA0, 60, 99]), (4, 0, [0x90, 81, 127]),
        ]
        messages += [(6, i * 2, [0x90 | (i % 16), i, 127 - i]) for i in range(128)]  # a full period
        sender = Sender(self, server, messages)
        probe = Probe(self, server, "--signal", "ramp", "--connect", "midisender:out").wait_ready()
        self.assertEqual(probe.info["client"], ["wsy"])
        self.assertEqual(probe.info["midi_port"], ["wsy:midi_in"])
        self.assertEqual(probe.info["rate"], [str(RATE)])
        self.assertEqual(probe.info["period"], ["256"])
        self.assertEqual(probe.info["playback"], ["system:playback_1 system:playback_2"])
        self.assertEqual(probe.info["connected"], ["midisender:out midisender:out"])
        self.assertEqual(probe.info["midi_connections"], ["midisender:out"])
        self.assertNotIn("warning", probe.info)
        recorder = Recorder(self, server, ["wsy:out_1", "wsy:out_2"], 2.0)  # the ramp takes 1.5 s
        recorder.go()
        sender.go()
        sent = sender.sent()
        samples = recorder.samples()
        report, events = probe.finish()

        # Every message but the system exclusive one, at its JACK frame, in the order sent.
        expected = [(frame, data) for frame, data in sent if data[0] != 0xF0]
        self.assertEqual(len(expected), len(messages) - 1)
        self.assertEqual([(frame, data) for frame, _, _, data in events], expected)
        self.assertTrue(all(period == 256 for _, _, period, _ in events))
        self.assertEqual([offset for _, offset, _, _ in events][:9], [0, 17, 100, 128, 200, 255, 77, 77, 77])
        self.assertEqual([data[1] for _, offset, _, data in events if offset == 77], [60, 61, 60],
                         "same frame: order as sent")
        self.assertIn("dropped 0", report)
        calls = int(next(line for line in report if line.startswith("process_calls")).split()[1])
        self.assertGreaterEqual(calls, 2.0 * RATE / 256, "JACK called the process function given to open()")

        self.assertGreaterEqual(len(samples), 2 * RATE, "recorded too little")
        # The ramp, on the left, goes through every 16-bit value, each once
        # every 65,536 frames; the right one mirrors it, down where it goes up.
        frames = sorted(samples)
        left = [samples[f][0] for f in frames]
        right = [samples[f][1] for f in frames]
        first_at = {}
        for frame, value in zip(frames, left):
            self.assertEqual((frame - first_at.setdefault(value, frame)) % 65536, 0,
                             "left %r comes back after other than a whole ramp" % value)
        self.assertEqual(len(first_at), 65536, "the 16-bit values did not all go out as floats of their own")
        # JACK's full scale is -1 to 1: the lowest value is exactly -1, the highest below 1.
        self.assertEqual(min(left), -1.0)
        self.assertLess(max(left), 1.0)
        self.assertEqual(set(right), set(left), "the mirror of every value is a value")
        for i in range(1, len(frames)):
            if frames[i] != frames[i - 1] + 1:
                continue
            if left[i - 1] == max(left):
                self.assertEqual((left[i], right[i]), (min(left), max(left)), "the ramp starts again")
            else:
                self.assertGreater(left[i], left[i - 1], "the ramp skips back at frame %d" % frames[i])
                self.assertLess(right[i], right[i - 1], "the mirror does not go down at frame %d" % frames[i])

    def test_a_note_on_at_offset_k_sounds_at_frame_k_of_the_same_period(self):
        # A server at another rate is joined at its own.
        for period, rate in ((64, RATE), (256, RATE), (1024, RATE), (256, 48000)):
            with subtest_with_own_processes(self, period=period, rate=rate):
                self.note_ons_at_offsets(period, rate)

    @again_after_xruns
    def note_ons_at_offsets(self, period, rate):
        server = start_jack(self, rate=rate, period=period)
        offsets = [0, 1, period // 7, period // 2, period - 2, period - 1]
        sender = Sender(self, server, [(2 * i, k, [0x90, 60 + i, 100]) for i, k in enumerate(offsets)])
        probe = Probe(self, server, "--signal", "markers", "--connect", "midisender:out").wait_ready()
        self.assertEqual(probe.info["period"], [str(period)])
        self.assertEqual(probe.info["rate"], [str(rate)])
        latency = int(probe.info["latency"][0])
        recorder = Recorder(self, server, ["wsy:out_1"], 0.5)
        recorder.go()
        sender.go()
        sent = sender.sent()
        samples = recorder.samples()
        probe.finish()
        self.assertEqual(len(sent), len(offsets))
        for i, (frame, _) in enumerate(sent):
            self.assertIn(frame, samples, "the recording has a hole at note on %d" % i)
            self.assertEqual(samples[frame][0] * 32768, 1000 + i, "note on %d is not at its own frame" % i)
        loud = sorted(f for f, v in samples.items() if v[0] != 0)
        self.assertEqual(loud, [frame for frame, _ in sent], "sound where no event was")
        # From the graph to the playback ports: the server's own figure, two
        # periods in its default asynchronous mode.
        self.assertEqual(latency, 2 * period)
        print("\n%d-frame periods at %d Hz: MIDI to output port 0 frames; output port to playback %d frames (%.1f ms)"
              % (period, rate, latency, 1000.0 * latency / rate), file=sys.stderr)

    @again_after_xruns
    def test_two_senders_merge_in_time_order(self):
        server = start_jack(self, rate=RATE, period=256)
        first = Sender(self, server, [(0, k, [0x90, k % 128, 1]) for k in (3, 50, 200)], "keyboard_a")
        second = Sender(self, server, [(0, k, [0x91, k % 128, 2]) for k in (0, 51, 199, 255)], "keyboard_b")
        probe = Probe(self, server, "--connect", "keyboard_.:out").wait_ready()
        self.assertEqual(probe.info["connected"], ["keyboard_.:out keyboard_a:out keyboard_b:out"])
        self.assertEqual(sorted(probe.info["midi_connections"][0].split()), ["keyboard_a:out", "keyboard_b:out"])
        start = second.now + RATE  # a period both will see
        first.go(start)
        second.go(start)
        sent = first.sent() + second.sent()
        _, events = probe.finish()
        self.assertEqual([offset for _, offset, _, _ in events], [0, 3, 50, 51, 199, 200, 255])
        self.assertEqual(sorted((f, d) for f, _, _, d in events), sorted(sent))

    @again_after_xruns
    def test_a_flood_of_ten_thousand_messages_a_second_all_arrive(self):
        server = start_jack(self, rate=RATE, period=256)
        periods = 350  # 2 s at 60 messages a period: 10,336 a second
        flood = [(p, 4 * i + p % 4, [0x90 | (i % 3), (p + i) % 128, i % 128]) for p in range(periods) for i in range(60)]
        sender = Sender(self, server, flood)
        probe = Probe(self, server, "--signal", "markers", "--connect", "midisender:out").wait_ready()
        sender.go()
        sent = sender.sent()
        report, events = probe.finish()
        self.assertEqual(len(sent), periods * 60)
        self.assertEqual([(f, d) for f, _, _, d in events], sent)
        self.assertIn("dropped 0", report)

    @again_after_xruns
    def test_jack_midiseq_drives_midi_in_through_a_regular_expression(self):
        server = start_jack(self, rate=RATE, period=256)
        seq = subprocess.Popen(["jack_midiseq", "loopseq", "2560", "0", "60", "256", "1000", "64", "128"],
                               env=jack_env(server), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        self.addCleanup(wsytest.stop, seq)
        wsytest.wait_for_port(server, "loopseq:out")
        probe = Probe(self, server, "--connect", "^loop.*:o").wait_ready()
        self.assertEqual(probe.info["connected"], ["^loop.*:o loopseq:out"])
        time.sleep(1.0)
        _, events = probe.finish()
        self.assertGreaterEqual(len(events), 40, "about 17 loops a second, 4 events each")
        starts = [f for f, _, _, data in events if data == b"\x90\x3c\x40"]
        loop0 = starts[0]
        expected_at = {0: b"\x90\x3c\x40", 256: b"\x80\x3c\x40", 1000: b"\x90\x40\x40", 1128: b"\x80\x40\x40"}
        for frame, offset, period, data in events:
            self.assertEqual(period, 256)
            self.assertEqual(expected_at.get((frame - loop0) % 2560), data, "event at frame %d" % frame)
            self.assertEqual(offset, (frame - loop0) % 256, "jack_midiseq's loop starts on a period")
        self.assertEqual(len(events), len(set(f for f, _, _, _ in events)))


class Faults(unittest.TestCase):
    def test_a_server_at_another_rate_than_the_one_asked_is_refused_with_the_hint(self):
        server = start_jack(self, rate=48000, period=256)
        probe = Probe(self, server, "--rate", "44100")
        out, err = probe.proc.communicate(timeout=20 * SLOW)
        self.assertEqual(probe.proc.returncode, 3, err)
        self.assertEqual(out, b"")
        self.assertEqual(err.decode(), "wsy: the JACK server runs at 48000 Hz, not at the 44100 Hz asked for (leave "
                                       "out --rate to play at the server's rate, or start the JACK server with "
                                       "-r 44100).\n")
        self.assertEqual([p for p in wsytest.jack_ports(server)[1] if p.startswith("wsy")], [],
                         "the refused client left")

    def test_a_server_at_a_rate_wsy_cannot_play_is_refused(self):
        server = start_jack(self, rate=4000, period=256)
        probe = Probe(self, server)
        out, err = probe.proc.communicate(timeout=20 * SLOW)
        self.assertEqual(probe.proc.returncode, 3, err)
        self.assertEqual(err.decode(), "wsy: the JACK server runs at 4000 Hz and wsy plays at 8000 to 192000 Hz "
                                       "only (start the JACK server with -r 48000, say).\n")

    def test_no_server_is_one_line(self):
        env = jack_env("wsy-nobody-%d" % os.getpid())
        r = subprocess.run([PROBE], env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=20 * SLOW)
        self.assertEqual(r.returncode, 3, r.stderr.decode())
        self.assertEqual(r.stderr.decode(), "wsy: no JACK server is running (start one, such as: "
                                            "jackd -d alsa -r 48000).\n")
        r = subprocess.run([PROBE, "--rate", "44100"], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=20 * SLOW)
        self.assertEqual(r.stderr.decode(), "wsy: no JACK server is running (start one at 44100 Hz, such as: "
                                            "jackd -d alsa -r 44100).\n")

    def test_a_stopped_or_killed_server_is_noticed(self):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            with subtest_with_own_processes(self, signal=sig.name):
                server = start_jack(self)
                probe = Probe(self, server).wait_ready()
                began = time.monotonic()
                self.jackd.send_signal(sig)
                report, _ = probe.finish(timeout=20, end_input=False)
                took = time.monotonic() - began
                lost = [line for line in report if line.startswith("lost")]
                self.assertEqual(len(lost), 1, report)  # by itself, within finish()'s limit
                print("\n%s: lost after %.2f s" % (sig.name, took), file=sys.stderr)

    def test_a_late_period_is_counted(self):
        server = start_jack(self)
        probe = Probe(self, server, "--stall-once", "60").wait_ready()
        time.sleep(1.0)
        report, _ = probe.finish()
        xruns = int(next(line for line in report if line.startswith("xruns")).split()[1])
        self.assertGreaterEqual(xruns, 1, report)

    def test_connect_warnings_and_a_taken_name(self):
        server = start_jack(self)
        first = Probe(self, server).wait_ready()
        second = Probe(self, server, "--connect", "nosuchport", "--connect", "([").wait_ready()
        self.assertEqual(first.info["client"], ["wsy"])
        name = second.info["client"][0]
        self.assertNotEqual(name, "wsy")
        self.assertTrue(name.startswith("wsy"), name)
        self.assertEqual(second.info["midi_port"], [name + ":midi_in"])
        warnings = second.info["warning"]
        self.assertEqual(len(warnings), 2)
        self.assertIn('"nosuchport" matches no JACK MIDI output port', warnings[0])
        self.assertIn('"([" is neither a JACK MIDI port nor a regular expression', warnings[1])
        self.assertEqual(second.info["midi_connections"], [""])
        first.finish()
        second.finish()


if __name__ == "__main__":
    if not PROBE or not os.access(PROBE, os.X_OK):
        raise SystemExit("JACK_CLIENT_PROBE must name the jack_client_probe binary")
    unittest.main()
