"""The installer on Wine's SCM under Xvfb: the entry it writes, and the
already-installed box, read from the real message box."""

import re
import shutil
import stat
import unittest

import winenv
from winenv import CAPTION, FAILED, NOT_INSTALLED, SERVICE, run_with_box, service_entry

ALREADY_INSTALLED = (b"Orvanel 3.7-b412 service is already installed.\n\n"
                     b"Please uninstall the existing version before installing new one.\n")
HOST_MISSING = b"orvanel_host.exe was not found in %s.\n\nRun orvanel_install.exe from the installation directory."
# Wine's text for ERROR_SERVICE_MARKED_FOR_DELETE (1072).
MARKED_FOR_DELETE = b"CreateService failed with error: Service marked for delete (code 1072)"
NOT_LOCAL = (b"%s is not on a local fixed drive.\n\nThe service could not rely on finding it, or on who may change "
             b"it, at every start. Install on a local fixed drive, under Program Files.")
# The two boxes of what ordinary users can change: the verb, and what follows the principal.
CHANGED = (b" can be changed by ", b"The service would run it as LocalSystem.")
RENAMED = (b" can be renamed or replaced by ", b"The service would then run what is put in its place as LocalSystem.")


class Installer(winenv.Case):
    services = (SERVICE, "orvanel_other")

    @classmethod
    def setUpClass(cls):
        cls.env = winenv.WineEnv(display=True, trace=True)

    @classmethod
    def tearDownClass(cls):
        cls.env.close()

    def install(self, directory, host=True):
        """The installer in directory, with a file named orvanel_host.exe
        beside it unless host is False."""
        program = directory / "orvanel_install.exe"
        if not program.exists():
            shutil.copy(winenv.built("orvanel_install.exe"), program)
        if host:
            (directory / "orvanel_host.exe").write_bytes(b"MZ")
        return program

    # A run that showed a box would wait for OK and never end, so an exit
    # within the time limit, under a display, means that no box was shown.
    def test_registers_the_host_of_the_current_directory(self):
        env = self.env
        unusual = env.drive_c / "Orvanel Prüfung Ωmega" / "server dir"
        unusual.mkdir(parents=True)
        # Drives of their own, since the installer walks the whole tree below
        # them: a fixed one and a network one. Wine takes in a letter and its
        # type when the prefix starts.
        drive, network = env.drive_c / "Orvanel Laufwerk", env.drive_c / "Orvanel Netz"
        for letter, folder in (("o:", drive), ("n:", network)):
            folder.mkdir()
            (env.prefix / "dosdevices" / letter).symlink_to(folder)
        self.assertEqual(env.run(["reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "n:", "/d", "network",
                                  "/f"]).code, 0)
        env.reboot()
        cases = [
            (unusual, unusual, '"C:\\Orvanel Prüfung Ωmega\\server dir\\orvanel_host.exe"'),
            # At the root the directory keeps its backslash.
            (drive, "O:\\", '"O:\\\\orvanel_host.exe"'),
        ]
        for directory, cwd, image_path in cases:
            with self.subTest(directory=str(cwd)):
                program = self.install(directory)
                runs = len(env.service_runs(SERVICE))
                result = env.run([program], cwd=cwd)
                self.assertEqual(result.code, 0)
                self.assertFalse(env.box_is_open(CAPTION))
                self.assertEqual(service_entry(env), {
                    "ImagePath": image_path,
                    "Type": "16",
                    "Start": "2",
                    "ErrorControl": "1",
                    "DisplayName": CAPTION,
                    "ObjectName": "LocalSystem",
                })
                self.assertEqual(service_entry(env, winenv.EVENT_SOURCE),
                                 {"EventMessageFile": image_path.strip('"'), "TypesSupported": "7"})
                self.assertRegex(env.reg_query(winenv.SERVICES_KEY + winenv.EVENT_SOURCE),
                                 r"EventMessageFile\s+REG_EXPAND_SZ")
                self.assertEqual(env.query_state(SERVICE), "STOPPED")
                self.assertEqual(len(env.service_runs(SERVICE)), runs)
                env.sc("delete", SERVICE)
        # A closed layout on a network drive: the SCM would not find it at boot.
        program = self.install(network)
        result, box = run_with_box(env, [program], cwd="N:\\")
        self.assertEqual((result.code, box), (FAILED, NOT_LOCAL % b"N:\\"))
        self.assertIsNone(service_entry(env))

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

    def test_a_directory_without_the_host_is_refused(self):
        # As when an administrator runs it from C:\\Windows\\System32.
        env = self.env
        cases = [env.drive_c / "Orvanel ohne Dienst Ω", env.drive_c / "Orvanel leer" / "orvanel_host.exe"]
        for directory in cases:
            with self.subTest(directory=str(directory)):
                # A directory that merely bears the host's name is no host either.
                target = directory.parent if directory.name == "orvanel_host.exe" else directory
                directory.mkdir(parents=True)
                program = self.install(target, host=False)
                result, box = run_with_box(env, [program], cwd=target)
                self.assertEqual(box, HOST_MISSING % env.win_path(target).encode())
                self.assertEqual(result.code, FAILED)
                self.assertIsNone(env.query_state(SERVICE))
                self.assertIsNone(service_entry(env))

    def test_on_a_hidden_station_the_text_goes_to_standard_error(self):
        # As under a deployment tool or a scheduled task: a box there would
        # keep the installer waiting, and the fixture would end it with 258.
        env = self.env
        directory = env.drive_c / "Orvanel verborgen Ω"
        directory.mkdir()
        program = self.install(directory, host=False)
        result = env.run([winenv.built("fixture_hidden_station.exe"), program], cwd=directory)
        text = HOST_MISSING % env.win_path(directory).encode() + b"\n"
        self.assertEqual((result.code, result.stdout), (FAILED, text), result.stderr)
        self.assertIsNone(env.query_state(SERVICE))

    def test_a_service_marked_for_deletion_shows_the_create_service_box(self):
        # A running service that is deleted stays, marked for deletion, until
        # it stops; a new one of the same name cannot be created meanwhile.
        env = self.env
        folder = env.drive_c / "Orvanel Marked"
        folder.mkdir()
        shutil.copy(winenv.built("fixture_svc_stop_counter.exe"), folder)
        command = (f"{env.win_path(folder / 'fixture_svc_stop_counter.exe')} "
                   f"{env.win_path(folder / 'marked.log')} stop-after 0")
        self.assertEqual(env.sc("create", SERVICE, "binpath=", command).code, 0)
        self.assertEqual(env.start_service(SERVICE).code, 0)
        self.assertTrue(env.wait_for_state(SERVICE, "RUNNING"))
        self.assertEqual(env.sc("delete", SERVICE).code, 0)
        program = self.install(folder)
        result, box = run_with_box(env, [program], cwd=folder)
        self.assertEqual(box, MARKED_FOR_DELETE)
        self.assertEqual(result.code, FAILED)
        # Once it stops, the deletion completes.
        env.sc("stop", SERVICE)
        self.assertTrue(env.wait_for_state(SERVICE, None))

    def test_the_error_box_shows_the_text_as_given(self):
        show = winenv.built("fixture_box_show.exe")
        for text in (b"", b"Pr\xc3\xbcfung \xce\xa9mega \xf0\x9f\x98\x80\n\nline", ALREADY_INSTALLED):
            with self.subTest(text=text):
                result, box = run_with_box(self.env, [show, text.hex()])
                self.assertEqual(box, text)
                self.assertEqual(result.code, 0)

    def test_what_everyone_can_change_is_refused(self):
        # Under Wine, write for "other" gives Everyone write, group write gives
        # nothing. Account names are localised; the SID is not.
        env = self.env
        top = env.drive_c / "Orvanel Rechte"
        root = top / "Orv"
        directory, runtime = root / "server", root / "jre64"
        files = [directory / name for name in ("orvanel_app.jar", "orvanel_app.conf")]
        files += [runtime / "bin" / "java.exe", env.drive_c / "Orvanel anderswo" / "modules"]
        files += [directory / "lib" / "extra.jar", env.drive_c / "Orvanel Plugins" / "plugin.jar"]
        # A second layout, installed through C:\Orvanel Verweis, a link to its root.
        hidden = env.drive_c / "Orvanel Versteck"
        linked = env.drive_c / "Orvanel Verweis" / "server"
        files += [hidden / "Echt" / "server" / "orvanel_app.jar"]
        for path in files:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"")
        # jre64\lib leads outside the layout, and bin\back back up to jre64: a
        # loop, which ends, since the last run below installs.
        (runtime / "lib").symlink_to(files[3].parent)
        (runtime / "bin" / "back").symlink_to("..")
        (directory / "plugins").symlink_to(files[5].parent)
        linked.parent.symlink_to(hidden / "Echt")
        program = self.install(directory)
        self.install(linked)
        objects = [directory, directory / "orvanel_host.exe", *files[:2], root, runtime, runtime / "bin", files[2],
                   runtime / "lib", runtime / "lib" / "modules", directory / "lib", files[4],
                   directory / "plugins" / "plugin.jar"]
        rows = [(path, CHANGED, directory) for path in objects]
        rows += [(top, RENAMED, directory), (hidden, RENAMED, linked)]
        for path, (verb, consequence), cwd in rows:
            with self.subTest(path=str(path)):
                mode = path.stat().st_mode
                path.chmod(mode | stat.S_IWOTH)
                try:
                    result, box = run_with_box(env, [program], cwd=cwd)
                finally:
                    path.chmod(mode)
                registered = service_entry(env)
                env.sc("delete", SERVICE)  # so that one failure stays one
                self.assertRegex(box or b"", rb"\A%s%s[^\n]* \(S-1-1-0\)\.\n\n%s %s\Z" % (
                    re.escape(env.win_path(path).encode()), verb, re.escape(consequence),
                    b"Remove that permission, or install under Program Files."))
                self.assertEqual((result.code, registered), (FAILED, None))
        # Ordinary modes install in the other suites; group write adds nothing,
        # down to the deeper layout's top.
        for path, _, _ in rows:
            path.chmod(path.stat().st_mode | stat.S_IWGRP)
        self.assertEqual(env.run([program], cwd=directory).code, 0)
        self.assertIsNotNone(service_entry(env))

    def test_a_library_planted_beside_the_programs_is_not_loaded(self):
        # user32 loads uxtheme.dll by name behind a box, and with uxtheme=n,b
        # Wine, as Windows, looks in the program's folder first: the fixture,
        # which does not restrict the search, shows that the plant works.
        env = self.env
        folder = env.drive_c / "Orvanel Gepflanzt"
        folder.mkdir()
        installer = self.install(folder)
        uninstaller = shutil.copy(winenv.built("orvanel_uninstall.exe"), folder)
        show = shutil.copy(winenv.built("fixture_box_show.exe"), folder)
        shutil.copy(winenv.built("fixture_planted_library.dll"), folder / "uxtheme.dll")
        folder.chmod(folder.stat().st_mode | stat.S_IWOTH)
        planted = {"WINEDLLOVERRIDES": env.env["WINEDLLOVERRIDES"] + ";uxtheme=n,b"}
        rows = [([installer], rb"\A%s can be changed by " % re.escape(env.win_path(folder).encode()), FAILED),
                ([uninstaller], re.escape(NOT_INSTALLED) + rb"\Z", FAILED),
                ([show, b"planted".hex()], rb"\Aplanted\Z", 0)]
        for argv, text, code in rows:
            result, box = run_with_box(env, argv, cwd=folder, env_vars=planted)
            self.assertRegex(box or b"", text)
            self.assertEqual(result.code, code)
        loaded_by = (folder / "loaded-by.txt").read_text("utf-16-le").splitlines()
        self.assertEqual(loaded_by, [env.win_path(show)])


if __name__ == "__main__":
    unittest.main()
