"""An administrator's whole path on Wine's SCM, with the packaged programs:
install, reboot, the server runs, stop and start again, uninstall, nothing
left behind; what the programs say about themselves; the package signed;
every batch block of ADMIN.txt, taken from the text, run by Wine's cmd."""

import functools
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path
from xml.etree import ElementTree

import installation
import winenv
from installation import RELEASE
from winenv import CAPTION, FAILED, NOT_INSTALLED, SERVICE

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
ADMIN = SCRIPTS.parent / "packaging" / "ADMIN.txt"
PASSWORD = "the signer's password"
KEYS = Path(tempfile.mkdtemp(prefix="orvanel-sign-"))  # the throwaway keys and the packages signed with them
V1, V3, OS = (f"{{urn:schemas-microsoft-com:{name}}}" for name in ("asm.v1", "asm.v3", "compatibility.v1"))
# The manifest's elements in document order, with their attributes.
MANIFEST = [(V1 + "assembly", {"manifestVersion": "1.0"}), (V3 + "trustInfo", {}), (V3 + "security", {}),
            (V3 + "requestedPrivileges", {}), (V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}),
            (OS + "compatibility", {}), (OS + "application", {}),
            (OS + "supportedOS", {"Id": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})]

STOPPED = 1
# Each packaged program's budget, unsigned, resources included: 56 KiB, and
# 64 KiB for the host, which carries the whole permission check.
SIZE_BUDGET = {"orvanel_host.exe": 65536, "orvanel_install.exe": 57344, "orvanel_uninstall.exe": 57344}


class Package(unittest.TestCase):
    def archive(self):
        return zipfile.ZipFile(winenv.built(installation.PACKAGE + ".zip"))

    def test_holds_the_three_programs_the_text_and_their_checksums_only(self):
        with self.archive() as archive:
            names = sorted(n.split("/", 1)[1] for n in archive.namelist() if not n.endswith("/"))
        self.assertEqual(names, sorted([*installation.PROGRAMS, "ADMIN.txt", "BUILDINFO.txt", "SHA256SUMS.txt"]))

    def test_buildinfo_names_the_commit_its_time_and_the_exact_tools(self):
        with self.archive() as archive:
            lines = archive.read(f"{installation.PACKAGE}/BUILDINFO.txt").decode("utf-8").splitlines()
        tree = Path(__file__).parent
        self.assertIn(f"commit={run('git', '-C', tree, 'rev-parse', 'HEAD').stdout.strip()}", lines[2])
        self.assertEqual(lines[3], f"SOURCE_DATE_EPOCH={run('git', '-C', tree, 'log', '-1', '--format=%ct').stdout.strip()}")
        for package in ("g++-mingw-w64-x86-64-win32", "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev",
                        "mingw-w64-common", "cmake"):
            self.assertIn(f"{package}={run('dpkg-query', '-W', '-f=${Version}', package).stdout}", lines)

    def test_each_program_fits_its_size_budget(self):
        with self.archive() as archive:
            for program in installation.PROGRAMS:
                size = archive.getinfo(f"{installation.PACKAGE}/{program}").file_size
                self.assertLessEqual(size, SIZE_BUDGET[program], program)
                # Signing pads to 8 bytes; the checksum is checked by removing a signature.
                self.assertEqual(size % 8, 0, program)

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

    def test_programs_import_known_system_libraries_only_and_restrict_the_search(self):
        # Known system libraries, loaded from System32 before the program runs;
        # any other is loaded from System32 at run time, after the search is
        # restricted to it.
        windowed = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll"}
        imports = dict(zip(installation.PROGRAMS, (windowed - {"user32.dll"}, windowed, windowed)))
        with self.archive() as archive:
            for program in installation.PROGRAMS:
                data = archive.read(f"{installation.PACKAGE}/{program}")
                with open(winenv.build_dir() / f"check-{program}", "wb") as f:
                    f.write(data)
                dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", f.name],
                                      capture_output=True, text=True, check=True).stdout
                dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines()
                        if "DLL Name:" in line}
                self.assertEqual(dlls, imports[program], program)
                self.assertRegex(dump, r"\sSetDefaultDllDirectories\n", program)


