"""An installation directory laid out as an administrator would: the
programs from the package, orvanel_app.jar and orvanel_app.conf beside
them, and the demo's stand-in server as ..\\jre64\\bin\\java.exe."""

import socket
import time
import urllib.error
import urllib.request
import zipfile
from dataclasses import dataclass
from pathlib import Path

import winenv

# What the build made of the project's version: package, version (3.7.0.412),
# text (3.7-b412), company and copyright (may be empty).
RELEASE = dict(line.split("=", 1) for line in (winenv.build_dir() / "version.txt").read_text("utf-8").splitlines())
PACKAGE = RELEASE["package"]
PROGRAMS = ("orvanel_host.exe", "orvanel_install.exe", "orvanel_uninstall.exe")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@dataclass
class Installation:
    root: Path  # holds server\ and jre64\
    directory: Path  # the installation directory
    port: int

    def win(self, env):
        return env.win_path(self.directory)

    def expected_command_line(self, env):
        d = self.win(env)
        return f'"{d}\\..\\jre64\\bin\\java.exe" -Xrs -jar "{d}\\orvanel_app.jar" "{d}\\orvanel_app.conf"'


def lay_out(env, root_name="Orvanel Demo", port=None, zip_path=None):
    """Unpacks the package into C:\\<root_name>\\server and puts the stand-in
    server at C:\\<root_name>\\jre64\\bin\\java.exe."""
    root = env.drive_c / root_name
    directory = root / "server"
    directory.mkdir(parents=True)
    with zipfile.ZipFile(zip_path or winenv.built(PACKAGE + ".zip")) as archive:
        for program in PROGRAMS:
            (directory / program).write_bytes(archive.read(f"{PACKAGE}/{program}"))
    port = port or free_port()
    (directory / "orvanel_app.jar").write_bytes(b"PK\x05\x06" + bytes(18))  # an empty archive
    (directory / "orvanel_app.conf").write_text(f"# read by the stand-in server\nport={port}\n")
    runtime = root / "jre64" / "bin"
    runtime.mkdir(parents=True)
    (runtime / "java.exe").write_bytes(winenv.built("demo_server.exe").read_bytes())
    return Installation(root, directory, port)


def server_answer(port, timeout=2.0):
    """The stand-in server's answer as a dict of its lines, or None when
    nothing answers on the port."""
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=timeout) as response:
            text = response.read().decode("utf-8")
    except (urllib.error.URLError, ConnectionError, socket.timeout, OSError):
        return None
    answer = {"text": text}
    for line in text.splitlines():
        key, sep, value = line.partition(": ")
        if sep:
            answer[key] = value
    return answer


def wait_until_serving(env, port, timeout=20.0):
    """Waits until the service's server answers; returns the answer, or None.
    A run whose launch Wine failed is started again (wait_restarting)."""
    return env.wait_restarting(lambda: server_answer(port, timeout=1.0), timeout)


def wait_for_answer(port, present=True, timeout=20.0):
    """Waits until the server answers (or, with present=False, until it no
    longer does); returns the last answer."""
    deadline = time.monotonic() + timeout
    while True:
        answer = server_answer(port, timeout=1.0)
        if (answer is not None) == present or time.monotonic() > deadline:
            return answer
        time.sleep(0.2)
