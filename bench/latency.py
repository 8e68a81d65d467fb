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

Run from the repository's top folder (wsy reads RODUV_2.WSY there):
    bench/latency.sh [--wsy build/release/wsy] [key] [load] [cpu]
Needs jackd2, Xvfb and xdotool (scripts/setup installs them). Starts and
stops its own servers; prints a markdown table."""

import argparse
import os
import random
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TICK = os.sysconf("SC_CLK_TCK")


def log(*a):
    print(*a, file=sys.stderr, flush=True)


class Servers:
    def __init__(self):
        self.procs = []
        self.name = "wsybench%d" % os.getpid()

    def jack(self, period, sync=False):
        for path in os.listdir("/dev/shm"):
            if path.startswith("jack") and self.name in path:
                p = os.path.join("/dev/shm", path)
                shutil.rmtree(p, True) if os.path.isdir(p) else os.remove(p)
        env = dict(os.environ, JACK_NO_START_SERVER="1", JACK_DEFAULT_SERVER=self.name)
        err = tempfile.TemporaryFile()
        p = subprocess.Popen(["jackd", "-n", self.name] + (["-S"] if sync else []) +
                             ["-d", "dummy", "-r", "44100", "-p", str(period)], env=env,
                             stdout=err, stderr=err, start_new_session=True)
        p.log = err
        self.procs.append(p)
        deadline = time.monotonic() + 20
        while subprocess.run(["jack_lsp"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL).returncode != 0:
            if time.monotonic() > deadline or p.poll() is not None:
                raise SystemExit("jackd did not start")
            time.sleep(0.05)
        return p

    def xvfb(self):
        r, w = os.pipe()
        p = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x900x24", "-nolisten", "tcp",
                              "-noreset"], pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
        os.close(w)
        self.procs.append(p)
        number = b""
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([r], [], [], 20)
            chunk = os.read(r, 16) if ready else b""
            if not chunk:
                raise SystemExit("Xvfb did not start")
            number += chunk
        os.close(r)
        return ":" + number.decode().strip()

    def stop(self, p):
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def stop_all(self):
        for p in reversed(self.procs):
            self.stop(p)
        self.procs = []


def start_wsy(binary, keys, env):
    """wsy with its menus answered by `keys`; standard error into a file."""
    err = tempfile.NamedTemporaryFile(prefix="wsy-bench-", suffix=".err", delete=False)
    p = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=err,
                         start_new_session=True, env=env)
    p.stdin.write(keys)
    p.stdin.flush()
    p.err_path = err.name
    return p


def stderr_of(p):
    with open(p.err_path) as f:
        return f.read()


def wait_for(p, pattern, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        m = re.search(pattern, stderr_of(p), re.M)
        if m:
            return m
        if p.poll() is not None:
            break
        time.sleep(0.05)
    raise SystemExit("wsy never said %r; stderr:\n%s" % (pattern, stderr_of(p)))


def end(p, sig=signal.SIGTERM):
    if p.poll() is None:
        os.killpg(p.pid, sig)
        p.wait(20)
    text = stderr_of(p)
    os.remove(p.err_path)
    return text


def base_env(**extra):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"):
        env.pop(name, None)
    env.update(TERM="dumb", JACK_NO_START_SERVER="1", **extra)
    return env


def underflows_said(text):
    """The count on wsy's underflow line, None if it said none."""
    m = re.search(r"^wsy: (\d+) underflows?", text, re.M)
    return int(m.group(1)) if m else None


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def key_latency(binary, servers, period, presses, sync):
    servers.jack(period, sync)
    display = servers.xvfb()
    env = base_env(DISPLAY=display, JACK_DEFAULT_SERVER=servers.name, WSY_MEASURE_LATENCY="1")
    p = start_wsy(binary, b"31", env)
    m = wait_for(p, r"(\d+)-frame blocks, output latency ([\d.]+) ms")
    block, reported = int(m.group(1)), float(m.group(2))
    xenv = dict(os.environ, DISPLAY=display)
    window = subprocess.run(["xdotool", "search", "--sync", "--name", "^wsy$"], env=xenv, check=True,
                            stdout=subprocess.PIPE, text=True).stdout.split()[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", window], env=xenv, check=True)
    rng = random.Random(period)
    for _ in range(presses):
        subprocess.run(["xdotool", "keydown", "z"], env=xenv, check=True)
        time.sleep(rng.uniform(0.05, 0.12))  # off the period's beat
        subprocess.run(["xdotool", "keyup", "z"], env=xenv, check=True)
        time.sleep(rng.uniform(0.05, 0.12))
    time.sleep(0.3)
    subprocess.run(["xdotool", "key", "Escape"], env=xenv, check=True)
    p.wait(20)
    text = end(p)
    servers.stop_all()
    figures = [float(x) for x in re.findall(r"^wsy: key to sound ([\d.]+) ms", text, re.M)]
    device = [float(x) for x in re.findall(r"^wsy: key to sound .*\(([\d.]+) ms of it", text, re.M)]
    if device:
        log("  from the block's start to the device: %.2f .. %.2f ms" % (min(device), max(device)))
    return block, reported, figures, underflows_said(text)


def steal_ms():
    """CPU time the hypervisor took from this virtual machine so far, all CPUs."""
    with open("/proc/stat") as f:
        fields = f.readline().split()
    return int(fields[8]) * 1000 // TICK if len(fields) > 8 else 0


def xrun_lines(jack):
    jack.log.seek(0)
    return len(re.findall(r"(?i)xrun", jack.log.read().decode(errors="replace")))


def under_load(binary, servers, period, seconds, busy_loops, with_wsy=True):
    """Underflows wsy counted and jackd's xrun lines over `seconds` of auto-play
    with busy loops running; without wsy, the server's own xruns alone."""
    jack = servers.jack(period)
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"], start_new_session=True) for _ in range(busy_loops)]
    under, slowest = None, None
    try:
        if with_wsy:
            env = base_env(JACK_DEFAULT_SERVER=servers.name, WSY_MEASURE_LATENCY="1")
            p = start_wsy(binary, b"31", env)
            wait_for(p, r"frame blocks")
            time.sleep(1)
        at_start, steal_at_start = xrun_lines(jack), steal_ms()
        time.sleep(seconds)
        while_playing = xrun_lines(jack) - at_start
        log("  stolen by the hypervisor meanwhile: %d ms of CPU time" % (steal_ms() - steal_at_start))
        if with_wsy:
            said = end(p)
            under = underflows_said(said)
            m = re.search(r"^wsy: the slowest block took (\d+) us to fill; a block lasts (\d+) us", said, re.M)
            slowest = "%s us of %s us" % m.groups() if m else "not said"
    finally:
        for b in busy:
            os.killpg(b.pid, signal.SIGKILL)
            b.wait()
    servers.stop_all()
    return under, while_playing, slowest


def cpu(binary, servers, output, seconds, display=None, period=256):
    if output == "jack":
        servers.jack(period)
    env = base_env(JACK_DEFAULT_SERVER=servers.name)
    if display:
        env["DISPLAY"] = servers.xvfb()
    p = start_wsy(binary, b"31" if output == "jack" else b"41", env)
    wait_for(p, r"frame blocks")
    time.sleep(2)
    t0, c0 = time.monotonic(), cpu_ticks(p.pid)
    time.sleep(seconds)
    t1, c1 = time.monotonic(), cpu_ticks(p.pid)
    end(p)
    servers.stop_all()
    return 100.0 * (c1 - c0) / TICK / (t1 - t0)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--wsy", default="build/release/wsy")
    ap.add_argument("--presses", type=int, default=40)
    ap.add_argument("--load-seconds", type=int, default=60)
    ap.add_argument("--cpu-seconds", type=int, default=30)
    ap.add_argument("parts", nargs="*", default=["key", "load", "cpu"])
    args = ap.parse_args()
    binary = os.path.abspath(args.wsy)
    if not os.path.exists("RODUV_2.WSY"):
        raise SystemExit("run from the folder of RODUV_2.WSY (the repository's top folder)")
    for tool in ("jackd", "jack_lsp", "Xvfb", "xdotool"):
        if not shutil.which(tool):
            raise SystemExit("%s is missing (scripts/setup installs it)" % tool)
    servers = Servers()
    try:
        if "key" in args.parts:
            print("| JACK mode | period | block | output latency | key to sound: median | p95 | max "
                  "| presses | underflows |")
            print("|---|---|---|---|---|---|---|---|---|")
            for sync in (False, True):
                for period in (64, 128, 256):
                    mode = "synchronous (-S)" if sync else "asynchronous"
                    log("key to sound at %d frames, %s ..." % (period, mode))
                    block, reported, f, under = key_latency(binary, servers, period, args.presses, sync)
                    if not f:
                        raise SystemExit("no figure at %d frames" % period)
                    f.sort()
                    p95 = f[min(len(f) - 1, int(round(0.95 * (len(f) - 1))))]
                    print("| %s | %d | %d | %.1f ms | %.2f ms | %.2f ms | %.2f ms | %d | %s |"
                          % (mode, period, block, reported, statistics.median(f), p95, f[-1], len(f), under))
        if "load" in args.parts:
            log("%d s of auto-play at 128 frames with a busy loop ..." % args.load_seconds)
            under, xruns, slowest = under_load(binary, servers, 128, args.load_seconds, 1)
            log("%d s of the same server and busy loop without wsy ..." % args.load_seconds)
            _, alone, _ = under_load(binary, servers, 128, args.load_seconds, 1, with_wsy=False)
            print("\nunderflows in %d s at 128 frames, one busy loop on the other core: wsy counted %s, jackd reported "
                  "%d xruns meanwhile; wsy's slowest block took %s; the same %d s without wsy: jackd reported %d "
                  "xruns" % (args.load_seconds, under, xruns, slowest, args.load_seconds, alone))
        if "cpu" in args.parts:
            print("\n| output | window | CPU of one core, %d s of auto-play |" % args.cpu_seconds)
            print("|---|---|---|")
            for output, display in (("NoSound", False), ("NoSound", True), ("jack", False), ("jack", True)):
                log("CPU with %s%s ..." % (output, " and Xvfb" if display else ""))
                share = cpu(binary, servers, output.lower(), args.cpu_seconds, display)
                print("| %s | %s | %.2f %% |" % ("JACK (256 frames)" if output == "jack" else output,
                                                 "Xvfb" if display else "none", share))
    finally:
        servers.stop_all()


if __name__ == "__main__":
    main()
