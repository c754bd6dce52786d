"""Start/stop cycles of the packaged host under Wine's SCM, with the stand-in
server of the tests as its Java runtime, counting everything that must never
happen. Every third cycle sends a storm of interrogations before its stop;
nothing is sent after a stop (Wine's SCM ends a service process that gets a
control while it stops).

    ORVANEL_BUILD=build/windows python3 scripts/stress.py [--cycles 500] [--storm 25]

Run scripts/test.sh (or build the windows preset) first. Prints a table and
exits non-zero when any count is above zero.
"""

import argparse
import shutil
import sys
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

import winenv  # noqa: E402

SERVICE = "orvanel_svc"
PACKAGE = "orvanel-3.7-b412"
START_PENDING, STOP_PENDING, RUNNING, STOPPED = 2, 3, 4, 1
INTERROGATE = 4
STOP = 1


def well_formed(states):
    """start pending, running, (running)*, stopped"""
    return (len(states) >= 3 and states[0] == START_PENDING and states[-1] == STOPPED
            and all(state == RUNNING for state in states[1:-1]))


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Stress:
    def __init__(self, env):
        self.env = env
        root = env.drive_c / "Orvanel Stress"
        self.install = root / "server"
        self.runtime = root / "jre64" / "bin"
        self.install.mkdir(parents=True)
        self.runtime.mkdir(parents=True)
        with zipfile.ZipFile(winenv.built(PACKAGE + ".zip")) as archive:
            (self.install / "orvanel_host.exe").write_bytes(archive.read(f"{PACKAGE}/orvanel_host.exe"))
        shutil.copy(winenv.built("fixture_java.exe"), self.runtime / "java.exe")
        self.record = self.runtime / "record.txt"
        self.control = winenv.built("fixture_service_control.exe")
        path = env.win_path(self.install / "orvanel_host.exe")
        created = env.sc("create", SERVICE, "binPath=", f'"{path}"', "start=", "demand")
        if created.code != 0:
            raise RuntimeError(f"sc create: {created.stdout!r}")
        self.counts = dict.fromkeys(("cycles that failed", "servers left after stopped", "host processes left"), 0)
        self.relaunched = 0
        self.interrogations = 0

    def servers(self):
        return self.env.linux_pids_of("jre64\\bin\\java.exe")

    def hosts(self):
        return self.env.linux_pids_of("orvanel_host.exe")

    def start(self):
        """Starts the service until its server runs; False when it never did."""
        for _ in range(3):
            self.record.unlink(missing_ok=True)
            self.env.start_service(SERVICE)
            if wait_until(lambda: self.record.exists() or self.env.launch_failed_in_wine(SERVICE), 30):
                if self.record.exists():
                    return True
                # Wine could not create the server: no fault of the host.
                self.relaunched += 1
                self.env.wait_for_state(SERVICE, "STOPPED", timeout=10)
        return False

    def cycle(self, number, storm):
        if not self.start():
            return False
        if number % 3 == 0:
            result = self.env.run([self.control, SERVICE, "storm", str(storm)], timeout=120)
            self.interrogations += storm
            if result.code != 0 or f"answered={storm}".encode() not in result.stdout:
                print(f"cycle {number}: the storm was not answered: {result.stdout!r}", flush=True)
                return False
        stopped = self.env.run([self.control, SERVICE, str(STOP)], timeout=120)
        if stopped.code != 0 or not self.env.wait_for_state(SERVICE, "STOPPED", timeout=30):
            return False
        # The host exits right after its stopped report; its server is gone before it.
        if self.servers():
            self.counts["servers left after stopped"] += 1
        if not wait_until(lambda: not self.hosts(), 5):
            self.counts["host processes left"] += 1
        return True

    def run(self, cycles, storm):
        began = time.monotonic()
        for number in range(1, cycles + 1):
            if not self.cycle(number, storm):
                self.counts["cycles that failed"] += 1
                print(f"cycle {number} failed: {self.env.sc('query', SERVICE).stdout!r}", flush=True)
                self.env.restore([])
            if number % 50 == 0:
                print(f"{number} cycles, {time.monotonic() - began:.0f} s", flush=True)
        self.elapsed = time.monotonic() - began
        runs = self.env.runs_but_wine_failures(SERVICE)
        after, malformed = 0, 0
        for run in runs:
            states = [report.state for report in run]
            if STOPPED in states:
                after += len(states) - states.index(STOPPED) - 1
            if not well_formed(states):
                malformed += 1
        self.counts["reports after stopped"] = after
        self.counts["runs not start pending, running, (running)*, stopped"] = malformed
        self.runs = len(runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cycles", type=int, default=500)
    parser.add_argument("--storm", type=int, default=25, help="interrogations in every third cycle")
    args = parser.parse_args()

    with winenv.WineEnv(display=False, trace=True) as env:
        stress = Stress(env)
        stress.run(args.cycles, args.storm)

    print(f"\n{args.cycles} cycles in {stress.elapsed / 60:.1f} min: {stress.runs} runs of the service, "
          f"{stress.interrogations} interrogations; Wine failed to create the server {stress.relaunched} "
          f"times (started again, not counted)")
    width = max(len(name) for name in stress.counts)
    print(f"{'what must never happen':<{width}}  count")
    for name, count in stress.counts.items():
        print(f"{name:<{width}}  {count}")
    return 1 if any(stress.counts.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
