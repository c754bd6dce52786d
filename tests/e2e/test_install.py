"""The installer on Wine's SCM under Xvfb: the entry it writes, and the
already-installed box, read from the real message box."""

import shutil
import unittest

import winenv

SERVICE = "orvanel_svc"
CAPTION = "Orvanel 3.7-b412"
ALREADY_INSTALLED = (b"Orvanel 3.7-b412 service is already installed.\n\n"
                     b"Please uninstall the existing version before installing new one.\n")
FAILED = 0xFFFFFFFF


def run_with_box(env, argv, cwd=None, env_vars=None, wait_ms=20000):
    """Runs a program that is to show a box: returns its result and the
    box's text (None if no box appeared)."""
    proc = env.popen(argv, cwd=cwd, env=env_vars)
    box = env.read_box(CAPTION, wait_ms)
    return env.finish(proc, timeout=60), box


def service_entry(env, name=SERVICE):
    """The service's registry values as a dict of text, or None without a key."""
    result = env.run([str(winenv.built("fixture_svc_config.exe")), name])
    if result.code != 0:
        return None
    lines = result.stdout.decode("utf-8").splitlines()
    return dict(line.split("=", 1) for line in lines)


class Installer(winenv.Case):
    services = (SERVICE, "orvanel_other")

    @classmethod
    def setUpClass(cls):
        cls.env = winenv.WineEnv(display=True, trace=True)

    @classmethod
    def tearDownClass(cls):
        cls.env.close()

    def install(self, directory):
        program = directory / "orvanel_install.exe"
        if not program.exists():
            shutil.copy(winenv.built("orvanel_install.exe"), program)
        return program

    # A run that showed a box would wait for OK and never end, so an exit
    # within the time limit, under a display, means that no box was shown.
    def test_registers_the_host_of_the_current_directory(self):
        env = self.env
        unusual = env.drive_c / "Orvanel Prüfung Ωmega" / "server dir"
        unusual.mkdir(parents=True)
        cases = [
            (unusual, '"C:\\Orvanel Prüfung Ωmega\\server dir\\orvanel_host.exe"'),
            # At the root the directory keeps its backslash.
            (env.drive_c, '"C:\\\\orvanel_host.exe"'),
        ]
        for directory, image_path in cases:
            with self.subTest(directory=str(directory)):
                program = self.install(directory)
                result = env.run([program], cwd=directory)
                self.assertEqual(result.code, 0)
                self.assertFalse(env.box_is_open(CAPTION))
                # No orvanel_host.exe lies there: the entry names it all the same.
                self.assertEqual(service_entry(env), {
                    "ImagePath": image_path,
                    "Type": "16",
                    "Start": "2",
                    "ErrorControl": "1",
                    "DisplayName": CAPTION,
                    "ObjectName": "LocalSystem",
                })
                self.assertEqual(env.query_state(SERVICE), "STOPPED")
                self.assertEqual(env.service_runs(SERVICE), [])
                env.sc("delete", SERVICE)

    def test_an_existing_service_shows_the_already_installed_box(self):
        env = self.env
        directory = env.drive_c / "Orvanel Again"
        directory.mkdir()
        program = self.install(directory)
        self.assertEqual(env.run([program], cwd=directory).code, 0)
        entry = service_entry(env)

        result, box = run_with_box(env, [program], cwd=directory)
        self.assertEqual(box, ALREADY_INSTALLED)
        self.assertEqual(result.code, FAILED)
        self.assertEqual(service_entry(env), entry)

    def test_a_taken_display_name_shows_the_already_installed_box(self):
        # Wine's SCM answers 1078 here, as Windows does, also when only the
        # case differs.
        env = self.env
        directory = env.drive_c / "Orvanel Taken"
        directory.mkdir()
        program = self.install(directory)
        for display_name in (CAPTION, CAPTION.upper()):
            with self.subTest(display_name=display_name):
                created = env.sc("create", "orvanel_other", "binpath=", "C:\\other.exe",
                                 "displayname=", display_name)
                self.assertEqual(created.code, 0)
                result, box = run_with_box(env, [program], cwd=directory)
                self.assertEqual(box, ALREADY_INSTALLED)
                self.assertEqual(result.code, FAILED)
                self.assertIsNone(service_entry(env))
                env.sc("delete", "orvanel_other")

    def test_the_error_box_shows_the_text_as_given(self):
        show = winenv.built("fixture_box_show.exe")
        for text in (b"", b"Pr\xc3\xbcfung \xce\xa9mega \xf0\x9f\x98\x80\n\nline", ALREADY_INSTALLED):
            with self.subTest(text=text):
                result, box = run_with_box(self.env, [show, text.hex()])
                self.assertEqual(box, text)
                self.assertEqual(result.code, 0)


if __name__ == "__main__":
    unittest.main()
