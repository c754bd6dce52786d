"""The uninstaller on Wine's SCM under Xvfb, against a fixture service that
counts the stop requests it receives, and against the real host. The
uninstaller's own calls are read from its trace."""

import re
import shutil
import unittest

import installation
import winenv
from winenv import CAPTION, FAILED, NOT_INSTALLED, SERVICE, run_with_box, service_entry

DID_NOT_STOP = b"Orvanel 3.7-b412 service did not stop within 30 seconds and was not removed"
TRACED = {"WINEDEBUG": winenv.TRACE_SETTING}

# 0123.456:0020:0024:trace:service:QueryServiceStatusEx ...
CALL_LINE = re.compile(rb"^(\d+)\.(\d+):[0-9a-f]+:[0-9a-f]+:trace:service:(\w+)", re.M)


def calls(stderr):
    """The uninstaller's service calls from its trace: (milliseconds, name)."""
    return [(int(s) * 1000 + int(ms), name.decode()) for s, ms, name in CALL_LINE.findall(stderr)]


def count(trace, name):
    return sum(1 for _, n in trace if n == name)


def query_times(trace):
    return [t for t, n in trace if n == "QueryServiceStatusEx"]


def mean_interval(times):
    """The mean time between the polls of the wait (times[1:]; times[0] is
    the first look). Wine's trace clock moves in steps of up to about 16 ms,
    so single gaps and poll counts jitter; the mean over the span does not."""
    polls = times[1:]
    return (polls[-1] - polls[0]) / (len(polls) - 1)


def gone(env, image, timeout=10):
    """True once no process of the prefix runs the image (a service process
    ends shortly after its stopped report)."""
    return not env.processes_left(lambda line: image.lower() in line.lower(), timeout)


class FixtureService:
    """orvanel_svc run by fixture_svc_stop_counter in one of its modes."""

    def __init__(self, env, tag, mode, ms=0):
        self.env = env
        folder = env.drive_c / "fixtures"
        folder.mkdir(exist_ok=True)
        program = folder / "fixture_svc_stop_counter.exe"
        if not program.exists():
            shutil.copy(winenv.built("fixture_svc_stop_counter.exe"), program)
        self.log = folder / f"{tag}.log"
        command = f"{env.win_path(program)} {env.win_path(self.log)} {mode} {ms}"
        created = env.sc("create", SERVICE, "binpath=", command, "displayname=", CAPTION)
        if created.code != 0:
            raise RuntimeError(f"sc create: {created.stdout!r}")

    def start(self, state="RUNNING"):
        self.env.start_service(SERVICE)
        if not self.env.wait_for_state(SERVICE, state):
            raise RuntimeError(f"{SERVICE} did not reach {state}")

    def lines(self):
        return self.log.read_text().splitlines() if self.log.exists() else []

    def stop_requests(self):
        return self.lines().count("control 1")


