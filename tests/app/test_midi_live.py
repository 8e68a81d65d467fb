"""MIDI into wsy on a real JACK server (dummy driver): wsy plays output 3 with
--record, the test's own JACK clients (jack_test_peer) send MIDI to
wsy:midi_in at chosen frames and record wsy:out_1/out_2 in the same graph, so
every check is in JACK frames. Then wsy-render plays the log and must give the
recorded samples back, one for one."""

import collections
import os
import re
import signal
import subprocess
import sys
import unittest

import wsytest
from wsytest import (HELP, RATE, Recorder, Sender, Wsy, again_after_xruns, base_env, jack_env, pitch, start_jack,
                     work_dir)

RENDER = os.environ.get("WSY_RENDER", "")
PERIOD = 256
MIDI_LINE = re.compile(r"^(\d+) midi ((?:[0-9A-F]{2} ?)+)$")


def render_log(test, work, log, *args, rate=RATE):
    """The log rendered (at the rate it names), as [(left, right)], and the render's standard output."""
    wav = os.path.join(work, "render.wav")
    r = subprocess.run([RENDER, "--patch", os.path.join(work, "RODUV_2.WSY"), "--no-autoplay", *args,
                        "--events", log, "-o", wav], capture_output=True, timeout=300, cwd=work)
    test.assertEqual(r.returncode, 0, r.stderr)
    samples = wsytest.read_wav(wav, rate=rate)
    return list(zip(samples[0::2], samples[1::2])), r.stdout


def play_live(test, messages, seconds, extra_args=(), rate=RATE):
    """wsy on a server of its own (at `rate`) with the sender connected by --midi-connect;
    returns (sent [(JACK frame, bytes)], recording {JACK frame: (left, right)},
    log lines, work folder, wsy's standard output and error)."""
    server = start_jack(test, rate=rate, period=PERIOD)
    sender = Sender(test, server, messages)
    w, work, log = start_recording(test, server, "midisender:out", extra_args)
    w.out.wait_contains(HELP, timeout=20)
    w.err.wait_contains(b"MIDI input", timeout=20)
    recorder = Recorder(test, server, ["wsy:out_1", "wsy:out_2"], seconds)
    recorder.go()
    sender.go()
    sent = sender.sent()
    recording = recorder.samples()
    lines, err = end_recording(test, w, log, "midisender:out")
    return sent, recording, lines, work, log, w.out.snapshot(), err


def start_recording(test, server, connect, extra_args=()):
    """wsy on JACK (output 3) on `server`, recording its session, its MIDI
    input connected by --midi-connect `connect`; returns (wsy, work folder, log)."""
    work = work_dir(test)
    log = os.path.join(work, "take.events")
    w = Wsy(test, work, base_env(JACK_DEFAULT_SERVER=server),
            args=("--record", log, "--no-autoplay", "--midi-connect", connect, *extra_args))
    w.send(b"31")
    return w, work, log


def end_recording(test, w, log, source):
    """Ends wsy as a user would (SIGTERM); checks that its MIDI input was
    connected from port `source`; returns (the log's lines, wsy's standard error)."""
    w.signal(signal.SIGTERM)
    w.wait()
    err = w.err.wait_closed().decode()
    test.assertIn("MIDI input wsy:midi_in, connected from %s" % source, err)
    with open(log) as f:
        return f.read().splitlines(), err