def run(*argv, cwd=None, **env):
    """A Linux program's result, with SOURCE_DATE_EPOCH only when given."""
    child = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    return subprocess.run([str(a) for a in argv], cwd=cwd, env={**child, **env}, capture_output=True, text=True)


def sign(signed, key="signer.p12", password=PASSWORD, script=SCRIPTS / "sign.sh", **env):
    return run("bash", script, winenv.built(installation.PACKAGE + ".zip"), KEYS / key, signed,
               **{"ORVANEL_SIGN_PASSWORD": password, "ORVANEL_SIGN_CHAIN": KEYS / "chain.pem", **env})


def fingerprint(certificate):
    return run("openssl", "x509", "-in", KEYS / certificate, "-noout", "-fingerprint", "-sha256").stdout.split("=")[1]


def check_signed(signed, unsigned=None, signer="signer.pem"):
    unsigned = unsigned or winenv.built(installation.PACKAGE + ".zip")
    return run("bash", SCRIPTS / "check-signed.sh", signed, unsigned, KEYS / "chain.pem", fingerprint(signer))


@functools.cache
def signed_package():
    """The package signed as a public CA's customer would: a root, an intermediate, code-signing
    certificates that it issued (no CRL distribution point: osslsigncode 2.8 and later fail on one
    they cannot reach), each in a PKCS#12 without the chain, which chain.pem holds."""
    new, leaf = "req -newkey rsa:2048 -nodes -subj /CN=Test-", "-addext basicConstraints=CA:FALSE -addext keyUsage=" \
        "critical,digitalSignature -addext extendedKeyUsage=codeSigning"
    commands = [f"{new}root -x509 -days 2 -keyout root.key -out root.pem",
                f"{new}intermediate -x509 -days 2 -keyout ca.key -out ca.pem -CA root.pem -CAkey root.key -addext "
                "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"]
    for name, days in (("signer", 2), ("other", 2), ("expired", -1)):  # x509 -req takes a past end, req does not
        commands += [f"{new}{name} {leaf} -keyout {name}.key -out {name}.csr",
                     f"x509 -req -in {name}.csr -copy_extensions copyall -days {days} -CA ca.pem -CAkey ca.key "
                     f"-out {name}.pem",
                     f"pkcs12 -export -inkey {name}.key -in {name}.pem -passout env:PASSWORD -out {name}.p12"]
    for command in commands:
        result = run("openssl", *command.split(), cwd=KEYS, PASSWORD=PASSWORD)
        if result.returncode != 0:
            raise RuntimeError(f"openssl {command}: {result.stderr}")
    (KEYS / "chain.pem").write_bytes((KEYS / "ca.pem").read_bytes() + (KEYS / "root.pem").read_bytes())
    result = sign(KEYS / "signed.zip")
    if result.returncode != 0:
        raise RuntimeError(f"sign.sh failed: {result.stderr}")
    return KEYS / "signed.zip"


def tearDownModule():
    shutil.rmtree(KEYS, ignore_errors=True)


def repacked(source, target, change):
    """source's entries, changed by change(entries), a list of (ZipInfo, bytes), written to target."""
    with zipfile.ZipFile(source) as archive:
        entries = change([(entry, archive.read(entry)) for entry in archive.infolist()])
    with zipfile.ZipFile(target, "w") as archive:
        for entry, data in entries:
            archive.writestr(entry, data)
    return target


def entry(name, data, mode=0o100644):
    info = zipfile.ZipInfo(f"{installation.PACKAGE}/{name}")
    info.create_system, info.external_attr = 3, mode << 16
    return info, data


def replaced(name, change):
    return lambda entries: [(i, change(d) if i.filename.endswith("/" + name) else d) for i, d in entries]


def code_changed(data):
    data = bytearray(data)
    header = data.index(b".text\0\0\0")  # its section header gives its file offset
    data[int.from_bytes(data[header + 20:header + 24], "little") + 100] ^= 1
    return bytes(data)


