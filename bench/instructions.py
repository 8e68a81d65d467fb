#!/usr/bin/env python3
"""Two builds of wsy-bench under callgrind: the instructions one engine call
costs (Patch::evaluate for evaluate/*, stream_callback for stream/*), with and
without those of sin(), and the ratio new / old.

    bench/instructions.py OLD/wsy-bench NEW/wsy-bench [--filter REGEX]

Instruction counts do not drift with the machine's speed as times do, so one
run of each build settles a difference of a few per cent that timing on a
shared machine cannot. They are not times: a cache miss or a mispredicted
branch costs no more here than any other instruction, which is why
bench/compare.py times the same benchmarks too. Needs valgrind.

sin() is counted apart because its price depends on its argument: two builds
that play different notes differ there without the engine doing more work."""
import argparse
import os
import re
import subprocess
import tempfile

TARGETS = {"evaluate": "Patch::evaluate(", "stream": "stream_callback("}
SIN = "__wrap_sin"  # wsy-bench is linked with --wrap=sin: every sin() of the engine passes here


def arcs(path):
    """{called function: [calls, inclusive instructions]} over every call in a callgrind output file."""
    names, totals = {}, {}
    called, pending = None, None
    with open(path) as f:
        for line in f:
            if line.startswith("cfn="):
                m = re.match(r"cfn=\((\d+)\)(?: (.*))?", line.rstrip("\n"))
                if m.group(2):
                    names[m.group(1)] = m.group(2)
                called = names[m.group(1)]
            elif line.startswith("fn="):
                m = re.match(r"fn=\((\d+)\)(?: (.*))?", line.rstrip("\n"))
                if m.group(2):
                    names[m.group(1)] = m.group(2)
            elif line.startswith("calls="):
                pending = int(line.split("=", 1)[1].split()[0])
            elif pending is not None:
                entry = totals.setdefault(called, [0, 0])
                entry[0] += pending
                entry[1] += int(line.split()[-1])
                pending = None
    return totals


def measure(binary, name):
    """(calls, instructions per call, of which in sin()) for the benchmark `name`."""
    target = TARGETS[name.split("/")[0]]
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, os.path.abspath(binary),
                        "--benchmark_filter=^%s$" % re.escape(name), "--benchmark_min_time=0.05"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=work)
        totals = arcs(out)
    calls, inclusive = [sum(v[i] for k, v in totals.items() if k.startswith(target)) for i in (0, 1)]
    sin = totals.get(SIN, [0, 0])[1]
    if not calls:
        raise SystemExit("%s: %s never called %s" % (binary, name, target))
    return calls, inclusive / calls, sin / calls


def names(binary, pattern):
    listed = subprocess.run([binary, "--benchmark_list_tests"], check=True, capture_output=True, text=True).stdout
    return [n for n in listed.split() if re.search(pattern, n)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--filter", default="^(evaluate|stream)/")
    args = parser.parse_args()
    print("| benchmark | old per call | new per call | new / old | old without sin() | new without sin() | new / old |")
    print("|---|---|---|---|---|---|---|")
    for name in names(args.old, args.filter):
        _, old, old_sin = measure(args.old, name)
        _, new, new_sin = measure(args.new, name)
        print("| %s | %.0f | %.0f | %.3f | %.0f | %.0f | %.3f |"
              % (name, old, new, new / old, old - old_sin, new - new_sin, (new - new_sin) / (old - old_sin)))


if __name__ == "__main__":
    main()
