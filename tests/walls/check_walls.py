#!/usr/bin/env python3
"""Builds each wall case of tests/walls/CMakeLists.txt: BUILD_DIR TARGET:HEADER:yes|no ...

An allowed case must compile. A forbidden one must fail, and fail because the
compiler cannot find that very header: any other error would prove nothing."""
import subprocess
import sys


def build(build_dir, target):
    return subprocess.run(["cmake", "--build", build_dir, "--target", target],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def main():
    build_dir, cases = sys.argv[1], sys.argv[2:]
    failures = []
    for case in cases:
        target, header, allowed = case.split(":")
        result = build(build_dir, target)
        if allowed == "yes":
            if result.returncode != 0:
                failures.append(f"{target}: including {header} should build:\n{result.stdout[-2000:]}")
        elif result.returncode == 0:
            failures.append(f"{target}: including {header} built, but the room must not see it")
        elif f"{header}: No such file or directory" not in result.stdout:
            failures.append(f"{target}: failed for another reason than the missing {header}:\n{result.stdout[-2000:]}")
    for failure in failures:
        print(failure, file=sys.stderr)
    print(f"{len(cases) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
