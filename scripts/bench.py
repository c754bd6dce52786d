"""Measures the packaged programs on Wine's SCM: their sizes, how long the
service takes from a start request to its running report and from a stop
request to its stopped report (read from the SCM's trace, in Wine's own
milliseconds), how long the uninstaller takes on a running service, and how
long the installer takes with 0, 1,000 and 10,000 files below the
installation directory, all of which it reads, and how long the host takes
from a start request to the creation of the runtime's process with 0, 1,000
and 10,000 files in the trees that it judges first (half below the
installation directory, half in jre64). With --compare-host, another build's
host (its package or its orvanel_host.exe; one without the check at its
start, say) is timed the same way, turn about with this build's, in the same
installation.

    ORVANEL_BUILD=build/windows python3 scripts/bench.py [--cycles N]
        [--compare-host OTHER/orvanel-<version>.zip] [--launch-runs N]
"""

import argparse
import os
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

START_PENDING, RUNNING, STOPPED = 2, 4, 1
REQUEST = re.compile(r"^(\d+)\.(\d+):[0-9a-f]+:[0-9a-f]+:trace:service:svcctl_(StartServiceW|ControlService) ")
# With trace+process, the creating process logs each creation once the new
# process exists (Wine's server has made it and given it an id):
# 0123.456:013c:014c:trace:process:NtCreateUserProcess L"\\??\\C:\\...\\java.exe" pid 0150 tid 0154 ...
CREATION = re.compile(r'^(\d+)\.(\d+):([0-9a-f]+):[0-9a-f]+:trace:process:NtCreateUserProcess L"[^"]*java\.exe" pid ')


def requests(trace):
    """(ms, kind) of every start and control request the SCM received."""
    found = []
    for line in trace.splitlines():
        match = REQUEST.match(line)
        if match:
            found.append((int(match.group(1)) * 1000 + int(match.group(2)), match.group(3)))
    return found


def creations(trace):
    """(ms, pid of the creator) of every creation of a java.exe."""
    found = []
    for line in trace.splitlines():
        match = CREATION.match(line)
        if match:
            found.append((int(match.group(1)) * 1000 + int(match.group(2)), int(match.group(3), 16)))
    return found


def add_files(root, first, last):
    """Files first..last-1 below root, in folders of 100, as a runtime's tree is."""
    for i in range(first, last):
        folder = root / "bench" / f"{i // 100:03}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"{i % 100:02}.jar").write_bytes(b"")


def host_of(path):
    """The bytes of orvanel_host.exe, given itself or a package that holds it."""
    path = Path(path)
    if path.suffix.lower() != ".zip":
        return path.read_bytes()
    with zipfile.ZipFile(path) as archive:
        return next(archive.read(name) for name in archive.namelist() if name.endswith("/orvanel_host.exe"))


def time_launches(hosts, runs):
    """For each host (name: bytes) and 0, 1,000 and 10,000 files in the trees,
    the ms from the start request to the start pending report, the running
    report and the runtime's process creation, one triple per run. The hosts
    take turns in one installation, so that a load that comes and goes falls
    on both."""
    times = {}
    if "trace+process" not in winenv.TRACE_SETTING:
        winenv.TRACE_SETTING += ",trace+process"
    with winenv.WineEnv(display=False, trace=True) as env:
        inst = installation.lay_out(env, "Orvanel Bench")
        d = inst.win(env)
        installed = env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory).code
        if installed != 0:
            raise RuntimeError(f"the installer failed with {installed}")
        host = inst.directory / "orvanel_host.exe"
        done = 0
        for files in (0, 1000, 10000):
            add_files(inst.directory, done // 2, files // 2)
            add_files(inst.root / "jre64", done // 2, files // 2)
            done = files
            for turn in range(runs):
                # Each goes first in every other turn: the one that follows
                # another's stop would otherwise always meet what that stop leaves.
                order = list(hosts.items())
                for name, image in order[::-1] if turn % 2 else order:
                    host.write_bytes(image)
                    begin = env.trace_size()
                    env.start_service(SERVICE)
                    if installation.wait_until_serving(env, inst.port, timeout=120) is None:
                        raise RuntimeError(f"{name} with {files} files: the server never answered")
                    env.sc("stop", SERVICE)
                    env.wait_for_state(SERVICE, "STOPPED", timeout=120)
                    trace = env.trace_text(begin)
                    # A run whose server Wine failed to create was started again: the last run served.
                    run = env.runs_but_wine_failures(SERVICE)[-1]
                    pending = next(r.ms for r in run if r.state == START_PENDING)
                    running = next(r.ms for r in run if r.state == RUNNING)
                    request = max(ms for ms, kind in requests(trace) if kind == "StartServiceW" and ms <= pending)
                    created = min(ms for ms, pid in creations(trace) if pid == run[0].pid and ms >= running)
                    times.setdefault((files, name), []).append(
                        (pending - request, running - request, created - request))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cycles", type=int, default=20)
    parser.add_argument("--compare-host", help="another build's package or orvanel_host.exe, timed beside this one")
    parser.add_argument("--launch-runs", type=int, default=5, help="starts per host and number of files")
    args = parser.parse_args()
    print("load average at the start: %.2f %.2f %.2f" % os.getloadavg())

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

    # In a prefix of its own: trace+process would weigh on the figures above.
    hosts = {"this host": host_of(winenv.built(installation.PACKAGE + ".zip"))}
    if args.compare_host:
        hosts["compared host"] = host_of(args.compare_host)
    launches = time_launches(hosts, args.launch_runs)
    print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())

    print(f"start request to running report: median {statistics.median(starts):.0f} ms, "
          f"max {max(starts)} ms over {len(starts)} starts")
    print(f"stop request to stopped report: median {statistics.median(stops):.0f} ms, "
          f"max {max(stops)} ms over {len(stops)} stops")
    print(f"uninstall of a running service (whole run, Wine process start included): "
          f"{uninstall_ms:.0f} ms, exit code {code}")
    for files, (ms, installed) in install_ms.items():
        print(f"install with {files} files below the installation directory (whole run): "
              f"median {ms:.0f} ms of 3, exit code {installed}")
    for (files, name), runs in launches.items():
        for i, what in enumerate(("start pending report", "running report", "runtime's process created")):
            values = [run[i] for run in runs]
            print(f"{name}, {files} files in the trees, start request to {what}: "
                  f"median {statistics.median(values):.0f} ms, max {max(values)} ms, runs {values}")


if __name__ == "__main__":
    main()
