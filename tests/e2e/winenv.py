"""A fresh Wine prefix, with its own SCM and optionally its own Xvfb, for one
end-to-end test run.

The prefix lives in a temporary directory and is ended with `wineserver -k`
for that prefix alone; Xvfb is ended by its process id. With trace=True the
SCM (services.exe) and every service it starts log their status reports to
a file, which service_reports() parses.

Every wait here has a bound: a program that outlives its timeout is ended
with all it started, and the case fails with Timeout, saying what it
waited for. Cases derive from Case, which restores a known state around
each case and prints diagnostics the moment one fails.

Tests register with `orvanel_e2e_test(<name> <script.py> <timeout>)` in
tests/CMakeLists.txt; ctest runs them from tests/e2e with ORVANEL_BUILD naming
the Windows build tree, where built() finds the programs and fixtures. Set
ORVANEL_KEEP_E2E=1 to keep the temporary prefix and its trace for a look.
"""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import unittest
from dataclasses import dataclass
from pathlib import Path

# Wine makes a file's DACL from its mode: under a umask of 000, Everyone
# could change every file of a test, and the installer would refuse them.
os.umask(0o022)

# The service's name and the texts of the programs, as they show them.
SERVICE = "orvanel_svc"
CAPTION = "Orvanel 3.7-b412"
NOT_INSTALLED = b"Orvanel 3.7-b412 service is not installed"
# -1, the programs' failure status, as Windows reports it.
FAILED = 0xFFFFFFFF

TRACE_SETTING = "+pid,+timestamp,trace+service"
SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services\\"
# The source of the host's events, below SERVICES_KEY, as service_entry() takes it.
EVENT_SOURCE = "EventLog\\Application\\" + SERVICE
# 0123.456:0124:0134:err:eventlog:ReportEventW L"text", escaped as Wine's
# debug output escapes: \\, \", \n, \r and \XXXX (hex) for the rest.
EVENT_LINE = re.compile(r':err:eventlog:ReportEventW L"((?:[^"\\]|\\.)*)"')
EVENT_ESCAPE = re.compile(r"\\([0-9a-f]{4}|.)")
# What Wine's CreateProcessW now and then gives, mostly under load, when the
# new process dies while it initialises (ERROR_INTERNAL_ERROR); the program
# never ran, so starting it again is safe. Program.never_started() and
# start_service() deal with it for the harness's own programs; a service
# whose launch of its server meets it stops with it as its exit code.
WINE_CREATE_FAILURE = 1359
# What Wine's SCM says when its start of an automatic service at boot failed;
# it does not try again until the next boot.
AUTOSTART_FAILURE = re.compile(r'Auto-start service L"(?P<name>[^"]*)" failed to start: (?P<code>\d+)')
# What the SCM's start gives when Wine's creation of the service's process
# failed, the program never having run: CreateProcessW's failure, or the
# process died while it initialised (ERROR_SERVICE_REQUEST_TIMEOUT).
WINE_START_FAILURES = (WINE_CREATE_FAILURE, 1053)
# Programs of ours, as the command lines of their processes name them.
OWN_IMAGES = ("orvanel_", "fixture_", "java.exe", "demo_server")


def build_dir():
    """The Windows build tree whose programs are under test."""
    path = os.environ.get("ORVANEL_BUILD")
    if not path:
        raise RuntimeError("ORVANEL_BUILD must name the Windows build directory")
    return Path(path)


def built(name):
    """The path of a program of the Windows build, found by file name."""
    root = build_dir()
    for candidate in sorted(root.rglob(name)):
        if "wineprefix" not in candidate.parts:
            return candidate
    raise FileNotFoundError(f"{name} is not in {root}")


@dataclass
class Result:
    code: int  # the full 32-bit exit code, as Windows reports it
    stdout: bytes
    stderr: bytes


