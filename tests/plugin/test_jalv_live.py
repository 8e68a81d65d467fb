"""The LV2 plugin live in a real host: jalv (its console front end) runs
urn:wsy:synth from the build tree's bundle on a JACK dummy server. The test's
own JACK clients (jack_test_peer) send MIDI into the plugin's control port at
chosen frames and record its two outputs in the same graph, so every check is
in JACK frames; jalv's console takes control values as a user types them.

jalv -l loads a saved session (a state.ttl, written here as lilv writes one):
the plugin restores the patch named in it, or its saved text when the file is
gone, which gives the clean sine that the pitch is measured on (the bundled
patch's vibrato and octave have no one zero crossing per cycle)."""

import os
import re
import shutil
import subprocess
import unittest

import wsytest
from wsytest import (RATE, SINE_PATCH, SLOW, Reader, Recorder, Sender, again_after_xruns, jack_env, pitch,
                     start_jack, subtest_with_own_processes, work_dir)

LV2_PATH = os.environ.get("LV2_PATH", "")  # the build tree's folder that holds wsy.lv2
URI = "urn:wsy:synth"
CLIENT = "wsyplug"
PERIOD = 256
OCTAVE_UP = SINE_PATCH.replace("VCO1;", "VCO1;*NOTE=12;")
NOTE_ON_69 = [0x90, 69, 100]
NOTE_OFF_69 = [0x80, 69, 0]

STATE_TTL = """@prefix atom: <http://lv2plug.in/ns/ext/atom#> .
@prefix lv2: <http://lv2plug.in/ns/lv2core#> .
@prefix pset: <http://lv2plug.in/ns/ext/presets#> .
@prefix state: <http://lv2plug.in/ns/ext/state#> .

<>
\ta pset:Preset ;
\tlv2:appliesTo <%(uri)s> ;
\tstate:state [
\t\t<%(uri)s#patch> <%(file)s> ;
\t\t<%(uri)s#patch_text> "%(text)s"
\t] .
"""


def turtle_string(text):
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


