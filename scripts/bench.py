"""Measures the packaged programs on Wine's SCM: their sizes, how long the
service takes from a start request to its running report and from a stop
request to its stopped report (read from the SCM's trace, in Wine's own
milliseconds), how long the uninstaller takes on a running service, and how
long the installer takes with 0, 1,000 and 10,000 files below the
installation directory, all of which it reads.

    ORVANEL_BUILD=build/windows python3 scripts/bench.py [--cycles N]
"""

import argparse
import re
import statistics
import sys
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

import installation  # noqa: E402
import winenv  # noqa: E402
from winenv import SERVICE  # noqa: E402

RUNNING, STOPPED = 4, 1
REQUEST = re.compile(r"^(\d+)\.(\d+):[0-9a-f]+:[0-9a-f]+:trace:service:svcctl_(StartServiceW|ControlService) ")


def requests(trace):
    """(ms, kind) of every start and control request the SCM received."""
    found = []
    for line in trace.splitlines():
        match = REQUEST.match(line)
        if match:
            found.append((int(match.group(1)) * 1000 + int(match.group(2)), match.group(3)))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cycles", type=int, default=20)
    args = parser.parse_args()

    with zipfile.ZipFile(winenv.built(installation.PACKAGE + ".zip")) as archive:
        for program in installation.PROGRAMS:
            size = archive.getinfo(f"{installation.PACKAGE}/{program}").file_size
            print(f"size of {program}: {size} bytes")

    with winenv.WineEnv(display=False, trace=True) as env:
        inst = installation.lay_out(env, "Orvanel Bench")
        d = inst.win(env)
        env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory)
        for _ in range(args.cycles):
            env.start_service(SERVICE)
            installation.wait_until_serving(env, inst.port)
            env.sc("stop", SERVICE)
            env.wait_for_state(SERVICE, "STOPPED")

        starts, stops = [], []
        reqs = requests(env.trace_text())
        for run in env.runs_but_wine_failures(SERVICE):
            running = next(r.ms for r in run if r.state == RUNNING)
            stopped = next(r.ms for r in run if r.state == STOPPED)
            start_req = max(ms for ms, kind in reqs if kind == "StartServiceW" and ms <= running)
            stop_req = max(ms for ms, kind in reqs if kind == "ControlService" and ms <= stopped)
            starts.append(running - start_req)
            stops.append(stopped - stop_req)

        env.start_service(SERVICE)
        installation.wait_until_serving(env, inst.port)
        began = time.monotonic()
        code = env.run([f"{d}\\orvanel_uninstall.exe"], cwd=inst.directory).code
        uninstall_ms = (time.monotonic() - began) * 1000

        # The installer's walk, in folders of 100 files: the median of three runs each.
        install_ms = {}
        for files in (0, 1000, 10000):
            for i in range(files):
                folder = inst.directory / "bench" / f"{i // 100:03}"
                folder.mkdir(parents=True, exist_ok=True)
                (folder / f"{i % 100:02}.jar").write_bytes(b"")
            runs = []
            for _ in range(3):
                began = time.monotonic()
                installed = env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory, timeout=300).code
                runs.append((time.monotonic() - began) * 1000)
                env.sc("delete", SERVICE)
            install_ms[files] = (statistics.median(runs), installed)

    print(f"start request to running report: median {statistics.median(starts):.0f} ms, "
          f"max {max(starts)} ms over {len(starts)} starts")
    print(f"stop request to stopped report: median {statistics.median(stops):.0f} ms, "
          f"max {max(stops)} ms over {len(stops)} stops")
    print(f"uninstall of a running service (whole run, Wine process start included): "
          f"{uninstall_ms:.0f} ms, exit code {code}")
    for files, (ms, installed) in install_ms.items():
        print(f"install with {files} files below the installation directory (whole run): "
              f"median {ms:.0f} ms of 3, exit code {installed}")


if __name__ == "__main__":
    main()
