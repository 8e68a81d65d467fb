#!/usr/bin/env python3
"""Two builds of wsy-bench, run in turns on the same machine: the median time
of each benchmark over the rounds, and the ratio new / old.

    bench/compare.py OLD/wsy-bench NEW/wsy-bench [--rounds 7] [--filter REGEX]

Turns, not one after the other: this machine's speed drifts by 20 % over
minutes, and the drift then falls on both builds alike."""
import argparse
import csv
import io
import statistics
import subprocess
import tempfile


def run(binary, pattern):
    with tempfile.NamedTemporaryFile("r", suffix=".csv") as out:
        subprocess.run([binary, "--benchmark_filter=" + pattern, "--benchmark_min_time=0.1",
                        "--benchmark_out=" + out.name, "--benchmark_out_format=csv"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = out.read()
    rows = csv.DictReader(io.StringIO(text[text.index("name,"):]))
    # CPU time: what the engine costs, less what other processes took from it.
    return {row["name"]: float(row["cpu_time"]) for row in rows}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--filter", default="^(evaluate|stream)/")
    args = parser.parse_args()
    times = {"old": {}, "new": {}}
    for _ in range(args.rounds):
        for side in ("old", "new"):
            for name, t in run(getattr(args, side), args.filter).items():
                times[side].setdefault(name, []).append(t)
    print("| benchmark | old ns | new ns | new / old |")
    print("|---|---|---|---|")
    for name in times["old"]:
        old = statistics.median(times["old"][name])
        new = statistics.median(times["new"].get(name, [float("nan")]))
        print("| %s | %.0f | %.0f | %.3f |" % (name, old, new, new / old))


if __name__ == "__main__":
    main()