class LiveMidi(unittest.TestCase):
    def play(self, messages, seconds, extra_args=(), rate=RATE):
        return play_live(self, messages, seconds, extra_args, rate)


    def compare_with_render(self, sent, recording, lines, work, log, out, rate=RATE):
        """The log's MIDI lines are the messages sent, and its render, with the
        options its own header names, is the recording; returns the shift
        (JACK frame - engine frame) of the first message, and the render.

        A machine too busy for the period makes the server report xruns. A
        period in which wsy was not called loses its messages and puts wsy's
        frame count one period behind JACK's; a period the recorder read late
        holds the one before it, or nothing like the render. Then the log
        holds the messages sent less whole periods, at shifts that grow by
        whole periods, and every recorded period but those next to an xrun is
        the render's at one of them.
        Without xruns: every message at one shift, every period the render's."""
        command = lines[1].split()
        self.assertEqual(command[:4], ["#", "render", "it", "again:"], lines[1])
        extra_args = []
        for option in ("--midi-channel", "--bend-range"):
            if option in command:
                extra_args += [option, command[command.index(option) + 1]]
        logged = [(int(m.group(1)), bytes.fromhex(m.group(2))) for m in map(MIDI_LINE.match, lines) if m]
        xruns = wsytest.server_xruns(self)
        self.assertEqual(logged[0][1], sent[0][1], "the first message")
        shift = last_shift = sent[0][0] - logged[0][0]
        if not xruns:
            self.assertEqual([b for _, b in logged], [b for _, b in sent])
            shifts = {jack - frame for (jack, _), (frame, _) in zip(sent, logged)}
            self.assertEqual(shifts, {shift}, "messages applied off their own frames")
        else:
            i = 0
            for frame, data in logged:
                while i < len(sent) and not (sent[i][1] == data and sent[i][0] - frame >= last_shift
                                             and (sent[i][0] - frame - shift) % PERIOD == 0):
                    i += 1
                self.assertLess(i, len(sent), "%s at engine frame %d: not sent, or off its frame" % (data.hex(), frame))
                last_shift = sent[i][0] - frame
                i += 1
        missed = (last_shift - shift) // PERIOD
        self.assertLessEqual(missed, xruns, "wsy fell behind by more periods than the server saw xruns")
        busiest = max(collections.Counter(f // PERIOD for f, _ in sent).values())
        self.assertLessEqual(len(sent) - len(logged), missed * busiest, "messages lost beyond the missed periods")
        rendered, words = render_log(self, work, log, *extra_args, rate=rate)
        compared = 0
        unfit = []

        def compared_at(period, s):
            """The frames of `period` inside the render at shift `s`, or None if one differs."""
            inside = [(f - s, got) for f, got in period if 0 <= f - s < len(rendered)]
            return len(inside) if all(rendered[frame] == got for frame, got in inside) else None

        for start in sorted({f - f % PERIOD for f in recording}):
            period = [(f, (round(recording[f][0] * 32768), round(recording[f][1] * 32768)))
                      for f in range(start, start + PERIOD) if f in recording]
            # After an xrun the recorder may have read a period late, under the next period's frame.
            counts = (compared_at(period, s) for s in range(shift, last_shift + (PERIOD if xruns else 0) + 1, PERIOD))
            count = next((c for c in counts if c is not None), None)
            if count is not None:
                compared += count
                continue
            frame, got = next((f - shift, got) for f, got in period
                              if 0 <= f - shift < len(rendered) and rendered[f - shift] != got)
            fits = [s - shift for s in range(shift - 8 * PERIOD, last_shift + 9 * PERIOD, PERIOD)
                    if compared_at(period, s) is not None]
            unfit.append("engine frame %d (JACK frame %d): recorded %s, rendered %s; fits shifts %s"
                         % (frame, frame + shift, got, rendered[frame], fits))
        if xruns:
            print("\n%d xruns: wsy missed %d periods, %d messages; %d recorded periods unlike the render"
                  % (xruns, missed, len(sent) - len(logged), len(unfit)), file=sys.stderr)
        self.assertLessEqual(len(unfit), 2 * xruns, "%d periods differ from the render after %d xruns; the first: %s"
                             % (len(unfit), xruns, unfit[:1]))
        self.assertGreater(compared, rate // 2)
        self.assertTrue(words.endswith(out.split(HELP, 1)[1]), "the same words on standard output")
        return shift, rendered

    @again_after_xruns
    def test_pitch_onset_and_render(self):
        hold = 80  # periods, 0.46 s
        messages = [(4, 37, [0x90, 69, 100]), (4 + hold, 5, [0x80, 69, 0]),
                    (4 + hold + 40, 201, [0x90, 81, 90]), (4 + 2 * hold + 40, 0, [0x80, 81, 64]),
                    (4 + 2 * hold + 45, 0, [0xE0, 0, 0x60]), (4 + 2 * hold + 45, 128, [0x90, 69, 1])]
        sent, recording, lines, work, log, out, err = self.play(
            messages, 2.4, ("--midi-channel", "1", "--bend-range", "12"))
        self.assertIn(" --midi-channel 1 --bend-range 12 ", lines[1])
        shift, rendered = self.compare_with_render(sent, recording, lines, work, log, out)

        # (a) pitch: a stretch of each note, well inside it.
        def stretch(start, periods):
            return [recording[start + i][0] for i in range(PERIOD * 10, PERIOD * periods) if start + i in recording]
        a = pitch(stretch(sent[0][0], hold - 10))
        b = pitch(stretch(sent[2][0], hold - 10))
        self.assertAlmostEqual(a, 440.0, delta=1.0)
        self.assertAlmostEqual(b, 880.0, delta=2.0)
        # A bend of +0.5 of its range of 12: A4 up 6 semitones, 622.3 Hz.
        bent = pitch(stretch(sent[5][0], 60))
        self.assertAlmostEqual(bent, 440.0 * 2 ** (1 / 12 * 12 * (0x60 * 128 - 8192) / 8192), delta=2.0)

        # (b) the note starts at the frame of its note on: silent before it,
        # sounding from the next frames on, where the renderer starts it too.
        on = sent[0][0]
        holes = [f for f in range(on - PERIOD, on + 64) if f not in recording]
        self.assertFalse(holes, "the recording has a hole around the note on at frame %d" % on)
        self.assertTrue(all(recording[f] == (0.0, 0.0) for f in range(on - PERIOD, on)))
        first = next(f for f in range(on, on + 64) if recording[f] != (0.0, 0.0))
        self.assertLessEqual(first - on, 1, "sound %d frames after the note on" % (first - on))
        rendered_first = next(f for f, s in enumerate(rendered) if s != (0, 0))
        self.assertEqual(rendered_first + shift, first)

    @again_after_xruns
    def test_at_48000_hz_note_69_is_440_hz_from_its_frame_and_the_log_renders_at_its_rate(self):
        """A server at PipeWire's and most set-ups' rate: wsy plays at it, the
        note at its pitch from the frame of its note on, and the log, which
        names the rate, renders the recording with no --rate given."""
        hold = 90  # periods, 0.48 s
        messages = [(4, 111, [0x90, 69, 100]), (4 + hold, 7, [0x80, 69, 0]), (4 + hold + 30, 0, [0x90, 81, 100]),
                    (4 + 2 * hold + 30, 0, [0x80, 81, 0])]
        sent, recording, lines, work, log, out, err = self.play(messages, 1.8, rate=48000)
        self.assertIn("at 48000 Hz", err, "the playing line names the rate")
        self.assertIn("0 rate 48000", lines, "the log names its rate")
        shift, rendered = self.compare_with_render(sent, recording, lines, work, log, out, rate=48000)
        for at, hz in ((sent[0][0], 440.0), (sent[2][0], 880.0)):
            heard = pitch([recording[at + i][0] for i in range(PERIOD * 10, PERIOD * (hold - 10)) if at + i in recording],
                          rate=48000)
            self.assertAlmostEqual(heard, hz, delta=hz * 0.0005)
        on = sent[0][0]
        self.assertFalse([f for f in range(on - PERIOD, on + 64) if f not in recording], "a hole at the note on")
        self.assertTrue(all(recording[f] == (0.0, 0.0) for f in range(on - PERIOD, on)))
        first = next(f for f in range(on, on + 64) if recording[f] != (0.0, 0.0))
        self.assertLessEqual(first - on, 1, "sound %d frames after the note on" % (first - on))
        self.assertEqual(next(f for f, s in enumerate(rendered) if s != (0, 0)) + shift, first)

    @again_after_xruns
    def test_jack_midiseq_drives_wsy(self):
        """jackd2's own looping sequencer, connected by a regular expression."""
        server = start_jack(self, rate=RATE, period=PERIOD)
        seq = subprocess.Popen(["jack_midiseq", "seq", "22050", "0", "69", "8000", "11025", "81", "8000"],
                               env=jack_env(server), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        self.addCleanup(wsytest.stop, seq)
        wsytest.wait_for_port(server, "seq:out")
        w, work, log = start_recording(self, server, "^seq:")
        w.out.wait_contains(HELP + b"\nTRIG\nUNTRIG\n\nTRIG\nUNTRIG\n\nTRIG\n", timeout=20)
        lines, _ = end_recording(self, w, log, "seq:out")
        notes = [m.group(2).split()[:2] for m in map(MIDI_LINE.match, lines) if m]
        self.assertIn(["90", "45"], notes)
        self.assertIn(["90", "51"], notes)
        # Each loop of 22050 frames: A4 on at 0, A5 on at 11025 (JACK frames apart).
        ons = [int(m.group(1)) for m in map(MIDI_LINE.match, lines) if m and m.group(2).startswith("90")]
        gaps = {b - a for a, b in zip(ons, ons[1:])}
        self.assertEqual(gaps, {11025}, ons)
        _, words = render_log(self, work, log)
        self.assertTrue(words.endswith(w.out.snapshot().split(HELP, 1)[1]))

    @unittest.skipUnless(os.environ.get("WSY_FLOOD") == "1", "the MIDI flood runs in the optimised build only")
    @again_after_xruns
    def test_flood_of_ten_thousand_messages_a_second(self):
        """10 s of 10,000 messages a second (notes, bends, pedal), then all notes off."""
        per_period = 58  # 58 * 44100 / 256 = 9991 a second
        periods = int(10 * RATE / PERIOD)
        messages = []
        for p in range(periods):
            for k in range(per_period):
                offset = k * PERIOD // per_period
                n = (p * per_period + k) % 7
                note = 48 + (p * 5 + k) % 36
                if n in (0, 1, 2):
                    messages.append((p, offset, [0x90, note, 100]))
                elif n in (3, 4):
                    messages.append((p, offset, [0x80, note, 0]))
                elif n == 5:
                    messages.append((p, offset, [0xE0, (p + k) % 128, (p * 3 + k) % 128]))
                else:
                    messages.append((p, offset, [0xB0, 64, 127 if (p + k) % 2 else 0]))
        # Three times: a period wsy missed after an xrun would lose the only one.
        messages += [(periods + 4 + 2 * i, 0, [0xB0, 123, 0]) for i in range(3)]
        sent, recording, lines, work, log, out, err = self.play(messages, 12.0)
        self.assertEqual(len(sent), len(messages))
        self.assertNotIn("could not reach the sound", err)
        self.assertNotIn("were lost", err)
        self.assertTrue(out.endswith(b"UNTRIG\n"), "all notes off released the note")
        # The release has run out by the end of the recording: silence.
        tail = [recording[f] for f in sorted(recording)[-PERIOD * 4:]]
        self.assertEqual(set(tail), {(0.0, 0.0)}, "a note still sounds")
        self.compare_with_render(sent, recording, lines, work, log, out)


class MidiWithoutJack(unittest.TestCase):
    def test_no_sequencer_is_one_line_and_wsy_plays_on(self):
        if os.path.exists("/dev/snd/seq"):
            self.skipTest("this machine has an ALSA sequencer: the missing-sequencer line cannot show")
        w = Wsy(self, work_dir(self), base_env(), args=("--midi-connect", "keyboard"))
        w.send(b"41")
        w.out.wait_contains(HELP + wsytest.AUTO_PLAY + b"MIAM\n", timeout=20)
        w.signal(signal.SIGTERM)
        w.wait()
        lines = [l for l in w.err.wait_closed().decode().splitlines() if "MIDI" in l or "sequencer" in l]
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("/dev/snd/seq", lines[0])
        self.assertIn("playing on without it", lines[0])

    def test_no_midi_opens_no_input(self):
        w = Wsy(self, work_dir(self), base_env(), args=("--no-midi",))
        w.send(b"41")
        w.out.wait_contains(HELP + wsytest.AUTO_PLAY, timeout=20)
        w.signal(signal.SIGTERM)
        w.wait()
        self.assertNotIn("sequencer", w.err.wait_closed().decode())

    def test_values_out_of_range_are_usage_errors(self):
        for args in (("--midi-channel", "0"), ("--midi-channel", "17"), ("--midi-channel=x",),
                     ("--bend-range", "25"), ("--bend-range", "-1"), ("--midi-connect",)):
            with self.subTest(args=args):
                r = subprocess.run([wsytest.WSY, *args], capture_output=True, stdin=subprocess.DEVNULL, timeout=20)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(b"usage: wsy", r.stderr)
                self.assertEqual(r.stdout, b"")
        r = subprocess.run([wsytest.WSY, "--help"], capture_output=True, timeout=20)
        for option in (b"--midi-connect PORT", b"--midi-channel N", b"--bend-range R", b"--no-midi"):
            self.assertIn(option, r.stdout)


if __name__ == "__main__":
    wsytest.check_binary()
    unittest.main()