@dataclass
class Report:
    """One SetServiceStatus call, as Wine's service trace logs it."""

    pid: int
    ms: int
    handle: int
    type: int
    state: int
    accepted: int
    win32: int
    specific: int
    checkpoint: int
    hint: int

    def fields(self):
        return (self.type, self.state, self.accepted, self.win32, self.specific, self.checkpoint, self.hint)


# 0123.456:0020:0024:trace:service:SetServiceStatus 0x... 0x10 0x2 0 0 0 0x1 0x3e8
REPORT_LINE = re.compile(
    r"^(?P<s>\d+)\.(?P<ms>\d+):(?P<pid>[0-9a-f]+):[0-9a-f]+:trace:service:SetServiceStatus "
    r"(?P<rest>(?:\S+ ){7}\S+)\s*$"
)
# 0123.456:0020:0028:trace:service:RegisterServiceCtrlHandlerExW L"name" ...
REGISTRATION_LINE = re.compile(
    r"^\d+\.\d+:(?P<pid>[0-9a-f]+):[0-9a-f]+:trace:service:RegisterServiceCtrlHandlerExW L\"(?P<name>[^\"]*)\""
)


def failed_in_wine(run):
    """Whether a run of a service (its reports) stopped because Wine failed to
    create its server: WINE_CREATE_FAILURE as the stopped report's code."""
    return bool(run) and run[-1].state == 1 and run[-1].win32 == WINE_CREATE_FAILURE


class Timeout(AssertionError):
    """A bounded wait ran out; the message says what was waited for."""


class Program:
    """A Windows program started through the exit-code fixture, which runs it
    in a job that ends it with the fixture. The fixture is the leader of a
    session of its own, so it and its Linux helpers end together."""

    def __init__(self, env, argv, child_env):
        self.what = subprocess.list2cmdline(argv)
        files = {}
        for kind in ("code", "out", "err"):
            handle = tempfile.NamedTemporaryFile(dir=env.root, prefix=f"{kind}-", delete=False)
            handle.close()
            files[kind] = handle.name
        self.code_file, self.out_file, self.err_file = files["code"], files["out"], files["err"]
        with open(self.out_file, "wb") as out, open(self.err_file, "wb") as err:
            self.proc = subprocess.Popen(
                ["wine", str(built("fixture_exit_code.exe")), env.win_path(self.code_file)],
                env=child_env, stdin=subprocess.DEVNULL, stdout=out, stderr=err, start_new_session=True,
            )

    @property
    def returncode(self):
        return self.proc.returncode

    def wait_bounded(self, timeout):
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.end()
            raise Timeout(f"{self.what} did not end within {timeout} s (ended now)") from None

    def end(self):
        """Ends the fixture's whole session; its job then ends the program."""
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except OSError:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    def code_text(self):
        return Path(self.code_file).read_text().strip()

    def read_output(self):
        return Path(self.out_file).read_bytes(), Path(self.err_file).read_bytes()

    def never_started(self):
        """Whether Wine failed to start the program, or the fixture itself,
        before either ran any code of its own, so that starting it once
        more is safe. Now and then, mostly under load, Wine's process
        creation fails that way: the new process dies while it initialises,
        and the fixture ends with status 1, saying nothing, or its
        CreateProcessW fails with ERROR_INTERNAL_ERROR (1359)."""
        if self.code_text():
            return False
        out, err = self.read_output()
        silent = self.returncode == 1 and not out and not err
        return silent or (self.returncode == 3 and b"CreateProcessW failed with %d" % WINE_CREATE_FAILURE in err)

    def discard(self):
        for name in (self.code_file, self.out_file, self.err_file):
            try:
                os.unlink(name)
            except OSError:
                pass