class Uninstaller(winenv.Case):
    services = (SERVICE,)

    @classmethod
    def setUpClass(cls):
        cls.env = winenv.WineEnv(display=True, trace=True)
        folder = cls.env.drive_c / "Orvanel Uninstall"
        folder.mkdir()
        cls.program = folder / "orvanel_uninstall.exe"
        shutil.copy(winenv.built("orvanel_uninstall.exe"), cls.program)

    @classmethod
    def tearDownClass(cls):
        cls.env.close()

    def uninstall(self):
        """Runs the uninstaller to its end, with no box expected (one would
        keep it waiting for OK past the time limit)."""
        result = self.env.run([self.program], env=TRACED, timeout=60)
        self.assertFalse(self.env.box_is_open(CAPTION))
        return result, calls(result.stderr)

    def assert_removed(self):
        self.assertIsNone(self.env.query_state(SERVICE))
        self.assertIsNone(service_entry(self.env))
        self.assertIsNone(service_entry(self.env, winenv.EVENT_SOURCE))

    def test_a_running_service_gets_one_stop_request(self):
        service = FixtureService(self.env, "running", "stop-after", 1500)
        service.start()
        result, trace = self.uninstall()
        self.assertEqual(result.code, 0)
        self.assertEqual(service.stop_requests(), 1)
        self.assertEqual(count(trace, "ControlService"), 1)
        self.assertEqual(count(trace, "DeleteService"), 1)
        # The first poll follows the request at once, then one every 100 ms
        # while the service takes 1.5 s to stop.
        times = query_times(trace)
        self.assertGreaterEqual(len(times), 6)
        self.assertTrue(95 <= mean_interval(times) <= 250, times)
        self.assertEqual(service.lines()[-1], "stopped")
        self.assert_removed()
        self.assertTrue(gone(self.env, "fixture_svc_stop_counter.exe"))

    def test_a_stopped_service_is_deleted_at_once(self):
        service = FixtureService(self.env, "stopped", "stop-after")
        result, trace = self.uninstall()
        self.assertEqual(result.code, 0)
        self.assertEqual(count(trace, "ControlService"), 0)
        self.assertEqual(count(trace, "QueryServiceStatusEx"), 1)
        self.assertEqual(service.lines(), [])
        self.assert_removed()

    def test_a_stopping_service_gets_no_stop_request(self):
        # Stop pending on its own for 6 s, still accepting a stop, so a
        # request sent now would reach it and be counted.
        service = FixtureService(self.env, "pending", "pending", 6000)
        service.start("STOP_PENDING")
        result, trace = self.uninstall()
        self.assertEqual(result.code, 0)
        self.assertEqual(count(trace, "ControlService"), 0)
        self.assertEqual(service.stop_requests(), 0)
        self.assertGreater(count(trace, "QueryServiceStatusEx"), 1)
        self.assertEqual(service.lines()[-1], "stopped")
        self.assert_removed()
        self.assertTrue(gone(self.env, "fixture_svc_stop_counter.exe"))

    def test_a_service_that_never_stops_is_left_registered(self):
        env = self.env
        service = FixtureService(env, "never", "never")
        service.start()
        result, box = run_with_box(env, [self.program], env_vars=TRACED, wait_ms=90000)
        trace = calls(result.stderr)
        self.assertEqual(box, DID_NOT_STOP)
        self.assertEqual(result.code, FAILED)
        self.assertEqual(service.stop_requests(), 1)
        self.assertEqual(count(trace, "ControlService"), 1)
        self.assertEqual(count(trace, "DeleteService"), 0)
        self.assertEqual(env.query_state(SERVICE), "STOP_PENDING")
        # A poll every 100 ms or a little more, for 30 s: about 300 polls.
        times = query_times(trace)
        self.assertTrue(29900 <= times[-1] - times[1] <= 40000, times[-1] - times[1])
        self.assertTrue(95 <= mean_interval(times) <= 250, (len(times), times[-1] - times[1]))

    def test_no_service_shows_the_not_installed_box(self):
        result, box = run_with_box(self.env, [self.program])
        self.assertEqual(box, NOT_INSTALLED)
        self.assertEqual(result.code, FAILED)

    def test_on_a_hidden_station_the_text_goes_to_standard_error(self):
        # As under a deployment tool or a scheduled task: a box there would
        # keep the uninstaller waiting, and the fixture would end it with 258.
        env = self.env
        folder = env.drive_c / "Orvanel Hidden"
        folder.mkdir()
        (folder / "orvanel_host.exe").write_bytes(b"MZ")
        installer = shutil.copy(winenv.built("orvanel_install.exe"), folder)
        steps = [(self.program, FAILED, NOT_INSTALLED + b"\n", None),
                 (installer, 0, b"", "STOPPED"),
                 (self.program, 0, b"", None)]
        for program, code, text, state in steps:
            with self.subTest(program=str(program), state=state):
                result = env.run([winenv.built("fixture_hidden_station.exe"), program], cwd=folder)
                self.assertEqual((result.code, result.stdout), (code, text), result.stderr)
                self.assertEqual(env.query_state(SERVICE), state)

    def test_the_host_and_its_server_are_ended_and_removed(self):
        try:
            inst = installation.lay_out(self.env, "Orvanel Host")
        except FileNotFoundError as missing:
            self.skipTest(f"the host's package is not built: {missing}")
        env = self.env
        d = inst.win(env)
        self.assertEqual(env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory).code, 0)
        self.assertIsNotNone(service_entry(env, winenv.EVENT_SOURCE))
        env.start_service(SERVICE)
        self.assertIsNotNone(installation.wait_until_serving(env, inst.port))
        self.assertEqual(env.query_state(SERVICE), "RUNNING")
        self.assertTrue(env.linux_pids_of("java.exe"))

        result = env.run([f"{d}\\orvanel_uninstall.exe"], env=TRACED, timeout=60)
        trace = calls(result.stderr)
        self.assertEqual(result.code, 0)
        self.assertFalse(env.box_is_open(CAPTION))
        self.assertEqual(count(trace, "ControlService"), 1)
        self.assert_removed()
        self.assertIsNone(installation.wait_for_answer(inst.port, present=False))
        self.assertTrue(gone(env, "java.exe"))
        self.assertTrue(gone(env, "orvanel_host.exe"))


if __name__ == "__main__":
    unittest.main()