def nested(data):
    (KEYS / "in.exe").write_bytes(data)
    run("osslsigncode", "sign", "-nest", "-pkcs12", KEYS / "other.p12", "-readpass", KEYS / "password", "-in",
        KEYS / "in.exe", "-out", KEYS / "nested.exe")
    return (KEYS / "nested.exe").read_bytes()


HOST = f"{installation.PACKAGE}/orvanel_host.exe"
# name, the package changed (signed or unsigned), how, what check-signed.sh says
CHECK_SIGNED = [
    ("a true pair", "signed", lambda e: e, None),
    ("a symbolic link holding a program", "signed", lambda e: e + [entry("version.dll", e[-1][1], 0o120777)],
     f"{installation.PACKAGE}/version.dll is not a regular file"),
    ("an extra file", "signed", lambda e: e + [entry("extra.txt", b"more")], "extra.txt is in"),
    ("a missing file", "signed", lambda e: [x for x in e if "BUILDINFO" not in x[0].filename], "BUILDINFO.txt is in"),
    ("another key", "other", lambda e: e, "signed by the certificate"),
    ("a nested signature", "signed", replaced("orvanel_host.exe", nested), f"{HOST}: its signature carries a nested"),
    ("a wrong checksum line", "signed", replaced("SHA256SUMS.txt", lambda d: (b"1" if d[:1] == b"0" else b"0") + d[1:]),
     "SHA256SUMS.txt: the checksum of ADMIN.txt is wrong"),  # its line is the first
    ("one byte of code", "unsigned", replaced("orvanel_install.exe", code_changed),
     f"{installation.PACKAGE}/orvanel_install.exe: without its signature, it differs"),
]