class WineEnv:
    def __init__(self, display=False, trace=True):
        self.root = Path(tempfile.mkdtemp(prefix="orvanel-e2e-"))
        self.prefix = self.root / "prefix"
        self.trace_path = self.root / "scm-trace.log"
        self.xvfb = None
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=str(self.prefix),
            WINEDEBUG="-all",
            WINEDLLOVERRIDES="mscoree,mshtml=",
            # Wine converts Unix command lines and paths in the locale's
            # encoding: without UTF-8, non-ASCII paths do not survive.
            LC_ALL="C.UTF-8",
        )
        self.env.pop("WINESERVER", None)
        self.trace = trace
        try:
            if display:
                self._start_xvfb()
            else:
                self.env.pop("DISPLAY", None)
            subprocess.run(["wine", "wineboot", "-i"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=180)
            self._stop_server()
            self._start_scm()
        except BaseException:
            self.close()
            raise

    # Life of the prefix.

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        os.close(write_end)
        with os.fdopen(read_end) as f:
            ready, _, _ = select.select([f], [], [], 30)
            number = f.readline().strip() if ready else ""
        if not number:
            raise RuntimeError("Xvfb did not give its display number within 30 s")
        self.env["DISPLAY"] = ":" + number

    def _stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def _start_scm(self):
        """Starts a persistent server, then the prefix's first process, which
        starts services.exe; the SCM inherits the trace setting and the
        trace file, and starts every automatic service."""
        # The server outlives this call: it must not hold the caller's output open.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        first = dict(self.env)
        if self.trace:
            first["WINEDEBUG"] = TRACE_SETTING
        with open(self.trace_path, "ab") as trace:
            subprocess.run(["wine", "cmd", "/c", "exit"], env=first, stdout=subprocess.DEVNULL,
                           stderr=trace, timeout=120)

    def reboot(self):
        """Ends every process of the prefix, as a power cut would, and starts
        the SCM again, which starts the automatic services."""
        self._stop_server()
        self._start_scm()

    def close(self):
        if self.prefix.exists():
            try:
                self._stop_server()
            except (OSError, subprocess.SubprocessError):
                pass
        # A process that was starting while the server went down can outlive
        # it; end what is left of this prefix by process id.
        for pid in self.linux_pids_of():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
            self.xvfb = None
        if os.environ.get("ORVANEL_KEEP_E2E"):
            print(f"kept {self.root}")
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Known state.

    def own_processes(self, grace=2.0):
        """(pid, command line) of the prefix's processes that run a program of
        ours, after giving those that are ending grace seconds to go."""
        return self.processes_left(lambda line: any(image in line.lower() for image in OWN_IMAGES), grace)

    def restore(self, services=()):
        """Back to a known state: none of the services registered and no
        program of ours running (so no box open either). Cheap when all is
        clean; otherwise the prefix is rebooted first, with the services set
        to start on demand so that the reboot does not start them again."""
        states = {name: self.query_state(name) for name in services}
        if self.own_processes() or any(state not in (None, "STOPPED") for state in states.values()):
            for name, state in states.items():
                if state is not None:
                    self.run(["reg", "add", SERVICES_KEY + name, "/v", "Start", "/t", "REG_DWORD",
                              "/d", "3", "/f"])
            self.reboot()
        for name in services:
            if self.query_state(name) is not None:
                self.sc("delete", name)
        left = [name for name in services if self.query_state(name) is not None]
        running = self.own_processes()
        if left or running:
            raise RuntimeError(f"could not restore the prefix: services {left}, processes {running}")

    def diagnostics(self, services=(), trace_from=0):
        """What a person needs to find the cause of a failure: the state of
        the services, the prefix's processes and the service trace since
        trace_from (its last lines)."""
        parts = []
        for name in services:
            try:
                text = self.sc("query", name).stdout.decode("utf-8", "replace").replace("\r", "").strip()
            except (AssertionError, OSError, RuntimeError, subprocess.SubprocessError) as error:
                text = f"(sc query failed: {error})"
            parts.append(f"sc query {name}:\n{text or '(no such service)'}")
        listing = "\n".join(f"  {pid} {line}" for pid, line in self.processes()) or "  (none)"
        parts.append(f"processes of the prefix:\n{listing}")
        lines = [line for line in self.trace_text(trace_from).splitlines()
                 if ":trace:service:" in line or ":fixme:service:" in line or ":err:" in line]
        parts.append(f"service trace since the case began ({len(lines)} lines, the last 60):\n"
                     + "\n".join(lines[-60:]))
        return "\n\n".join(parts)

    # Paths.

    @property
    def drive_c(self):
        return self.prefix / "drive_c"

    def win_path(self, unix_path):
        """C:\\... for a path inside drive_c, else the Z: form."""
        path = Path(unix_path)
        try:
            rel = path.relative_to(self.drive_c)
            return "C:\\" + "\\".join(rel.parts)
        except ValueError:
            return "Z:" + str(path).replace("/", "\\")

    # Programs.

    def run(self, argv, cwd=None, timeout=60, env=None):
        """Runs a Windows program to its end and returns its full exit code and
        output. argv[0] is a Windows path or a program name, or a Linux path
        (converted); cwd is a Linux path inside the prefix, or a Windows path.
        A program still running after timeout seconds is ended, with all it
        started, and the call fails with Timeout.
        """
        for attempt in (1, 2, 3):
            proc = self.popen(argv, cwd=cwd, env=env)
            proc.wait_bounded(timeout)
            if attempt < 3 and proc.never_started():
                proc.discard()
                continue
            return self.finish(proc)

    def popen(self, argv, cwd=None, env=None):
        """Starts a Windows program through the exit-code fixture; finish()
        (or run()) gives its result. Its output goes to files, so no program
        it leaves behind can keep a reader waiting."""
        argv = [str(a) for a in argv]
        if argv[0].startswith("/"):
            argv[0] = self.win_path(argv[0])
        child_env = dict(self.env)
        child_env["FIXTURE_COMMAND_LINE"] = subprocess.list2cmdline(argv)
        if cwd is not None:
            cwd = str(cwd)
            child_env["FIXTURE_CURRENT_DIRECTORY"] = self.win_path(cwd) if cwd.startswith("/") else cwd
        if env:
            child_env.update(env)
        return Program(self, argv, child_env)

    def finish(self, proc, timeout=60):
        proc.wait_bounded(timeout)
        code = proc.code_text()
        out, err = proc.read_output()
        proc.discard()
        if not code:
            raise RuntimeError(f"no exit code recorded for {proc.what} (fixture exit {proc.returncode}): {err!r}")
        return Result(int(code), out, err)

    def sc(self, *args):
        return self.run(["sc", *args])

    def start_service(self, name):
        """sc start; once more when it failed and the service is still
        stopped: the SCM's creation of the service process can fail for the
        reason that Program.never_started() describes (sc says only 1)."""
        result = self.sc("start", name)
        if result.code != 0 and self.query_state(name) == "STOPPED":
            result = self.sc("start", name)
        return result

    def wait_restarting(self, ready, timeout, name=SERVICE):
        """Polls ready() until it gives something other than None, and returns
        that; None after timeout seconds. A run of the service that stopped
        because Wine failed to create its server (failed_in_wine) is started
        again, twice at most, each start with a timeout of its own."""
        for restarts in range(3):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                value = ready()
                if value is not None:
                    return value
                if restarts < 2 and self.launch_failed_in_wine(name):
                    break
                time.sleep(0.2)
            else:
                return None
            print(f"Wine failed to create the server of {name}; starting it again", file=sys.stderr)
            self.wait_for_state(name, "STOPPED")
            self.start_service(name)
        return None

    def wait_for_boot_start(self, name, start, timeout=90):
        """Waits until the booting SCM has tried the service (the trace from
        byte start on): None when its process registered the handler, else
        the error of the SCM's failed start. The SCM starts its automatic
        services one at a time, each within its own timeouts (10 s to
        connect, 10 s to report, 30 s for a driver's host)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.trace_text(start).splitlines():
                match = REGISTRATION_LINE.match(line) or AUTOSTART_FAILURE.search(line)
                if match and match.group("name").lower() == name.lower():
                    return int(match.group("code")) if "code" in match.groupdict() else None
            time.sleep(0.2)
        raise Timeout(f"the SCM did not try {name} within {timeout} s of the boot:\n{self.boot_starts(start)}")

    def boot_starts(self, start=0):
        """The SCM's starts of services in the trace from byte start on."""
        return "\n".join(line for line in self.trace_text(start).splitlines()
                         if re.search(r"process_send_start_message|service_start returning|Auto-start", line))

    def query_state(self, name):
        """The STATE word of `sc query` ("RUNNING", "STOPPED", ...), or None
        when the service does not exist."""
        result = self.sc("query", name)
        match = re.search(rb"STATE\s*:\s*\d+\s+(\w+)", result.stdout)
        return match.group(1).decode() if match else None

    def query_exit_codes(self, name):
        """(WIN32_EXIT_CODE, SERVICE_EXIT_CODE) as `sc query` shows them."""
        text = self.sc("query", name).stdout
        codes = [re.search(rb"%s\s*:\s*(\d+)" % key, text) for key in (b"WIN32_EXIT_CODE", b"SERVICE_EXIT_CODE")]
        return tuple(int(code.group(1)) if code else None for code in codes)

    def wait_for_state(self, name, state, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            current = self.query_state(name)
            if current == state:
                return True
            time.sleep(0.2)
        return False

    def reg_query(self, key):
        """`reg query` output for a key, decoded."""
        return self.run(["reg", "query", key]).stdout.decode("utf-8", "replace")

    def read_box(self, caption, wait_ms=20000):
        """The text of the message box with this caption, as UTF-8 bytes,
        after pressing its OK; None when none appears within wait_ms."""
        reader = str(built("fixture_box_reader.exe"))
        result = self.run([reader, caption, "--wait", str(wait_ms)], timeout=wait_ms / 1000 + 60)
        return result.stdout if result.code == 0 else None

    def box_is_open(self, caption, wait_ms=0):
        """Whether a message box with this caption is up (it stays open)."""
        reader = str(built("fixture_box_reader.exe"))
        return self.run([reader, caption, "--peek", "--wait", str(wait_ms)],
                        timeout=wait_ms / 1000 + 60).code == 0

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", str(path)], env=self.env, check=True, timeout=60)

    # The SCM's trace.

    def trace_size(self):
        return self.trace_path.stat().st_size if self.trace_path.exists() else 0

    def trace_text(self, start=0):
        if not self.trace_path.exists():
            return ""
        with open(self.trace_path, "rb") as trace:
            trace.seek(start)
            return trace.read().decode("utf-8", "replace")

    def service_reports(self, name=None):
        """Every status report in the trace, or with a name only those of
        that service's runs, in order."""
        if name is not None:
            return [report for run in self.service_runs(name) for report in run]
        return [report for report, _ in self._trace_events() if report]

    def events(self, start=0):
        """The texts of the error events in the trace from byte start on; not Wine's failed creations."""
        unescape = lambda m: chr(int(m[1], 16)) if len(m[1]) == 4 else {"n": "\n", "r": "\r"}.get(m[1], m[1])
        texts = [EVENT_ESCAPE.sub(unescape, text) for text in EVENT_LINE.findall(self.trace_text(start))]
        return [text for text in texts if not text.endswith(f"(code {WINE_CREATE_FAILURE})")]

    def launch_failed_in_wine(self, name):
        """Whether the service's last run failed_in_wine()."""
        runs = self.service_runs(name)
        return bool(runs) and failed_in_wine(runs[-1])

    def runs_but_wine_failures(self, name):
        """service_runs(name) without the runs that failed_in_wine()."""
        return [run for run in self.service_runs(name) if not failed_in_wine(run)]

    def service_runs(self, name, start=0):
        """The reports of each run of the named service, in the trace from
        byte start on: a run starts where its process registers the control
        handler (Wine reuses process ids, so the registration, not the id,
        marks a new run)."""
        runs, open_run = [], {}
        for report, registration in self._trace_events(start):
            if registration:
                pid, registered = registration
                if registered.lower() == name.lower():
                    open_run[pid] = []
                    runs.append(open_run[pid])
                else:
                    open_run.pop(pid, None)
            elif report.pid in open_run:
                open_run[report.pid].append(report)
        return runs

    def _trace_events(self, start=0):
        for line in self.trace_text(start).splitlines():
            match = REPORT_LINE.match(line)
            if match:
                values = [int(v, 16) for v in match.group("rest").split()]
                ms = int(match.group("s")) * 1000 + int(match.group("ms"))
                yield Report(int(match.group("pid"), 16), ms, *values), None
                continue
            match = REGISTRATION_LINE.match(line)
            if match:
                yield None, (int(match.group("pid"), 16), match.group("name"))

    def processes(self):
        """(Linux pid, command line) of every process of this prefix (whose
        environment names the prefix); Wine shows the Windows path of the
        program in the command line."""
        marker = f"\0WINEPREFIX={self.prefix}\0".encode()
        found = []
        for proc_dir in Path("/proc").iterdir():
            if not proc_dir.name.isdigit() or int(proc_dir.name) == os.getpid():
                continue
            try:
                environ = b"\0" + (proc_dir / "environ").read_bytes()
                cmdline = (proc_dir / "cmdline").read_bytes()
            except OSError:
                continue
            if marker in environ and cmdline:
                found.append((int(proc_dir.name), cmdline.replace(b"\0", b" ").decode("utf-8", "replace").strip()))
        return found

    def processes_left(self, matches, timeout):
        """(pid, command line) of the prefix's processes whose command line
        matches, once none is left or when timeout seconds have passed."""
        deadline = time.monotonic() + timeout
        while True:
            found = [(pid, line) for pid, line in self.processes() if matches(line)]
            if not found or time.monotonic() > deadline:
                return found
            time.sleep(0.1)

    def linux_pids_of(self, image_name=""):
        """Linux process ids of this prefix's processes, or of those whose
        command line names image_name."""
        return [pid for pid, line in self.processes() if image_name.lower() in line.lower()]


def run_with_box(env, argv, cwd=None, env_vars=None, wait_ms=20000):
    """Runs a program that is to show a box: returns its result and the
    box's text (None if no box appeared)."""
    for attempt in range(3):
        proc = env.popen(argv, cwd=cwd, env=env_vars)
        box = env.read_box(CAPTION, wait_ms)
        proc.wait_bounded(60)
        # Wine's process creation now and then fails before the program runs.
        if box is not None or attempt == 2 or not proc.never_started():
            return env.finish(proc, timeout=60), box
        proc.discard()


def service_entry(env, name=SERVICE):
    """The service's registry values as a dict of text, or None without a key."""
    result = env.run([str(built("fixture_svc_config.exe")), name])
    if result.code != 0:
        return None
    lines = result.stdout.decode("utf-8").splitlines()
    return dict(line.split("=", 1) for line in lines)


class Case(unittest.TestCase):
    """An end-to-end case on a prefix (self.env): it starts from a known
    state, has its clean-up registered before it asserts anything, and when
    it fails it prints at once its traceback and the prefix's diagnostics,
    before the clean-up changes what is to be seen."""

    env = None
    # Services that a case may leave registered; removed after each case.
    services = ()

    def setUp(self):
        self.trace_mark = self.env.trace_size()
        self.env.restore(self.services)
        self.addCleanup(self.env.restore, self.services)

    def _callTestMethod(self, method):
        try:
            method()
        except unittest.SkipTest:
            raise
        except BaseException:
            self.report_failure()
            raise

    def report_failure(self):
        text = [f"\n==== {self.id()} failed ====", traceback.format_exc().rstrip()]
        if self.env is not None:
            try:
                text.append(self.env.diagnostics(self.services, getattr(self, "trace_mark", 0)))
            except Exception as error:  # the report must not hide the failure
                text.append(f"(diagnostics failed: {error!r})")
        print("\n\n".join(text) + "\n==== end of report ====", file=sys.stderr, flush=True)
