"""The service host end to end: the real orvanel_host.exe under Wine's SCM, in
an installation directory with blanks and non-ASCII letters, starting a
stand-in runtime of ours at ..\\jre64\\bin\\java.exe that records what it got.

Status reports are read from Wine's service trace. One prefix serves every
case; each case registers the service afresh and looks only at its own runs.
"""

import os
import re
import shutil
import signal
import stat
import unittest
from pathlib import Path

import winenv
from winenv import SERVICE, WineEnv, built

CONSOLE_LINE = b"Orvanel 3.7-b412 can be launched only as a Windows service"

# (type, state, controls accepted, win32 exit, specific exit, check-point, wait hint)
START_PENDING = (0x10, 2, 0, 0, 0, 1, 1000)
RUNNING = (0x10, 4, 5, 0, 0, 0, 0)
STOPPED = (0x10, 1, 5, 0, 0, 0, 1000)


def stopped(win32, specific):
    """The stopped report with the exit codes that tell how the server ended."""
    return (0x10, 1, 5, win32, specific, 0, 1000)


ERROR_SERVICE_SPECIFIC_ERROR = 1066
# ERROR_REQUEST_REFUSED: the check at the start refused it.
START_REFUSED = 4320
# Wine's texts of the launch's errors, as the host's event shapes them.
LAUNCH_ERROR_TEXTS = {2: "File not found", 3: "Path not found"}

SERVICE_CONTROL_STOP = 1
SERVICE_CONTROL_INTERROGATE = 4
SERVICE_CONTROL_SHUTDOWN = 5
# The probe host hands this user control to the host's handler as a shutdown.
SHUTDOWN_STAND_IN = 128

CYCLES = 50


def parse_fields(text):
    """key=value words of a fixture's output line, as integers where they are."""
    fields = {}
    for word in text.split():
        key, _, value = word.partition("=")
        fields[key] = int(value) if value.lstrip("-").isdigit() else value
    return fields


