#!/usr/bin/env python3
"""Latency and the cost of playing, measured with the real wsy.

  key      key-to-sound latency on a JACK server (dummy driver) at periods of
           64, 128 and 256 frames: wsy runs with WSY_MEASURE_LATENCY=1 under
           Xvfb, xdotool presses z again and again, and wsy says on standard
           error, for each press, the time from taking the key off the
           window's queue to the moment the first sample of the block that
           carries the note reaches the device (JACK's time at the period plus
           the playback latency, against JACK's time at the key), with
           the server in its default asynchronous mode and in synchronous
           mode (jackd -S), which keeps one period less in the server.
  load     underflows in 60 s of auto-play at 128 frames while a busy loop
           keeps the other core busy, then the same 60 s without wsy: the
           dummy server's own xruns, against which wsy's count is read.
  cpu      CPU of the whole wsy process (user + system time from /proc)
           while it auto-plays the bundled patch for 30 s, with NoSound and
           with JACK.
  reload   underflows while wsy auto-plays at 256 frames and its patch is
           rewritten a hundred times a second for ten seconds (the rewrites
           of tests/app/test_reload.py: good, cut, empty and removed files,
           with pauses that let wsy reload), then the same rewrites with
           --no-watch: what the reloads cost, read against what the machine
           does anyway.

Run from the repository's top folder (wsy reads RODUV_2.WSY there):
    bench/latency.sh [--wsy build/release/wsy] [key] [load] [cpu] [reload]
Needs jackd2, Xvfb and xdotool (scripts/setup installs them). Starts and
stops its own servers (through tests/wsytest.py, the tests' helpers); prints
a markdown table."""

import argparse
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests"), os.path.join(HERE, "..", "tests", "app")]
import wsytest  # noqa: E402


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def start_wsy(owner, binary, keys, env, cwd=None, args=()):
    """wsy with its menus answered by `keys`, once it plays."""
    w = wsytest.Wsy(owner, cwd or os.getcwd(), env, args=args, program=binary)
    w.send(keys)
    wait_for(w, r"frame blocks")
    return w


def wait_for(w, pattern, timeout=20):
    data = w.err.wait_for(lambda d: re.search(pattern.encode(), d, re.M), timeout, "wsy to say %r" % pattern)
    return re.search(pattern.encode(), data, re.M)


def end(w, sig=signal.SIGTERM):
    """Ends wsy with `sig` (unless it has ended); what it said on standard error."""
    if w.proc.poll() is None:
        w.signal(sig)
    w.wait()
    return w.err.wait_closed().decode()


def underflows_said(text):
    """The count on wsy's underflow line, None if it said none."""
    m = re.search(r"^wsy: (\d+) underflows?", text, re.M)
    return int(m.group(1)) if m else None


def key_latency(binary, period, presses, sync):
    owner = wsytest.Cleanups()
    try:
        server = wsytest.start_jack(owner, period=period, synchronous=sync)
        display = wsytest.start_xvfb(owner)
        env = wsytest.base_env(DISPLAY=display, JACK_DEFAULT_SERVER=server, WSY_MEASURE_LATENCY="1")
        w = start_wsy(owner, binary, b"31", env)
        m = wait_for(w, r"(\d+)-frame blocks, output latency ([\d.]+) ms")
        block, reported = int(m.group(1)), float(m.group(2))
        wsytest.focus_window(display)
        rng = random.Random(period)
        for _ in range(presses):
            wsytest.xdotool(display, "keydown", "z")
            time.sleep(rng.uniform(0.05, 0.12))  # off the period's beat
            wsytest.xdotool(display, "keyup", "z")
            time.sleep(rng.uniform(0.05, 0.12))
        time.sleep(0.3)
        wsytest.xdotool(display, "key", "Escape")
        w.wait()
        text = end(w)
    finally:
        owner.doCleanups()
    figures = [float(x) for x in re.findall(r"^wsy: key to sound ([\d.]+) ms", text, re.M)]
    device = [float(x) for x in re.findall(r"^wsy: key to sound .*\(([\d.]+) ms of it", text, re.M)]
    if device:
        log("  from the block's start to the device: %.2f .. %.2f ms" % (min(device), max(device)))
    return block, reported, figures, underflows_said(text)


def steal_ms():
    """CPU time the hypervisor took from this virtual machine so far, all CPUs."""
    with open("/proc/stat") as f:
        fields = f.readline().split()
    return int(fields[8]) * 1000 // wsytest.CLOCK_TICKS if len(fields) > 8 else 0


def xrun_lines(owner):
    return len(re.findall(r"(?i)xrun", wsytest.jackd_log(owner)))


def under_load(binary, period, seconds, busy_loops, with_wsy=True):
    """Underflows wsy counted and jackd's xrun lines over `seconds` of auto-play
    with busy loops running; without wsy, the server's own xruns alone."""
    owner = wsytest.Cleanups()
    under, slowest = None, None
    try:
        server = wsytest.start_jack(owner, period=period)
        for _ in range(busy_loops):
            busy = subprocess.Popen(["sh", "-c", "while :; do :; done"], start_new_session=True)
            owner.addCleanup(wsytest.kill, busy)
        if with_wsy:
            w = start_wsy(owner, binary, b"31", wsytest.base_env(JACK_DEFAULT_SERVER=server, WSY_MEASURE_LATENCY="1"))
            time.sleep(1)
        at_start, steal_at_start = xrun_lines(owner), steal_ms()
        time.sleep(seconds)
        while_playing = xrun_lines(owner) - at_start
        log("  stolen by the hypervisor meanwhile: %d ms of CPU time" % (steal_ms() - steal_at_start))
        if with_wsy:
            said = end(w)
            under = underflows_said(said)
            m = re.search(r"^wsy: the slowest block took (\d+) us to fill; a block lasts (\d+) us", said, re.M)
            slowest = "%s us of %s us" % m.groups() if m else "not said"
    finally:
        owner.doCleanups()
    return under, while_playing, slowest


