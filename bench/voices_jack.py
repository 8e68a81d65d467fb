#!/usr/bin/env python3
"""How many voices of the bundled patch wsy sustains on JACK at 128-frame
periods with no xrun: for each voice count N, a JACK dummy server at 44100 Hz
and -p 128, wsy --voices N --no-autoplay playing the bundled RODUV_2.WSY, and
a JACK MIDI client (jack_test_peer) holding an N-note chord the whole time
(all sound off and the chord struck again every 100 periods, before its notes
run out, so N voices sound in every period). Counted over `--seconds` of
playing: jackd's xruns, those that name wsy as the client not finished,
wsy's own underflow count, its slowest block (WSY_MEASURE_LATENCY) and the
CPU time it took (its share of one core: the mean block's share of the
period). A run
of the server and the MIDI client without wsy gives the xruns this machine
has anyway.

Run by hand from the repository's top folder after a release build:
    bench/voices_jack.py [--wsy build/release/wsy]
        [--peer build/release/tests/devices/jack_test_peer] [--seconds 20]
        [--voices 1 2 4 8 12 16 24 32]
Needs jackd2. Prints a markdown table; not a test (speed is never asserted)."""

import argparse
import os
import re
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests")]
import wsytest  # noqa: E402

PERIOD = 128
RESTRIKE = 100  # periods between strikes of the chord (a note lasts 158 periods)


def chord(voices, periods):
    """The sender's messages: the chord of `voices` keys, struck at period 4 and
    again every RESTRIKE periods after all sound off."""
    keys = [36 + 2 * k for k in range(voices)]  # different keys, whole tones from C2 up
    messages = []
    for p in range(4, periods, RESTRIKE):
        if p > 4:
            messages.append((p, 0, [0xB0, 120, 0]))
        messages += [(p, 1 + k % (PERIOD - 1), [0x90, key, 100]) for k, key in enumerate(keys)]
    return messages


def wsy_xruns(owner):
    return len(re.findall(r"client = wsy was not finished", wsytest.jackd_log(owner)))


def run(wsy, voices, seconds):
    """(jackd's xruns, of which naming wsy, wsy's underflows, wsy's slowest block) while
    playing; with `voices` None, the server and the MIDI client alone."""
    owner = wsytest.Cleanups()
    try:
        server = wsytest.start_jack(owner, period=PERIOD)
        periods = int((seconds + 3) * wsytest.RATE / PERIOD)
        sender = wsytest.Sender(owner, server, chord(voices or 1, periods))
        w = None
        if voices:
            w = wsytest.Wsy(owner, os.getcwd(), wsytest.base_env(JACK_DEFAULT_SERVER=server, WSY_MEASURE_LATENCY="1"),
                            args=("--voices", str(voices), "--no-autoplay", "--midi-connect", "midisender:out"),
                            program=wsy)
            w.send(b"31")
            w.err.wait_contains(b"MIDI input", timeout=20)
        sender.go()
        time.sleep(2)  # the chord sounding, the graph settled
        at_start, wsy_at_start = wsytest.server_xruns(owner), wsy_xruns(owner)
        ticks = wsytest.cpu_ticks(w.proc.pid) if w else 0
        time.sleep(seconds)
        xruns, late = wsytest.server_xruns(owner) - at_start, wsy_xruns(owner) - wsy_at_start
        used = (wsytest.cpu_ticks(w.proc.pid) - ticks) / wsytest.CLOCK_TICKS if w else 0
        busy = "%.1f %%" % (100.0 * used / seconds) if w else "-"
        under, slowest = "-", "-"
        if w:
            w.signal(signal.SIGTERM)
            w.wait()
            said = w.err.wait_closed().decode()
            m = re.search(r"^wsy: (\d+) underflows?", said, re.M)
            under = m.group(1) if m else "0"
            m = re.search(r"^wsy: the slowest block took (\d+) us to fill; a block lasts (\d+) us", said, re.M)
            slowest = "%s us of %s us" % m.groups() if m else "not said"
        return xruns, late, under, slowest, busy
    finally:
        owner.doCleanups()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wsy", default="build/release/wsy")
    parser.add_argument("--peer", default="build/release/tests/devices/jack_test_peer")
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--voices", type=int, nargs="+", default=[1, 2, 4, 8, 12, 16, 24, 32])
    args = parser.parse_args()
    if not os.path.exists("RODUV_2.WSY"):
        raise SystemExit("run from the repository's top folder: wsy plays RODUV_2.WSY there")
    wsytest.JACK_TEST_PEER = os.path.abspath(args.peer)
    os.environ["JACK_TEST_PEER"] = wsytest.JACK_TEST_PEER
    print("%d s at %d frames (%.2f ms), 44100 Hz, dummy driver:\n" % (args.seconds, PERIOD, PERIOD / 44.1))
    print("| voices | jackd xruns | of which wsy late | wsy underflows | wsy's slowest block | wsy's CPU (one core) |")
    print("|---|---|---|---|---|---|")
    xruns, late, _, _, _ = run(args.wsy, None, args.seconds)
    print("| none (server and MIDI client alone) | %d | - | - | - | - |" % xruns, flush=True)
    for voices in args.voices:
        xruns, late, under, slowest, busy = run(os.path.abspath(args.wsy), voices, args.seconds)
        print("| %d | %d | %d | %s | %s | %s |" % (voices, xruns, late, under, slowest, busy), flush=True)


if __name__ == "__main__":
    main()
