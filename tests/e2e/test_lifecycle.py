"""An administrator's whole path on Wine's SCM, with the packaged programs:
install, reboot, the server runs, stop and start again, uninstall, nothing
left behind."""

import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

import installation
import winenv
from winenv import CAPTION, FAILED, NOT_INSTALLED, SERVICE

STOPPED = 1
# 48 KiB for each packaged program.
SIZE_BUDGET = 49152


class Package(unittest.TestCase):
    def archive(self):
        return zipfile.ZipFile(winenv.built(installation.PACKAGE + ".zip"))

    def test_holds_the_three_programs_the_text_and_their_checksums_only(self):
        with self.archive() as archive:
            names = sorted(n.split("/", 1)[1] for n in archive.namelist() if not n.endswith("/"))
        self.assertEqual(names, sorted([*installation.PROGRAMS, "ADMIN.txt", "SHA256SUMS.txt"]))

    def test_each_program_fits_its_size_budget(self):
        with self.archive() as archive:
            for program in installation.PROGRAMS:
                size = archive.getinfo(f"{installation.PACKAGE}/{program}").file_size
                self.assertLessEqual(size, SIZE_BUDGET, program)

    def test_checksums_hold_for_every_other_file_of_the_unpacked_package(self):
        with tempfile.TemporaryDirectory() as temporary, self.archive() as archive:
            archive.extractall(temporary)
            folder = Path(temporary) / installation.PACKAGE
            result = subprocess.run(["sha256sum", "-c", "SHA256SUMS.txt"], cwd=folder,
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            checked = sorted(line.removesuffix(": OK") for line in result.stdout.splitlines())
            others = sorted(p.name for p in folder.iterdir() if p.name != "SHA256SUMS.txt")
            self.assertEqual(checked, others)

    def test_admin_text_has_crlf_line_ends_only(self):
        with self.archive() as archive:
            text = archive.read(f"{installation.PACKAGE}/ADMIN.txt")
        self.assertGreater(text.count(b"\r\n"), 0)
        self.assertEqual(text.count(b"\n"), text.count(b"\r\n"))
        self.assertEqual(text.count(b"\r"), text.count(b"\r\n"))

    def test_programs_need_no_dll_but_the_systems(self):
        allowed = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll"}
        with self.archive() as archive:
            for program in installation.PROGRAMS:
                data = archive.read(f"{installation.PACKAGE}/{program}")
                with open(winenv.build_dir() / f"check-{program}", "wb") as f:
                    f.write(data)
                dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", f.name],
                                      capture_output=True, text=True, check=True).stdout
                dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines()
                        if "DLL Name:" in line}
                self.assertTrue(dlls, program)
                self.assertLessEqual(dlls, allowed | {d for d in dlls if d.startswith("api-ms-win-")},
                                     program)


class Lifecycle(winenv.Case):
    services = (SERVICE,)

    def setUp(self):
        # A prefix of its own, made here so that a failure is reported while
        # it is still up.
        self.env = winenv.WineEnv(display=True, trace=True)
        self.addCleanup(self.env.close)
        super().setUp()

    def test_install_reboot_stop_start_uninstall(self):
        env = self.env
        inst = installation.lay_out(env, "Orvanel Life Cycle")
        d = inst.win(env)

        result = env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory)
        self.assertEqual(result.code, 0)
        self.assertEqual(env.query_state(SERVICE), "STOPPED")

        # At boot the SCM starts the service by itself, and the server
        # receives exactly its command line and working directory. The SCM
        # tries each automatic service once, in turn: the case waits for its
        # try, and where Wine failed to create the host, starts it here.
        mark = env.trace_size()
        env.reboot()
        failure = env.wait_for_boot_start(SERVICE, mark)
        if failure is not None:
            self.assertIn(failure, winenv.WINE_START_FAILURES, env.boot_starts(mark))
            print(f"Wine failed to create the host at boot ({failure}); starting it", file=sys.stderr)
            env.start_service(SERVICE)
        answer = installation.wait_until_serving(env, inst.port)
        self.assertIsNotNone(answer, env.boot_starts(mark))
        self.assertEqual(env.query_state(SERVICE), "RUNNING")
        self.assertEqual(answer["command line"], inst.expected_command_line(env))
        self.assertEqual(answer["working directory"], d)

        for cycle in range(3):
            env.sc("stop", SERVICE)
            self.assertTrue(env.wait_for_state(SERVICE, "STOPPED"), cycle)
            self.assertIsNone(installation.wait_for_answer(inst.port, present=False), cycle)
            self.assertEqual(env.linux_pids_of("java.exe"), [], cycle)
            env.start_service(SERVICE)
            self.assertIsNotNone(installation.wait_until_serving(env, inst.port), cycle)
            self.assertEqual(env.query_state(SERVICE), "RUNNING", cycle)

        result = env.run([f"{d}\\orvanel_uninstall.exe"], cwd=inst.directory, timeout=90)
        self.assertEqual(result.code, 0)
        self.assertIsNone(env.query_state(SERVICE))
        self.assertIsNone(installation.wait_for_answer(inst.port, present=False))
        self.assertEqual(env.linux_pids_of("java.exe"), [])
        self.assertEqual(env.linux_pids_of("orvanel_host.exe"), [])

        # Every run of the service, the one at boot included, ended with
        # its stopped report and reported nothing after it.
        runs = env.runs_but_wine_failures(SERVICE)
        self.assertEqual(len(runs), 4)
        for run in runs:
            self.assertEqual([r.state for r in run if r.state == STOPPED], [STOPPED])
            self.assertEqual(run[-1].state, STOPPED)

        second = env.popen([f"{d}\\orvanel_uninstall.exe"], cwd=inst.directory)
        self.assertEqual(env.read_box(CAPTION), NOT_INSTALLED)
        self.assertEqual(env.finish(second).code, FAILED)


if __name__ == "__main__":
    unittest.main()