class SignedPackage(unittest.TestCase):
    setUpClass = staticmethod(signed_package)

    def test_holds_signed_programs_their_checksums_and_the_build_time_as_signing_time(self):
        with zipfile.ZipFile(signed_package()) as archive:
            archive.extractall(KEYS)
        unpacked = KEYS / installation.PACKAGE
        result = run("sha256sum", "-c", unpacked / "SHA256SUMS.txt", cwd=unpacked)
        self.assertEqual(result.returncode, 0, result.stdout)
        built = int((unpacked / "BUILDINFO.txt").read_text().split("SOURCE_DATE_EPOCH=")[1].split()[0])
        for program in installation.PROGRAMS:
            # The root alone: the signature carries its intermediate.
            result = run("osslsigncode", "verify", "-CAfile", KEYS / "root.pem", "-in", unpacked / program)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn(time.strftime("Signing time: %b %e %H:%M:%S %Y GMT", time.gmtime(built)), result.stdout)

    def test_a_signing_from_a_checkout_of_another_commit_gives_the_same_bytes(self):
        checkout = KEYS / "checkout"
        for path in ("scripts/sign.sh", "packaging/pack.py"):
            (checkout / path).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(SCRIPTS.parent / path, checkout / path)
        dated = dict(GIT_AUTHOR_DATE="@1000000000 +0000", GIT_COMMITTER_DATE="@1000000000 +0000")
        for command in ("init -q", "add .", "-c user.name=t -c user.email=t@t commit -qm another"):
            self.assertEqual(run("git", *command.split(), cwd=checkout, **dated).returncode, 0, command)
        result = sign(KEYS / "again.zip", script=checkout / "scripts/sign.sh")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((KEYS / "again.zip").read_bytes(), signed_package().read_bytes())

    def test_check_signed_passes_a_true_pair_only(self):
        (KEYS / "password").write_text(PASSWORD)
        self.assertEqual(sign(KEYS / "other.zip", key="other.p12").returncode, 0)
        for name, changed, change, reason in CHECK_SIGNED:
            with self.subTest(name):
                signed, unsigned = signed_package(), winenv.built(installation.PACKAGE + ".zip")
                if changed == "unsigned":
                    unsigned = repacked(unsigned, KEYS / "changed.zip", change)
                else:
                    signed = repacked(KEYS / f"{changed}.zip" if changed == "other" else signed, KEYS / "changed.zip",
                                      change)
                result = check_signed(signed, unsigned)
                if reason is None:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertIn("plus signatures of", result.stdout)
                else:
                    self.assertEqual(result.returncode, 1, result.stdout)
                    self.assertIn(reason, result.stderr)

    def test_sign_fails_with_its_reason_and_leaves_no_package(self):
        for key, env, reason in (
                ("signer.p12", {"ORVANEL_SIGN_PASSWORD": "not the password"},
                 "with the password in ORVANEL_SIGN_PASSWORD: a wrong password"),
                ("expired.p12", {}, "Verify error: certificate has expired"),
                ("signer.p12", {"ORVANEL_SIGN_CHAIN": KEYS / "root.pem"}, "unable to get local issuer certificate")):
            with self.subTest(key=key, env=env):
                out = Path(tempfile.mkdtemp(dir=KEYS))
                result = sign(out / "signed.zip", key=key, **env)
                self.assertEqual(result.returncode, 1)
                self.assertIn(reason, result.stderr)
                self.assertEqual(list(out.iterdir()), [])

    def test_a_key_in_a_software_token_signs_the_same_bytes_twice(self):
        token = KEYS / "token"
        token.mkdir()
        (token / "softhsm2.conf").write_text(f"directories.tokendir = {token}\nobjectstore.backend = file\n")
        env = {"SOFTHSM2_CONF": token / "softhsm2.conf", "ORVANEL_SIGN_PKCS11_MODULE": "/usr/lib/softhsm/libsofthsm2.so"}
        for command in ("softhsm2-util --init-token --free --label orvanel --pin 1234 --so-pin 5678",
                        f"openssl pkcs8 -topk8 -nocrypt -in {KEYS}/signer.key -out {token}/signer.p8",
                        f"softhsm2-util --import {token}/signer.p8 --token orvanel --label signer --id 01 --pin 1234"):
            result = run(*command.split(), **env)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for signed in ("token-1.zip", "token-2.zip"):
            result = run("bash", SCRIPTS / "sign.sh", winenv.built(installation.PACKAGE + ".zip"),
                         "pkcs11:token=orvanel;object=signer;type=private", KEYS / "signer.pem", token / signed,
                         ORVANEL_SIGN_PASSWORD="1234", ORVANEL_SIGN_CHAIN=KEYS / "chain.pem", **env)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((token / "token-1.zip").read_bytes(), (token / "token-2.zip").read_bytes())
        result = check_signed(token / "token-1.zip")
        self.assertEqual(result.returncode, 0, result.stderr)


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

    def test_signed_package_says_who_it_is_installs_starts_stops_and_uninstalls(self):
        env = self.env
        inst = installation.lay_out(env, "Orvanel Signed", zip_path=signed_package())
        d = inst.win(env)
        text, numbers = RELEASE["text"], RELEASE["version"].replace(".", ",")
        vendor = {"CompanyName": RELEASE["company"], "LegalCopyright": RELEASE["copyright"]}
        for program, role in zip(installation.PROGRAMS, ("host", "installer", "uninstaller")):
            result = env.run([winenv.built("fixture_version_info.exe"), f"{d}\\{program}"])
            fields, _, manifest = result.stdout.partition(b"\n--\n")
            self.assertEqual(dict(line.split("=", 1) for line in fields.decode("utf-8").splitlines()), {
                "FILEVERSION": numbers, "PRODUCTVERSION": numbers, "Translation": "0x409 1200",
                "FileDescription": f"Orvanel {text} service {role}", "FileVersion": RELEASE["version"],
                "InternalName": program.removesuffix(".exe"), "OriginalFilename": program,
                "ProductName": "Orvanel", "ProductVersion": text, **{k: v for k, v in vendor.items() if v}})
            # Windows refuses a malformed manifest before the program runs; Wine's parser is lenient.
            self.assertEqual([(e.tag, e.attrib) for e in ElementTree.fromstring(manifest).iter()], MANIFEST,
                             program)

        self.assertEqual(env.run([f"{d}\\orvanel_install.exe"], cwd=inst.directory).code, 0)
        # The display name that the programs use: the product and the build's version text.
        config = env.run([winenv.built("fixture_svc_config.exe"), SERVICE]).stdout.decode("utf-8")
        self.assertIn(f"\nDisplayName=Orvanel {text}\n", config)
        env.start_service(SERVICE)
        self.assertIsNotNone(installation.wait_until_serving(env, inst.port))
        env.sc("stop", SERVICE)
        self.assertTrue(env.wait_for_state(SERVICE, "STOPPED"))
        self.assertEqual(env.run([f"{d}\\orvanel_uninstall.exe"], cwd=inst.directory, timeout=90).code, 0)
        self.assertIsNone(env.query_state(SERVICE))


