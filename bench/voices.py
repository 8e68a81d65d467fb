#!/usr/bin/env python3
"""What several voices cost, in instructions per frame under callgrind: the
wsy-bench cases stream/voices/* (the bundled patch, N voices each holding the
same note, blocks of 256 frames; 8_with_7_free: one note on an engine of 8
voices) against stream/voices/1, the engine of one voice playing that note.

    bench/voices.py build/release/wsy-bench

For each case: instructions per frame, the same without those of sin(), the
ratio to one voice, and that ratio over the voices sounding (1.000: each
voice costs exactly what one voice costs). Instruction counts do not drift
with the machine's speed as times do. Needs valgrind."""
import argparse
import re

from instructions import measure, names

FRAMES = 256  # frames per stream_callback call in every stream/voices/* case


def sounding(name):
    """Voices sounding in a case: stream/voices/N, or one in N_with_M_free."""
    m = re.match(r"stream/voices/(\d+)(?:_with_(\d+)_free)?$", name)
    return int(m.group(1)) - int(m.group(2) or 0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    args = parser.parse_args()
    cases = names(args.binary, r"^stream/voices/")
    figures = {}
    for name in cases:
        _, per_call, sin_per_call = measure(args.binary, name)
        figures[name] = (per_call / FRAMES, (per_call - sin_per_call) / FRAMES)
    one, one_without_sin = figures["stream/voices/1"]
    print("| case | voices sounding | instructions a frame | without sin() | / one voice | / one voice / sounding "
          "| without sin(): / one voice / sounding |")
    print("|---|---|---|---|---|---|---|")
    for name in cases:
        total, without_sin = figures[name]
        n = sounding(name)
        print("| %s | %d | %.0f | %.0f | %.3f | %.4f | %.4f |"
              % (name, n, total, without_sin, total / one, total / one / n, without_sin / one_without_sin / n))


if __name__ == "__main__":
    main()
