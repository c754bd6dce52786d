"""Runs the end-to-end suites of a built Windows tree N times in a row and
prints, per suite, how many repetitions passed and their times.

    python3 scripts/repeat_e2e.py [-n N] [-R REGEX] [--build build/windows]

Run scripts/test.sh (or build the windows preset) first. The exit status is
non-zero when any repetition of any suite failed; the log of each failed
repetition is kept under the build tree's e2e-repeat folder.
"""

import argparse
import re
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

# "2/4 Test #3: host_e2e ..........   Passed   63.45 sec", or ***Failed, ***Timeout
RESULT = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.+\s*\**(\w+).*?([\d.]+) sec\s*$", re.M)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=20, help="repetitions (default 20)")
    parser.add_argument("-R", default="", help="only the suites whose name matches")
    parser.add_argument("--build", default="build/windows", help="the Windows build tree")
    args = parser.parse_args()

    build = Path(args.build).resolve()
    logs = build / "e2e-repeat"
    logs.mkdir(exist_ok=True)
    times = defaultdict(list)
    failures = defaultdict(int)
    started = time.monotonic()
    for repetition in range(1, args.n + 1):
        command = ["ctest", "--test-dir", str(build), "-L", "e2e", "-V"]
        if args.R:
            command += ["-R", args.R]
        run = subprocess.run(command, capture_output=True, text=True, errors="replace")
        found = RESULT.findall(run.stdout)
        if not found:
            failures["(no suite ran)"] += 1
        for name, outcome, seconds in found:
            times[name].append(float(seconds))
            if outcome != "Passed":
                failures[name] += 1
                log = logs / f"{name}-{repetition}.log"
                log.write_text(run.stdout + run.stderr)
                print(f"repetition {repetition}: {name} {outcome.strip()} (log: {log})", flush=True)
        line = ", ".join(f"{name} {float(seconds):.0f} s {outcome}" for name, outcome, seconds in found)
        print(f"repetition {repetition}/{args.n}: {line}", flush=True)

    print(f"\n{args.n} repetitions in {(time.monotonic() - started) / 60:.0f} min")
    print(f"{'suite':<16} {'passed':>8} {'failed':>7} {'min s':>7} {'median s':>9} {'max s':>7}")
    for name in sorted(times):
        t = times[name]
        print(f"{name:<16} {len(t) - failures[name]:>8} {failures[name]:>7} {min(t):>7.1f} "
              f"{statistics.median(t):>9.1f} {max(t):>7.1f}")
    for name in failures:
        if name not in times:
            print(f"{name}: {failures[name]}")
    return 1 if any(failures.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
