"""Runs of the packaged host under Wine's SCM, with the stand-in server of the
tests as its Java runtime, in the kinds of cycle an administrator's machine
produces, chosen from a seeded random sequence, counting everything that
must never happen:

    stop        start; once the server runs, stop
    storm       start; once the server runs, interrogations, then a stop
    early-stop  start; a stop as soon as the service accepts one
    storm-stop  start; once the server runs, interrogations and a stop at once
    kill        start; the host ended from outside as soon as its server appears
    child       as stop, with a server that has started a child of its own

Wine's SCM ends a service process itself when a control reaches it after a
stop and before its stopped report; a storm-stop cycle where that happened
is counted apart, and still must leave no server behind.

A server left is a java.exe that Windows still lists 5 s after the cycle.
Wine's process creation is no single step: a parent ended inside
CreateProcessW can leave the Unix process of a child that never ran and that
Windows does not list, which Windows' kernel cannot; such leftovers are
counted apart (and ended).

    ORVANEL_BUILD=build/windows python3 scripts/stress.py [--cycles 500] [--seed N] [--storm 25]

Run scripts/test.sh (or build the windows preset) first. Prints the seed, a
table per kind and the counts, and exits non-zero when any count of what
must never happen is above zero.
"""

import argparse
import os
import random
import shutil
import signal
import sys
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

import winenv  # noqa: E402
from installation import PACKAGE  # noqa: E402
from winenv import SERVICE  # noqa: E402

START_PENDING, RUNNING, STOPPED = 2, 4, 1
KINDS = ("stop", "storm", "early-stop", "storm-stop", "kill", "child")
NEVER = ("cycles that failed", "servers left 5 s after the cycle", "host processes left",
         "stopped with exit codes other than 0/0", "runs not start pending, running, (running)*, stopped",
         "killed runs with a stopped report")


def parse(text):
    fields = {}
    for word in text.split():
        key, _, value = word.partition("=")
        fields[key] = int(value) if value.isdigit() else value
    return fields


def well_formed(states, killed):
    """start pending, running, (running)*, then stopped last; a killed host's
    run ends before its stopped report."""
    body = states[1:] if killed else states[1:-1]
    return (len(states) >= 2 and states[0] == START_PENDING and (killed or states[-1] == STOPPED)
            and len(body) >= 1 and all(state == RUNNING for state in body))