class Jalv:
    """jalv running the plugin under the client name CLIENT, its console on
    pipes: standard input stays open (jalv ends when it closes)."""

    def __init__(self, test, server, *args):
        if not shutil.which("jalv"):
            raise unittest.SkipTest("jalv is not installed (scripts/setup installs it)")
        env = dict(jack_env(server), LV2_PATH=LV2_PATH, LC_ALL="C.UTF-8")
        # stdbuf: jalv's prompt ("> ", no line end) reaches the pipe when printed.
        self.proc = subprocess.Popen(["stdbuf", "-o0", "jalv", "-n", CLIENT, "-x", *args], env=env,
                                     stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        test.addCleanup(wsytest.kill, self.proc)
        self.out = Reader(self.proc.stdout.fileno())
        self.err = Reader(self.proc.stderr.fileno())
        for port in ("control", "out_left", "out_right"):
            try:
                wsytest.wait_for_port(server, "%s:%s" % (CLIENT, port))
            except AssertionError:
                raise AssertionError("jalv did not register %s:%s; it said %r %r"
                                     % (CLIENT, port, self.out.snapshot(), self.err.snapshot()))
        # The ports exist before the client is active: the console's prompt comes once it runs.
        self.out.wait_contains(b"> ", timeout=20)

    def type(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def close(self):
        """Ends the console's input, as Ctrl-D does: jalv closes the plugin and
        ends. Returns its status and what it wrote on the console."""
        self.proc.stdin.close()
        try:
            status = self.proc.wait(20 * SLOW)
        except subprocess.TimeoutExpired:
            raise AssertionError("jalv did not end at the end of its input: %r %r"
                                 % (self.out.snapshot()[-2000:], self.err.snapshot()[-2000:]))
        return (status, self.out.wait_closed().decode(errors="replace"),
                self.err.wait_closed().decode(errors="replace"))


def connect(server, source, destination):
    r = subprocess.run(["jack_connect", source, destination], env=jack_env(server), capture_output=True,
                       timeout=20)
    if r.returncode != 0:
        raise AssertionError("jack_connect %s %s: %r" % (source, destination, r.stderr))


class JalvLive(unittest.TestCase):
    def setUp(self):
        if not LV2_PATH or not os.path.isfile(os.path.join(LV2_PATH, "wsy.lv2", "manifest.ttl")):
            raise SystemExit("LV2_PATH must name the build tree's folder that holds wsy.lv2")

    def play(self, messages, seconds, *jalv_args):
        """The plugin in jalv on a server of its own, the sender connected to
        its control port; returns (jalv, server, sent [(JACK frame, bytes)],
        recording {JACK frame: (left, right)})."""
        server = start_jack(self, rate=RATE, period=PERIOD)
        sender = Sender(self, server, messages)
        host = Jalv(self, server, *jalv_args)
        connect(server, "midisender:out", "%s:control" % CLIENT)
        recorder = Recorder(self, server, ["%s:out_left" % CLIENT, "%s:out_right" % CLIENT], seconds)
        recorder.go()
        sender.go()
        return host, server, sender.sent(), recorder.samples()

    def console_is_clean(self, host, said_by_plugin=()):
        """jalv ends with status 0 at the end of its input, and its console
        shows no error nor warning but the lines `said_by_plugin`, each once."""
        status, out, err = host.close()
        self.assertEqual(status, 0, "jalv ended with status %d: %s%s" % (status, out[-2000:], err[-2000:]))
        lines = (out + err).splitlines()
        for line in said_by_plugin:
            self.assertEqual(lines.count(line), 1, "%r on jalv's console: %s%s" % (line, out, err))
        rest = [line for line in lines if line not in said_by_plugin]
        # The plugin's own lines start with "wsy:", after jalv's "error: " or "warning: ".
        said = [line for line in rest if re.search(r"(^|: )wsy:|error|warning|fail|cannot|could not", line, re.I)]
        self.assertEqual(said, [], "jalv's console: %s%s" % (out, err))

    def check_frames(self, recording, first, last):
        missing = [f for f in range(first, last) if f not in recording]
        self.assertFalse(missing, "the recording has a hole from JACK frame %s" % missing[:1])

    def onset(self, recording, on):
        """The frame at which sound starts after the note on sent at JACK
        frame `on` (mid-period, so that a message applied at its period's
        start or end is caught). The envelope starts from level 0 at the
        message's own frame, so that frame is silent like the period before
        it; the next frames sound, one or two frames later where the wave is
        so near its zero crossing that the small start of the attack
        truncates to 0."""
        self.assertNotIn(on % PERIOD, (0, PERIOD - 1))
        self.check_frames(recording, on - PERIOD, on + 64)
        self.assertEqual({recording[f] for f in range(on - PERIOD, on + 1)}, {(0.0, 0.0)}, "sound before the note on")
        first = next((f for f in range(on, on + 64) if recording[f] != (0.0, 0.0)), None)
        self.assertIsNotNone(first, "no sound in the 64 frames after the note on")
        self.assertLessEqual(first - on, 2, "sound %d frames after the note on" % (first - on))
        return first

    def record(self, server, seconds):
        recorder = Recorder(self, server, ["%s:out_left" % CLIENT, "%s:out_right" % CLIENT], seconds)
        recorder.go()
        return recorder.samples()

    def typed(self, host, line):
        """`line` typed on jalv's console, once jalv has echoed the control's new value."""
        start = len(host.out.snapshot())
        host.type(line)
        symbol, value = line.split(" = ")
        host.out.wait_contains(b"%s = %.6f\n" % (symbol.encode(), float(value)), timeout=10, start=start)

    @again_after_xruns
    def test_console_sets_autoplay_and_midi_notes_start_at_their_frames(self):
        """The bundled patch: silent until played (autoplay is off by
        default); typed on the console, autoplay = 1 plays random notes one
        after another and autoplay = 0 lets the last one run out; then MIDI
        notes sound from the frames they were sent at."""
        hold = 70  # periods, 0.41 s: inside the bundled patch's note, which runs out by itself
        messages = [(20, 37, NOTE_ON_69), (20 + hold, 5, NOTE_OFF_69),
                    (20 + hold + 40, 201, [0x90, 81, 90]), (20 + 2 * hold + 40, 0, [0x80, 81, 64])]
        server = start_jack(self, rate=RATE, period=PERIOD)
        sender = Sender(self, server, messages)
        host = Jalv(self, server, URI)
        connect(server, "midisender:out", "%s:control" % CLIENT)
        self.assertEqual(set(self.record(server, 0.5).values()), {(0.0, 0.0)}, "sound with no note played")

        self.typed(host, "autoplay = 1")
        heard = self.record(server, 1.5)
        tenths = {}
        first = min(heard)
        for frame, value in heard.items():
            tenths.setdefault((frame - first) * 10 // RATE, set()).add(value)
        self.assertEqual(sorted(t for t, values in tenths.items() if values == {(0.0, 0.0)}), [],
                         "tenths of a second without sound while autoplay is on")
        self.typed(host, "autoplay = 0")
        after = self.record(server, 1.2)
        last = max(after)
        self.assertEqual({v for f, v in after.items() if f >= last - RATE // 2}, {(0.0, 0.0)},
                         "random notes went on after autoplay = 0")

        recorder = Recorder(self, server, ["%s:out_left" % CLIENT, "%s:out_right" % CLIENT], 1.5)
        recorder.go()
        sender.go()
        sent = sender.sent()
        recording = recorder.samples()
        self.assertEqual([bytes(m[2]) for m in messages], [b for _, b in sent])
        start = min(recording)
        self.check_frames(recording, start, sent[-1][0] + 16 * PERIOD)
        self.assertEqual({recording[f] for f in range(start, sent[0][0])}, {(0.0, 0.0)})
        for (on, _), (off, _) in ((sent[0], sent[1]), (sent[2], sent[3])):
            self.onset(recording, on)
            sounding = [recording[f] for f in range(on, off)]
            self.assertGreater(sum(1 for left, right in sounding if left != 0 or right != 0), (off - on) // 2)
            # Released before its end (the bundled patch has no release time): silent at once.
            self.assertEqual({recording[f] for f in range(off, off + 4 * PERIOD)}, {(0.0, 0.0)})
        # The outputs carry the engine's 16-bit samples over 32768, as wsy's do.
        values = {v for frame in recording.values() for v in frame} | {v for frame in heard.values() for v in frame}
        self.assertGreater(len(values), 1000)
        off_grid = [v for v in values if not (-1.0 <= v < 1.0 and (v * 32768).is_integer())]
        self.assertEqual(off_grid, [], "samples that are no 16-bit value over 32768")
        self.console_is_clean(host)

    @again_after_xruns
    def test_a_saved_session_restores_its_patch_and_note_69_sounds_440_hz(self):
        """The session names a file with a sine in it and keeps an octave-up
        sine as its text: the file plays while it is there, the text once it
        is gone. jalv -c sets the MIDI channel to 2 from the start: a note on
        channel 1 goes unheard."""
        hold = 70
        messages = [(12, 50, [0x90, 69, 100]), (12 + hold // 2, 3, [0x80, 69, 0]),
                    (20 + hold, 111, [0x91, 69, 100]), (20 + 2 * hold, 7, [0x81, 69, 0])]
        for present, hertz in ((True, 440.0), (False, 880.0)):
            with subtest_with_own_processes(self, file_present=present):
                session = work_dir(self, None)
                if present:
                    with open(os.path.join(session, "sine.wsy"), "w") as f:
                        f.write(SINE_PATCH)
                with open(os.path.join(session, "state.ttl"), "w") as f:
                    f.write(STATE_TTL % dict(uri=URI, file="sine.wsy", text=turtle_string(OCTAVE_UP)))
                host, server, sent, recording = self.play(messages, 1.4, "-c", "midi_channel=2", "-l", session)
                self.check_frames(recording, sent[0][0] - PERIOD, sent[2][0])
                self.assertEqual({recording[f] for f in range(sent[0][0] - PERIOD, sent[2][0])}, {(0.0, 0.0)},
                                 "a note on channel 1 sounded")
                on = self.onset(recording, sent[2][0])
                self.check_frames(recording, on, on + PERIOD * (hold - 10))
                heard = [recording[on + i] for i in range(PERIOD * 10, PERIOD * (hold - 10))]
                self.assertAlmostEqual(pitch([left for left, _ in heard]), hertz, delta=hertz * 0.002)
                self.assertAlmostEqual(pitch([right for _, right in heard]), hertz, delta=hertz * 0.002)
                self.console_is_clean(host, [] if present else [
                    'warning: wsy: the session\'s patch file "%s" cannot be read (No such file or directory); '
                    'it plays the patch as the session saved it.' % os.path.join(session, "sine.wsy")])

if __name__ == "__main__":
    unittest.main(verbosity=2)