# ADMIN.txt gives a block to cmd by ending the paragraph before it with one of these words, which read
# the same to an administrator; NOT_RUN: what Wine cannot do, by the words of a line that needs it.
FOR_CMD = ("in a batch file:", "in a command prompt:")
NOT_RUN = {"icacls": "Wine's icacls is a stub that changes nothing", "sc.exe failure ": "Wine's sc keeps no failure "
           "actions", "sc.exe failureflag": "Wine's sc has no failureflag", "certutil": "Wine's certutil is a stub",
           "powershell": "Wine's powershell is a stub", "robocopy": "Wine's robocopy is a stub that copies nothing"}


def admin_blocks(text):
    """{(section, number in it): [(line, why Wine cannot run it, or "")]} for each indented block after FOR_CMD."""
    blocks = {}
    for title, body in re.findall(r"^([^\n]+)\n-+\n(.*?)(?=^[^\n]+\n-+\n|\Z)", text, re.M | re.S):
        ours = [block for above, block in re.findall(r"((?:^\S.*\n)+)\n((?:^  .*\n)+)", body, re.M)
                if " ".join(above.split()).lower().endswith(FOR_CMD)]
        blocks.update({(title, n): [(line[2:], " ".join(why for w, why in NOT_RUN.items() if w in line.lower()))
                                    for line in block.splitlines()] for n, block in enumerate(ours, 1)})
    return blocks


PF, CACHE, SHARE = "Program Files/Orvanel", "windows/IMECache/orvanel", "../dosdevices/unc/fileserver/software/Orvanel"
FLEET, SAME = "Deployment at fleet scale", "as the block's source holds it"
SERVED = {f"server/{name}": SAME for name in (*installation.PROGRAMS, "orvanel_app.conf")}
CACHED = {f"{CACHE}/install.cmd": (FLEET, 1), f"{CACHE}/uninstall.cmd": (FLEET, 2)}  # a block, as a batch file
OLD = {f"{PF}/server/data/state.db": b"its own", f"{PF}/jre64/bin/old.dll": b"old runtime",
       f"{CACHE}/server/lib/plugin.jar": b"new plug-in"}
UPGRADED = {**SERVED, "server/lib/plugin.jar": SAME, "server/data/state.db": b"its own", "jre64/bin": ["java.exe"]}
KEPT = {"server": ["orvanel_app.conf", "orvanel_app.jar"], "jre64/bin": ["java.exe"]}
# block: the release in Program Files (None, its files, or the service's state), the tree that the block copies
# from (it runs in a tool's CACHE; SHARE is \\fileserver\software\Orvanel), more files under C:\; what it must
# leave besides exit code 0: the service's state (from Program Files, its server answering when RUNNING), its
# Environment value, files in C:\Program Files\Orvanel (bytes, SAME, a folder's names). None: nothing runs.
ADMIN_ROWS = {
    ("Install", 1): ("files", PF, {}, "STOPPED", None, {}),
    ("Uninstall", 1): ("RUNNING", PF, {}, None, None, {}),
    ("Java options", 1): ("STOPPED", PF, {}, "STOPPED", "JDK_JAVA_OPTIONS=-Xms512m -Xmx4g", {}),
    ("Java options", 2): ("STOPPED", PF, {}, "STOPPED", "JDK_JAVA_OPTIONS=-Xmx4g\\0TZ=UTC", {}),
    ("Upgrading", 1): None,
    ("Scripted deployment", 1): ("files", PF, {}, "STOPPED", None, {}),
    ("Scripted deployment", 2): ("files", PF, {}, "STOPPED", None, {}),
    ("Troubleshooting", 1): None,
    (FLEET, 1): ("RUNNING", CACHE, OLD, "RUNNING", None, UPGRADED),
    (FLEET, 2): ("RUNNING", PF, {}, None, None, KEPT),
    (FLEET, 3): (None, CACHE, CACHED, "RUNNING", None, SERVED),
    (FLEET, 4): (None, CACHE, CACHED, None, None, {}),
    (FLEET, 5): (None, SHARE, {}, "RUNNING", None, SERVED),
}