class HostTest(winenv.Case):
    services = (SERVICE,)

    @classmethod
    def setUpClass(cls):
        cls.env = WineEnv(display=False, trace=True)
        cls.root = cls.env.drive_c / "Prüfstand Ωmega" / "Dienst für Ämter"
        cls.install = cls.root / "server bin"
        cls.jre_bin = cls.root / "jre64" / "bin"
        cls.install.mkdir(parents=True)
        cls.jre_bin.mkdir(parents=True)
        for name in ("orvanel_host.exe", "fixture_probe_host.exe"):
            shutil.copy(built(name), cls.install / name)

    @classmethod
    def tearDownClass(cls):
        cls.env.close()

    def setUp(self):
        super().setUp()
        self.registered = None
        for name in ("record.txt", "exit_code.txt", "children.txt"):
            (self.jre_bin / name).unlink(missing_ok=True)
        for name in ("early_control.txt", "early_control.done", "launch.txt", "stop_in_launch.txt",
                     "end_in_launch.txt"):
            (self.install / name).unlink(missing_ok=True)
        self.place_runtime()
        self.register("orvanel_host.exe")
        self.runs_before = len(self.env.service_runs(SERVICE))

    # The installation.

    def place_runtime(self):
        shutil.copy(built("fixture_java.exe"), self.jre_bin / "java.exe")

    def register(self, program):
        if self.registered is not None:
            self.assertEqual(self.env.sc("delete", SERVICE).code, 0)
        path = self.env.win_path(self.install / program)
        result = self.env.sc("create", SERVICE, "binPath=", f'"{path}"', "start=", "demand")
        self.assertEqual(result.code, 0, result.stdout)
        self.registered = program

    # Driving the service.

    def start(self):
        result = self.env.start_service(SERVICE)
        self.assertEqual(result.code, 0, result.stdout)

    def record(self):
        """The stand-in's record, once it has written it. A run whose launch
        Wine failed is started again (wait_restarting); new_runs() leaves
        such runs out."""
        path = self.jre_bin / "record.txt"
        if self.env.wait_restarting(lambda: path.exists() or None, 30) is None:
            self.fail("record.txt did not appear")
        fields = {}
        for line in path.read_bytes().decode("utf-8").splitlines():
            key, _, value = line.partition("=")
            fields[key] = value
        return fields

    def control(self, code, pid=None):
        """Sends a control; with a pid, also waits for that process to end."""
        argv = [built("fixture_service_control.exe"), SERVICE, str(code)]
        if pid is not None:
            argv.append(str(pid))
        result = self.env.run(argv, timeout=120)
        self.assertEqual(result.code, 0, result.stdout)
        lines = result.stdout.decode().splitlines()
        answer = parse_fields(lines[0])
        if pid is not None:
            answer.update(parse_fields(lines[1]))
        return answer

    def assert_answered_running(self, answer):
        self.assertEqual((answer["result"], answer["error"]), (1, 0), answer)
        self.assertEqual(
            (answer["type"], answer["state"], answer["accepted"], answer["win32"], answer["specific"],
             answer["checkpoint"], answer["hint"]),
            RUNNING,
        )

    def stop_and_see_server_end(self, pid, control=SERVICE_CONTROL_STOP):
        answer = self.control(control, pid)
        # Wine's ControlService hands back the SCM's record as it stands after
        # the control, which may already be the stopped report; the handler's
        # own answer is checked in the trace.
        self.assertEqual((answer["result"], answer["error"]), (1, 0), answer)
        # Ended forcibly with exit code 0.
        self.assertEqual(answer.get("process-exit"), 0, answer)

    def wait_stopped(self):
        self.assertTrue(self.env.wait_for_state(SERVICE, "STOPPED"), "the service did not stop")

    def new_runs(self):
        runs = self.env.service_runs(SERVICE)[self.runs_before:]
        return [[r.fields() for r in run] for run in runs if not winenv.failed_in_wine(run)]

    def assert_runs(self, *expected):
        self.assertEqual(self.new_runs(), [list(run) for run in expected])

    def runtime_processes(self):
        """The server and any child of it: all run the stand-in's image."""
        return self.env.linux_pids_of("jre64\\bin\\java.exe")

    def wait_until_no_runtime(self, timeout, keep=()):
        """Waits until no runtime process is left but those whose command
        line names one of keep; returns what is left then."""
        left = self.env.processes_left(
            lambda line: "jre64\\bin\\java.exe" in line and not any(k in line for k in keep), timeout)
        return [line for _, line in left]

    def end_processes(self, text):
        """Ends the prefix's processes whose command line names text."""
        for pid in self.env.linux_pids_of(text):
            os.kill(pid, signal.SIGKILL)

    # The cases.

    def test_console_start_prints_one_line_and_exits_with_minus_one(self):
        for argv in ([self.install / "orvanel_host.exe"], [self.install / "orvanel_host.exe", "--help", "x"]):
            with self.subTest(argv=argv[1:]):
                result = self.env.run(argv)
                self.assertEqual(result.code, 0xFFFFFFFF)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(result.stderr, CONSOLE_LINE + b"\n")

    def test_runtime_gets_the_exact_command_line_and_directory_and_no_console(self):
        self.start()
        record = self.record()
        base = self.env.win_path(self.install)
        self.assertEqual(
            record["command"],
            f'"{base}\\..\\jre64\\bin\\java.exe" -Xrs -jar "{base}\\orvanel_app.jar" "{base}\\orvanel_app.conf"',
        )
        self.assertEqual(record["directory"], base)
        self.assertEqual(record["console"], "0")
        self.assertEqual(record["in_job"], "1")
        self.assertEqual(self.env.query_state(SERVICE), "RUNNING")
        self.stop_and_see_server_end(int(record["pid"]))
        self.wait_stopped()
        self.assertEqual(self.runtime_processes(), [])
        self.assert_runs([START_PENDING, RUNNING, RUNNING, STOPPED])
        self.assertEqual(self.env.events(self.trace_mark), [])

    def test_a_start_with_what_others_can_change_is_refused_and_logged(self):
        # Loosened after the installation: the host judges again at every
        # start, so nothing runs until it is closed again.
        extra = self.install / "lib" / "extra.jar"
        extra.parent.mkdir(exist_ok=True)
        extra.write_bytes(b"")
        self.addCleanup(extra.unlink)
        for path in (extra, self.jre_bin / "java.exe"):
            with self.subTest(path=path.name):
                self.runs_before = len(self.env.service_runs(SERVICE))
                mark = self.env.trace_size()
                mode = path.stat().st_mode
                path.chmod(mode | stat.S_IWOTH)
                try:
                    self.start()
                    self.wait_stopped()
                finally:
                    path.chmod(mode)
                self.assertFalse((self.jre_bin / "record.txt").exists())
                self.assert_runs([START_PENDING, RUNNING, stopped(START_REFUSED, 0)])
                (event,) = self.env.events(mark)
                self.assertRegex(event, r"\A%s can be changed by [^\n]* \(S-1-1-0\)\.\n\nThe service would run it as "
                                 r"LocalSystem\. " % re.escape(self.env.win_path(path)))
        self.runs_before = len(self.env.service_runs(SERVICE))
        self.start()
        self.stop_and_see_server_end(int(self.record()["pid"]))
        self.wait_stopped()
        self.assert_runs([START_PENDING, RUNNING, RUNNING, STOPPED])

    def test_interrogation_is_answered_with_running_and_leaves_the_server_alone(self):
        self.start()
        pid = int(self.record()["pid"])
        self.assert_answered_running(self.control(SERVICE_CONTROL_INTERROGATE))
        self.assertEqual(len(self.runtime_processes()), 1)
        self.assertEqual(self.env.query_state(SERVICE), "RUNNING")
        self.stop_and_see_server_end(pid)
        self.wait_stopped()
        self.assert_runs([START_PENDING, RUNNING, RUNNING, RUNNING, STOPPED])

    def test_server_that_ends_by_itself_stops_the_service_and_tells_its_exit_code(self):
        cases = [("0", (0, 0)), ("7", (ERROR_SERVICE_SPECIFIC_ERROR, 7)),
                 ("4294967295", (ERROR_SERVICE_SPECIFIC_ERROR, 0xFFFFFFFF))]
        for code, codes in cases:
            with self.subTest(code=code):
                self.runs_before = len(self.env.service_runs(SERVICE))
                (self.jre_bin / "record.txt").unlink(missing_ok=True)
                (self.jre_bin / "exit_code.txt").write_text(code)
                self.start()
                self.record()
                self.wait_stopped()
                self.assert_runs([START_PENDING, RUNNING, stopped(*codes)])
                self.assertEqual(self.env.query_exit_codes(SERVICE), codes)

    def test_failed_launch_reports_the_launch_error_at_once(self):
        # No java.exe in jre64\\bin: file not found (2). No jre64 at all: path
        # not found (3) on Windows, while Wine says 2 here too.
        runtime = self.root / "jre64"
        elsewhere = self.root / "jre64-away"
        self.addCleanup(lambda: elsewhere.exists() and elsewhere.rename(runtime))
        for case, errors in (("no java.exe", {2}), ("no jre64", {2, 3})):
            with self.subTest(case=case):
                self.runs_before = len(self.env.service_runs(SERVICE))
                mark = self.env.trace_size()
                if case == "no java.exe":
                    (self.jre_bin / "java.exe").unlink()
                else:
                    runtime.rename(elsewhere)
                self.start()
                self.wait_stopped()
                self.assertFalse((self.jre_bin / "record.txt").exists())
                (run,) = self.new_runs()
                error = run[-1][3]
                self.assertIn(error, errors)
                self.assertEqual(run, [START_PENDING, RUNNING, stopped(error, 0)])
                self.assertEqual(self.env.query_exit_codes(SERVICE), (error, 0))
                # Nothing waits between the running and the stopped report.
                reports = self.env.service_runs(SERVICE)[-1]
                self.assertLess(reports[2].ms - reports[1].ms, 500)
                self.assertEqual(self.env.events(mark), [f"Starting {self.env.win_path(runtime)}\\bin\\java.exe "
                                                         f"failed with error: {LAUNCH_ERROR_TEXTS[error]} (code {error})"])

    def test_shutdown_ends_the_server_like_a_stop(self):
        self.register("fixture_probe_host.exe")
        self.runs_before = len(self.env.service_runs(SERVICE))
        self.start()
        self.stop_and_see_server_end(int(self.record()["pid"]), control=SHUTDOWN_STAND_IN)
        self.wait_stopped()
        self.assertEqual(self.runtime_processes(), [])
        self.assert_runs([START_PENDING, RUNNING, RUNNING, STOPPED])

    def test_stop_or_shutdown_before_the_launch_prevents_it(self):
        self.register("fixture_probe_host.exe")
        for control in (SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN):
            with self.subTest(control=control):
                self.runs_before = len(self.env.service_runs(SERVICE))
                (self.install / "early_control.done").unlink(missing_ok=True)
                (self.install / "early_control.txt").write_text(str(control))
                self.start()
                self.wait_stopped()
                self.assertTrue((self.install / "early_control.done").exists())
                self.assertFalse((self.jre_bin / "record.txt").exists())
                self.assertEqual(self.runtime_processes(), [])
                # No answer to the early control: ReplyState was still 0.
                self.assert_runs([START_PENDING, RUNNING, STOPPED])

    def test_control_before_the_reply_state_is_set_is_not_reported(self):
        self.register("fixture_probe_host.exe")
        (self.install / "early_control.txt").write_text(str(SERVICE_CONTROL_INTERROGATE))
        self.start()
        pid = int(self.record()["pid"])
        self.assertTrue((self.install / "early_control.done").exists())
        self.stop_and_see_server_end(pid)
        self.wait_stopped()
        self.assert_runs([START_PENDING, RUNNING, RUNNING, STOPPED])

    def test_stop_ends_the_server_with_its_children_but_not_one_that_broke_away(self):
        (self.jre_bin / "children.txt").write_text("child breakaway")
        self.start()
        record = self.record()
        self.assertNotEqual(record["child"], "0")
        self.assertNotEqual(record["breakaway"], "0")
        self.addCleanup(self.end_processes, "--child breakaway")
        self.stop_and_see_server_end(int(record["pid"]))
        self.wait_stopped()
        self.assertEqual(self.wait_until_no_runtime(10, keep=["--child breakaway"]), [])
        self.assertEqual(len(self.env.linux_pids_of("--child breakaway")), 1)
        self.assert_runs([START_PENDING, RUNNING, RUNNING, STOPPED])

    def test_host_ended_from_outside_takes_the_server_and_its_children_along(self):
        (self.jre_bin / "children.txt").write_text("child")
        self.start()
        self.assertNotEqual(self.record()["child"], "0")
        killed = self.env.run([built("fixture_service_control.exe"), SERVICE, "kill"])
        self.assertEqual(killed.code, 0, killed.stdout)
        self.assertEqual(self.wait_until_no_runtime(2), [])
        # Nothing holds on to what the server had, so the next start works.
        (self.jre_bin / "children.txt").unlink()
        (self.jre_bin / "record.txt").unlink()
        self.start()
        self.stop_and_see_server_end(int(self.record()["pid"]))
        self.wait_stopped()
        runs = self.new_runs()
        self.assertEqual(runs[0], [START_PENDING, RUNNING])
        self.assertEqual(runs[1], [START_PENDING, RUNNING, RUNNING, STOPPED])

    def test_stop_during_the_launch_ends_the_server_once_it_is_in_its_job(self):
        # The probe hands a stop to the handler right after CreateProcessW has
        # created the server, while the launch still holds the lock: the stop
        # must wait for the launch, then end the server and its job.
        self.register("fixture_probe_host.exe")
        self.runs_before = len(self.env.service_runs(SERVICE))
        (self.install / "stop_in_launch.txt").write_text("")
        self.start()
        self.wait_stopped()
        launch = (self.install / "launch.txt").read_text().splitlines()
        # Created in its job (EXTENDED_STARTUPINFO_PRESENT): nothing to assign or resume.
        self.assertEqual(launch, ["create flags=0x8080000 result=1", "stop held until the launch is over"])
        self.assertEqual(self.wait_until_no_runtime(2), [])
        self.assert_runs([START_PENDING, RUNNING, RUNNING, STOPPED])

    def test_host_that_ends_right_after_creating_the_server_leaves_none(self):
        self.register("fixture_probe_host.exe")
        self.runs_before = len(self.env.service_runs(SERVICE))
        (self.install / "end_in_launch.txt").write_text("")
        self.start()
        self.assertEqual(self.env.processes_left(lambda line: "fixture_probe_host" in line, 10), [])
        self.assertEqual(self.wait_until_no_runtime(2), [])
        self.assertEqual((self.install / "launch.txt").read_text().splitlines(), ["create flags=0x8080000 result=1"])

    def test_fifty_start_stop_cycles_each_end_cleanly(self):
        # The first broken cycle ends the case: a late report leaves the SCM
        # at RUNNING, and every later cycle would only wait for STOPPED.
        for cycle in range(CYCLES):
            (self.jre_bin / "record.txt").unlink(missing_ok=True)
            self.start()
            self.stop_and_see_server_end(int(self.record()["pid"]))
            self.assertTrue(self.env.wait_for_state(SERVICE, "STOPPED"), f"cycle {cycle}: {self.new_runs()[-1]}")
            self.assertEqual(self.runtime_processes(), [], f"cycle {cycle}")
        runs = self.new_runs()
        self.assertEqual(len(runs), CYCLES)
        for run in runs:
            # Nothing follows the stopped report, and the SCM still says so.
            self.assertEqual(run, [START_PENDING, RUNNING, RUNNING, STOPPED])
        self.assertEqual(self.env.query_state(SERVICE), "STOPPED")


if __name__ == "__main__":
    unittest.main()