class Stress:
    def __init__(self, env, storm):
        self.env = env
        self.storm = storm
        root = env.drive_c / "Orvanel Stress"
        self.install = root / "server"
        self.runtime = root / "jre64" / "bin"
        self.install.mkdir(parents=True)
        self.runtime.mkdir(parents=True)
        with zipfile.ZipFile(winenv.built(PACKAGE + ".zip")) as archive:
            (self.install / "orvanel_host.exe").write_bytes(archive.read(f"{PACKAGE}/orvanel_host.exe"))
        shutil.copy(winenv.built("fixture_java.exe"), self.runtime / "java.exe")
        self.control = winenv.built("fixture_service_control.exe")
        self.create()
        self.counts = dict.fromkeys(NEVER, 0)
        self.kinds = {kind: 0 for kind in KINDS}
        self.wine_ended = 0  # storm-stop cycles whose host Wine's SCM ended
        self.wine_failed = 0  # Wine could not create the host or its server
        self.unfinished = 0  # Unix leftovers of a creation whose parent was ended
        self.interrogations = 0

    def create(self):
        path = self.env.win_path(self.install / "orvanel_host.exe")
        created = self.env.sc("create", SERVICE, "binPath=", f'"{path}"', "start=", "demand")
        if created.code != 0:
            raise RuntimeError(f"sc create: {created.stdout!r}")

    def left(self, image, timeout):
        """Whether processes of the image are still there after timeout
        seconds that Windows lists; all of them are ended then."""
        found = self.env.processes_left(lambda line: image in line.lower(), timeout)
        if not found:
            return False
        listed = self.env.run([self.control, "-", "processes"]).stdout.decode("utf-8", "replace").lower()
        known = image.rsplit("\\", 1)[-1] in listed
        for pid, _ in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if not known:
            self.unfinished += 1
        return known

    def cycle(self, number, kind):
        """One cycle; the name of what must never happen that it broke, or None."""
        mark = self.env.trace_size()
        children = self.runtime / "children.txt"
        if kind == "child":
            children.write_text("child")
        try:
            result = self.env.run([self.control, SERVICE, "cycle", "stop" if kind == "child" else kind,
                                   str(self.storm)], timeout=120)
        finally:
            children.unlink(missing_ok=True)
        out = parse(result.stdout.decode())
        self.interrogations += out.get("answered", 0) if "storm" in kind else 0
        servers = self.left("jre64\\bin\\java.exe", 5)
        hosts = self.left("orvanel_host.exe", 5)
        runs = self.env.service_runs(SERVICE, mark)
        if any(winenv.failed_in_wine(run) for run in runs) or (out.get("start") and out.get("state") == STOPPED):
            self.wine_failed += 1
            return None
        if servers:
            return "servers left 5 s after the cycle"
        if hosts:
            return "host processes left"
        if result.code != 0 or out.get("start") != 0 or out.get("ended") != 1 or len(runs) != 1:
            print(f"cycle {number} ({kind}): {result.stdout!r}, {len(runs)} runs", flush=True)
            return "cycles that failed"
        states = [report.state for report in runs[0]]
        killed = kind == "kill"
        if not killed and STOPPED not in states and kind == "storm-stop" and out["stop"] == 0:
            self.wine_ended += 1
            killed = True
        if killed and STOPPED in states:
            return "killed runs with a stopped report"
        if not well_formed(states, killed):
            print(f"cycle {number} ({kind}): reports {states}", flush=True)
            return "runs not start pending, running, (running)*, stopped"
        if out["state"] == STOPPED and (out["win32"], out["specific"]) != (0, 0):
            return "stopped with exit codes other than 0/0"
        return None

    def run(self, cycles, seed):
        sequence = random.Random(seed)
        began = time.monotonic()
        for number in range(1, cycles + 1):
            kind = sequence.choice(KINDS)
            self.kinds[kind] += 1
            broken = self.cycle(number, kind)
            if broken:
                self.counts[broken] += 1
                print(f"cycle {number} ({kind}): {broken}: {self.env.sc('query', SERVICE).stdout!r}", flush=True)
                self.env.restore([SERVICE])
                self.create()
            if number % 500 == 0:
                print(f"{number} cycles, {time.monotonic() - began:.0f} s", flush=True)
        self.elapsed = time.monotonic() - began


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cycles", type=int, default=500)
    parser.add_argument("--seed", type=int, default=None, help="of the sequence of kinds; random when not given")
    parser.add_argument("--storm", type=int, default=25, help="interrogations in a storm")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    print(f"seed {seed}", flush=True)

    with winenv.WineEnv(display=False, trace=True) as env:
        stress = Stress(env, args.storm)
        stress.run(args.cycles, seed)

    print(f"\n{args.cycles} cycles in {stress.elapsed / 60:.1f} min, seed {seed}: {stress.interrogations} "
          f"interrogations answered; Wine's SCM ended the host after a control that followed the stop in "
          f"{stress.wine_ended} storm-stop cycles; Wine could not create the host or its server in "
          f"{stress.wine_failed}; Wine left the Unix process of a server that never ran, and that Windows does "
          f"not list, after a host ended inside CreateProcessW {stress.unfinished} times (none counted below)")
    print("kind        cycles")
    for kind, count in stress.kinds.items():
        print(f"{kind:<11} {count}")
    width = max(len(name) for name in stress.counts)
    print(f"\n{'what must never happen':<{width}}  count")
    for name, count in stress.counts.items():
        print(f"{name:<{width}}  {count}")
    return 1 if any(stress.counts.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
