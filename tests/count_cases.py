#!/usr/bin/env python3
"""How much of the Linux suite runs under wine, by suite.

Lists the test cases ctest knows in a Linux build (default: build/default)
and in the Windows build (build/windows, listed under wine, so run it as
`./travik.sh test windows` does, with WINEPREFIX set), and subtracts the
cases the last ctest run of each build skipped (from its LastTest.log).
A case counts for Windows when its name is a Linux case's, or a Windows-only
one (listed apart).

    tests/count_cases.py [LINUX_PRESET]
"""
import os
import re
import subprocess
import sys
from collections import Counter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def listed(preset):
    out = subprocess.run(["ctest", "--preset", preset, "-N"], cwd=ROOT, capture_output=True, text=True,
                         check=True).stdout
    # Parameter descriptions ("  # GetParam() = ...") are not part of the name.
    return {m.group(1).split("  #")[0].strip() for m in re.finditer(r"^\s*Test\s+#\d+: (.*)$", out, re.M)}


def skipped(build):
    """Cases the last run of `build` skipped."""
    path = os.path.join(ROOT, "build", build, "Testing", "Temporary", "LastTest.log")
    if not os.path.exists(path):
        return set()
    names, current = set(), None
    with open(path, errors="replace") as log:
        for line in log:
            m = re.match(r"^\d+/\d+ Test: (.*)$", line)
            if m:
                current = m.group(1).split("  #")[0].strip()
            elif current and line.startswith("Skip regular expression found"):
                names.add(current)
    return names


def suite(name):
    parts = name.split(".")
    return ".".join(parts[:2]) if parts[0] == "reliability" and len(parts) > 2 else parts[0]


def main():
    linux_preset = sys.argv[1] if len(sys.argv) > 1 else "default"
    # Read before listing: `ctest -N` rewrites the log.
    skipped_windows = skipped("windows")
    linux = listed(linux_preset)
    windows = listed("windows")
    runs = windows - skipped_windows
    shared = runs & linux
    by_suite_linux = Counter(suite(n) for n in linux)
    by_suite_windows = Counter(suite(n) for n in shared)
    print(f"{'suite':48} linux  wine")
    for s in sorted(by_suite_linux, key=lambda s: (-by_suite_linux[s], s)):
        print(f"{s:48} {by_suite_linux[s]:5} {by_suite_windows.get(s, 0):5}")
    only = sorted(runs - linux)
    print(f"\nLinux cases: {len(linux)}; run under wine: {len(shared)} ({100.0 * len(shared) / len(linux):.0f} %)")
    print(f"listed under wine but skipped in its last run: {len((windows & linux) - runs)}")
    print(f"Windows-only cases: {len(only)} ({', '.join(only)})")
    missing = sorted(linux - runs)
    print(f"\nLinux cases not run under wine ({len(missing)}):")
    for n in missing:
        print("  " + n)


if __name__ == "__main__":
    main()