def cpu(binary, output, seconds, display=False, period=256):
    owner = wsytest.Cleanups()
    try:
        env = wsytest.base_env()
        if output == "jack":
            env["JACK_DEFAULT_SERVER"] = wsytest.start_jack(owner, period=period)
        if display:
            env["DISPLAY"] = wsytest.start_xvfb(owner)
        w = start_wsy(owner, binary, b"31" if output == "jack" else b"41", env)
        time.sleep(2)
        t0, c0 = time.monotonic(), wsytest.cpu_ticks(w.proc.pid)
        time.sleep(seconds)
        t1, c1 = time.monotonic(), wsytest.cpu_ticks(w.proc.pid)
        end(w)
    finally:
        owner.doCleanups()
    return 100.0 * (c1 - c0) / wsytest.CLOCK_TICKS / (t1 - t0)


def reloads(binary, watch, period=256):
    """Underflows wsy counted and jackd's xrun lines while the reload test's
    rewrites run on wsy's patch, with wsy watching it or (--no-watch) not."""
    from test_reload import rewrite_for_ten_seconds  # tests/app
    owner = wsytest.Cleanups()
    work = wsytest.work_dir(owner)  # RODUV_2.WSY, the sine
    patch = os.path.join(work, "RODUV_2.WSY")
    try:
        server = wsytest.start_jack(owner, period=period)
        w = start_wsy(owner, binary, b"31", wsytest.base_env(JACK_DEFAULT_SERVER=server), cwd=work,
                      args=() if watch else ("--no-watch",))
        time.sleep(1)
        at_start = xrun_lines(owner)
        rewrite_for_ten_seconds(patch)
        time.sleep(0.5)
        xruns = xrun_lines(owner) - at_start
        said = end(w)
    finally:
        owner.doCleanups()
    return underflows_said(said) or 0, xruns


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--wsy", default="build/release/wsy")
    ap.add_argument("--presses", type=int, default=40)
    ap.add_argument("--load-seconds", type=int, default=60)
    ap.add_argument("--cpu-seconds", type=int, default=30)
    ap.add_argument("parts", nargs="*", default=["key", "load", "cpu", "reload"])
    args = ap.parse_args()
    binary = os.path.abspath(args.wsy)
    if not os.path.exists("RODUV_2.WSY"):
        raise SystemExit("run from the folder of RODUV_2.WSY (the repository's top folder)")
    for tool in ("jackd", "jack_lsp", "Xvfb", "xdotool"):
        if not shutil.which(tool):
            raise SystemExit("%s is missing (scripts/setup installs it)" % tool)
    if "key" in args.parts:
        print("| JACK mode | period | block | output latency | key to sound: median | p95 | max "
              "| presses | underflows |")
        print("|---|---|---|---|---|---|---|---|---|")
        for sync in (False, True):
            for period in (64, 128, 256):
                mode = "synchronous (-S)" if sync else "asynchronous"
                log("key to sound at %d frames, %s ..." % (period, mode))
                block, reported, f, under = key_latency(binary, period, args.presses, sync)
                if not f:
                    raise SystemExit("no figure at %d frames" % period)
                f.sort()
                p95 = f[min(len(f) - 1, int(round(0.95 * (len(f) - 1))))]
                print("| %s | %d | %d | %.1f ms | %.2f ms | %.2f ms | %.2f ms | %d | %s |"
                      % (mode, period, block, reported, statistics.median(f), p95, f[-1], len(f), under))
    if "load" in args.parts:
        log("%d s of auto-play at 128 frames with a busy loop ..." % args.load_seconds)
        under, xruns, slowest = under_load(binary, 128, args.load_seconds, 1)
        log("%d s of the same server and busy loop without wsy ..." % args.load_seconds)
        _, alone, _ = under_load(binary, 128, args.load_seconds, 1, with_wsy=False)
        print("\nunderflows in %d s at 128 frames, one busy loop on the other core: wsy counted %s, jackd reported "
              "%d xruns meanwhile; wsy's slowest block took %s; the same %d s without wsy: jackd reported %d "
              "xruns" % (args.load_seconds, under, xruns, slowest, args.load_seconds, alone))
    if "cpu" in args.parts:
        print("\n| output | window | CPU of one core, %d s of auto-play |" % args.cpu_seconds)
        print("|---|---|---|")
        for output, display in (("NoSound", False), ("NoSound", True), ("jack", False), ("jack", True)):
            log("CPU with %s%s ..." % (output, " and Xvfb" if display else ""))
            share = cpu(binary, output.lower(), args.cpu_seconds, display)
            print("| %s | %s | %.2f %% |" % ("JACK (256 frames)" if output == "jack" else output,
                                             "Xvfb" if display else "none", share))
    if "reload" in args.parts:
        log("ten seconds of patch rewrites while wsy plays at 256 frames, watching the file ...")
        watched, watched_xruns = reloads(binary, watch=True)
        log("the same rewrites with --no-watch ...")
        unwatched, unwatched_xruns = reloads(binary, watch=False)
        print("\nunderflows in ten seconds of patch rewrites at 256 frames: %d with the reloads (jackd: %d xruns), "
              "%d with --no-watch (jackd: %d xruns)" % (watched, watched_xruns, unwatched, unwatched_xruns))


if __name__ == "__main__":
    main()
