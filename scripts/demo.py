"""The whole life of the Orvanel service on Wine's real SCM, step by step.

Run through scripts/demo.sh, which sets up and builds first. Each step says
in one line what it did and whether it held; the exit status is non-zero if
any step did not hold.
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))

import installation  # noqa: E402
import winenv  # noqa: E402
from winenv import CAPTION, SERVICE  # noqa: E402

ALREADY_INSTALLED = (
    "Orvanel 3.7-b412 service is already installed.\n\n"
    "Please uninstall the existing version before installing new one.\n"
)


class Demo:
    def __init__(self, env, out):
        self.env = env
        self.out = out
        self.failed = []

    def step(self, title, held, details=""):
        print(f"[{'held' if held else 'NOT HELD'}] {title}", flush=True)
        for line in details.rstrip().splitlines():
            print(f"        {line}")
        if not held:
            self.failed.append(title)
        return held

    def server_processes(self):
        return self.env.linux_pids_of("java.exe")


def sc_text(env, *args):
    return env.sc(*args).stdout.decode("utf-8", "replace").replace("\r", "")


def run_demo(env, out, keep):
    demo = Demo(env, out)
    inst = installation.lay_out(env)
    d = inst.win(env)
    listing = "\n".join(
        env.win_path(p) for p in sorted(inst.root.rglob("*")) if p.is_file()
    )
    demo.step(f"1. laid out the installation directory {d} from the package, "
              f"with the stand-in server as ..\\jre64\\bin\\java.exe (port {inst.port})",
              all((inst.directory / p).is_file() for p in installation.PROGRAMS), listing)

    result = env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory)
    query = sc_text(env, "query", SERVICE)
    registry = env.reg_query(f"HKLM\\System\\CurrentControlSet\\Services\\{SERVICE}").replace("\r", "")
    registered = result.code == 0 and "STOPPED" in query and f'"{d}\\orvanel_host.exe"' in registry
    demo.step(f"2. ran orvanel_install.exe from {d}: exit {result.code}; the service is registered "
              "and not started", registered, query + registry)

    mark = env.trace_size()
    env.reboot()
    # The booting SCM tries the service once; Wine's creation of a process
    # now and then fails there, and then it is started by hand.
    failure = env.wait_for_boot_start(SERVICE, mark)
    if failure in winenv.WINE_START_FAILURES:
        print(f"   (Wine failed to create the host at boot, error {failure}: starting it by hand)")
        env.start_service(SERVICE)
    answer = installation.wait_until_serving(env, inst.port)
    running = answer is not None and env.query_state(SERVICE) == "RUNNING"
    demo.step("3. simulated a reboot (every process of the prefix ended, the SCM started again): "
              "the SCM started the service by itself", running, sc_text(env, "query", SERVICE))

    expected = inst.expected_command_line(env)
    answered = (answer is not None and answer.get("command line") == expected
                and answer.get("working directory") == d)
    demo.step(f"4. the server answers on http://127.0.0.1:{inst.port}/ with the exact command line "
              "and working directory", answered,
              (answer or {}).get("text", "no answer") + f"(expected command line: {expected})")

    env.sc("stop", SERVICE)
    stopped = env.wait_for_state(SERVICE, "STOPPED", timeout=30)
    gone = installation.wait_for_answer(inst.port, present=False) is None
    demo.step("5a. sc stop: the service is STOPPED and the server is gone",
              stopped and gone and not demo.server_processes(),
              f"server processes left: {demo.server_processes()}")

    env.start_service(SERVICE)
    answer = installation.wait_until_serving(env, inst.port)
    restarted = answer is not None and env.query_state(SERVICE) == "RUNNING"
    demo.step("5b. sc start: the service runs again and the server answers",
              restarted and answer is not None, (answer or {}).get("text", "no answer"))

    result = env.run([f"{d}\\orvanel_uninstall.exe"], cwd=inst.directory, timeout=90)
    no_service = env.query_state(SERVICE) is None
    gone = installation.wait_for_answer(inst.port, present=False) is None
    demo.step(f"6. ran orvanel_uninstall.exe on the running service: exit {result.code}; "
              "the service and the server are gone",
              result.code == 0 and no_service and gone and not demo.server_processes(),
              sc_text(env, "query", SERVICE) or "sc query: no such service")

    first = env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory)
    second = env.popen([f"{d}\\orvanel_install.exe"], cwd=inst.directory)
    shot = out / "already-installed.png"
    box = read_box(env, shot)
    result = env.finish(second)
    demo.step(f"7. ran orvanel_install.exe twice: the second run shows the already-installed box, "
              f"found by its caption \"{CAPTION}\", and ends with -1 (screenshot {shot})",
              first.code == 0 and box == ALREADY_INSTALLED and result.code == 0xFFFFFFFF,
              f"box text:\n{box}\nexit code of the second run: {result.code:#x}")

    if keep:
        env.start_service(SERVICE)
        env.wait_for_state(SERVICE, "RUNNING", timeout=30)
        print(f"\nThe service is running. Look around with:\n"
              f"  export WINEPREFIX={env.prefix} DISPLAY={env.env.get('DISPLAY', '')}\n"
              f"  wine sc query {SERVICE}; curl http://127.0.0.1:{inst.port}/\n"
              f"End it with:\n"
              f"  WINEPREFIX={env.prefix} wineserver -k; kill {env.xvfb.pid}; rm -rf {env.root}")
    return demo.failed


def read_box(env, screenshot):
    """Waits for the error box, takes a screenshot, and returns its text
    after pressing OK (None if no box appeared)."""
    if not env.box_is_open(CAPTION, wait_ms=20000):
        return None
    env.screenshot(screenshot)
    text = env.read_box(CAPTION)
    return text.decode("utf-8") if text is not None else None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--keep", action="store_true",
                        help="leave the prefix and the running service up at the end")
    parser.add_argument("--out", default="out/demo", help="folder for the screenshot")
    args = parser.parse_args()
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)

    print("Starting a fresh Wine prefix with its own SCM under Xvfb ...", flush=True)
    env = winenv.WineEnv(display=True, trace=True)
    try:
        failed = run_demo(env, out, args.keep)
    finally:
        if not args.keep:
            env.close()
    print()
    if failed:
        print(f"{len(failed)} step(s) did not hold: " + "; ".join(failed))
        return 1
    print("Every step held.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