class AdminBlocks(winenv.Case):
    services = (SERVICE,)

    @classmethod
    def setUpClass(cls):
        cls.env = winenv.WineEnv(display=False, trace=True)
        cls.addClassCleanup(cls.env.close)

    def judge(self, source, result, state, environment, files):
        self.assertEqual((result.code, self.env.query_state(SERVICE)), (0, state), result)
        entry = self.env.reg_query(winenv.SERVICES_KEY + SERVICE) if state else ""
        image = state and '"C:\\Program Files\\Orvanel\\server\\orvanel_host.exe"'
        self.assertEqual(dict(re.findall(r"(ImagePath|Environment) +REG_\w+ +(.*\S)", entry)),
                         {name: v for name, v in (("ImagePath", image), ("Environment", environment)) if v})
        answer = (installation.wait_until_serving(self.env, source.port) if state == "RUNNING"
                  else installation.wait_for_answer(source.port, present=False))
        self.assertEqual(answer is not None, state == "RUNNING", result)
        for path, want in files.items():
            got = self.env.drive_c / PF / path
            got = sorted(p.name for p in got.iterdir()) if isinstance(want, list) else got.read_bytes()
            self.assertEqual(got, (source.root / path).read_bytes() if want is SAME else want, path)

    def test_every_batch_block_of_admin_text_does_what_the_text_says(self):
        env, blocks = self.env, admin_blocks(ADMIN.read_text())
        self.assertEqual(sorted(blocks), sorted(ADMIN_ROWS))
        for key, row in ADMIN_ROWS.items():
            with self.subTest(block=key):
                for line, why in (pair for pair in blocks[key] if pair[1]):
                    print(f"not run: {key[0]} #{key[1]}: {line.strip()}: {why}", file=sys.stderr)
                if row is None:
                    self.assertTrue(all(why for _, why in blocks[key]), "a block that runs needs a row")
                    continue
                release, tree, files, *expected = row
                env.restore(self.services)
                for path in (PF, CACHE, SHARE):
                    shutil.rmtree(env.drive_c / path, ignore_errors=True)
                inst = release and installation.lay_out(env, PF)
                if release in ("STOPPED", "RUNNING"):
                    self.assertEqual(env.run([inst.directory / "orvanel_install.exe"], cwd=inst.directory).code, 0)
                if release == "RUNNING":
                    env.start_service(SERVICE)
                    self.assertIsNotNone(installation.wait_until_serving(env, inst.port))
                source = inst if tree == PF else installation.lay_out(env, tree)
                script = env.drive_c / (f"{CACHE}/block.cmd" if tree == CACHE else "block.cmd")  # %~dp0 is its folder
                for path, data in {**files, script: key}.items():
                    (env.drive_c / path).parent.mkdir(parents=True, exist_ok=True)
                    (env.drive_c / path).write_bytes(data if isinstance(data, bytes) else "".join(
                        ("rem " if why else "") + line + "\r\n" for line, why in blocks[data]).encode())
                result = env.run(["cmd", "/c", env.win_path(script)], cwd=script.parent, timeout=120)
                self.judge(source, result, *expected)


if __name__ == "__main__":
    unittest.main()
