"""A fresh Wine prefix, with its own SCM and optionally its own Xvfb, for one
end-to-end test run.

The prefix lives in a temporary directory and is ended with `wineserver -k`
for that prefix alone; Xvfb is ended by its process id. With trace=True the
SCM (services.exe) and every service it starts log their status reports to
a file, which service_reports() parses.

Tests register with `orvanel_e2e_test(<name> <script.py>)` in a tests/*.cmake
file; ctest runs them from tests/e2e with ORVANEL_BUILD naming the Windows
build tree, where built() finds the programs and fixtures. Set
ORVANEL_KEEP_E2E=1 to keep the temporary prefix and its trace for a look.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

TRACE_SETTING = "+pid,+timestamp,trace+service"


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
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
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
        """
        for attempt in (1, 2):
            proc = self.popen(argv, cwd=cwd, env=env)
            try:
                out, err = proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
                raise
            # Now and then Wine fails to start the exit-code fixture itself
            # (status 1, nothing said, no code recorded): the program under
            # test never ran, so it is safe to start it once more.
            if attempt == 1 and proc.returncode == 1 and not out and not err and self._no_code(proc):
                os.unlink(proc.code_file)
                continue
            return self.finish(proc, out, err)

    @staticmethod
    def _no_code(proc):
        return not Path(proc.code_file).read_text().strip()

    def popen(self, argv, cwd=None, env=None, stdin=subprocess.DEVNULL):
        """Starts a Windows program through the exit-code fixture; finish()
        (or run()) gives its result."""
        argv = [str(a) for a in argv]
        first = argv[0]
        if first.startswith("/"):
            argv[0] = self.win_path(first)
        code_file = tempfile.NamedTemporaryFile(dir=self.root, prefix="code-", delete=False)
        code_file.close()
        child_env = dict(self.env)
        child_env["FIXTURE_COMMAND_LINE"] = subprocess.list2cmdline(argv)
        if cwd is not None:
            cwd = str(cwd)
            child_env["FIXTURE_CURRENT_DIRECTORY"] = self.win_path(cwd) if cwd.startswith("/") else cwd
        if env:
            child_env.update(env)
        proc = subprocess.Popen(
            ["wine", str(built("fixture_exit_code.exe")), self.win_path(code_file.name)],
            env=child_env, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
        proc.code_file = code_file.name
        return proc

    def finish(self, proc, out=None, err=None, timeout=60):
        if out is None:
            out, err = proc.communicate(timeout=timeout)
        text = Path(proc.code_file).read_text().strip()
        os.unlink(proc.code_file)
        if not text:
            raise RuntimeError(f"no exit code recorded (fixture exit {proc.returncode}): {err!r}")
        return Result(int(text), out, err)

    def sc(self, *args):
        return self.run(["sc", *args])

    def query_state(self, name):
        """The STATE word of `sc query` ("RUNNING", "STOPPED", ...), or None
        when the service does not exist."""
        result = self.sc("query", name)
        match = re.search(rb"STATE\s*:\s*\d+\s+(\w+)", result.stdout)
        return match.group(1).decode() if match else None

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

    def trace_text(self):
        return self.trace_path.read_text(errors="replace") if self.trace_path.exists() else ""

    def service_reports(self, name=None):
        """Every status report in the trace, or with a name only those of
        that service's runs, in order."""
        if name is not None:
            return [report for run in self.service_runs(name) for report in run]
        return [report for report, _ in self._trace_events() if report]

    def service_runs(self, name):
        """The reports of each run of the named service: a run starts where
        its process registers the control handler (Wine reuses process ids,
        so the registration, not the id, marks a new run)."""
        runs, open_run = [], {}
        for report, registration in self._trace_events():
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

    def _trace_events(self):
        for line in self.trace_text().splitlines():
            match = REPORT_LINE.match(line)
            if match:
                values = [int(v, 16) for v in match.group("rest").split()]
                ms = int(match.group("s")) * 1000 + int(match.group("ms"))
                yield Report(int(match.group("pid"), 16), ms, *values), None
                continue
            match = REGISTRATION_LINE.match(line)
            if match:
                yield None, (int(match.group("pid"), 16), match.group("name"))

    def linux_pids_of(self, image_name=""):
        """Linux process ids of this prefix's processes (whose environment
        names the prefix), or of those whose command line names image_name
        (Wine shows the Windows path in the command line)."""
        marker = f"\0WINEPREFIX={self.prefix}\0".encode()
        pids = []
        for proc_dir in Path("/proc").iterdir():
            if not proc_dir.name.isdigit() or int(proc_dir.name) == os.getpid():
                continue
            try:
                environ = b"\0" + (proc_dir / "environ").read_bytes()
                cmdline = (proc_dir / "cmdline").read_bytes()
            except OSError:
                continue
            if marker in environ and image_name.lower().encode() in cmdline.lower():
                pids.append(int(proc_dir.name))
        return pids

