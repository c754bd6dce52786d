"""Writes BUILDINFO.txt, what a rebuild of the same bytes starts from:

    buildinfo.py OUTPUT SOURCE_DIR COMPILER TOOL...

the commit of SOURCE_DIR and its time (SOURCE_DATE_EPOCH, which
scripts/sign.sh takes as the signing time), and the exact version of each
Debian package whose output is in the programs or the zip: the ones that
hold the compiler, its own programs, libraries and the Windows headers, each
TOOL (strip, windres, CMake) and the Python that runs this and pack.py.
OUTPUT is written only when its text changes, so an unchanged tree packs
nothing again.
"""

import platform
import subprocess
import sys
import time
from pathlib import Path


def output(*argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, **kwargs).stdout.strip()


def compiler_files(compiler):
    """The compiler's own programs and libraries, and the Windows header it includes."""
    names = [output(compiler, "-print-prog-name=" + p) for p in ("cc1plus", "as", "ld")]
    names += [output(compiler, "-print-file-name=" + f) for f in ("libstdc++.a", "libgcc.a", "libmsvcrt.a", "crt2.o")]
    # -H lists each header it opens on standard error, the first one first.
    trace = subprocess.run([compiler, "-E", "-H", "-x", "c++", "-o", "/dev/null", "-"], input="#include <windows.h>\n",
                           capture_output=True, text=True).stderr
    names += [line.split(" ", 1)[1] for line in trace.splitlines()[:1] if line.startswith(". ")]
    return names


def owners(paths):
    """Each file's Debian package, for the files that one holds."""
    found = output("dpkg-query", "-S", *paths)
    return {line.split(": ", 1)[1]: line.split(": ", 1)[0] for line in found.splitlines() if ": " in line}


def main(out, source, compiler, *tools):
    commit = output("git", "-C", source, "rev-parse", "HEAD") or "unknown (no git checkout)"
    epoch = output("git", "-C", source, "log", "-1", "--format=%ct") or "unknown"
    if output("git", "-C", source, "status", "--porcelain", "--untracked-files=no"):
        commit += " with uncommitted changes"
    files = [output("sh", "-c", 'command -v "$0"', f) or f for f in (compiler, *tools)]
    files += compiler_files(compiler) + [sys.executable]
    paths = sorted({str(Path(f).resolve()) for f in files})
    held = owners(paths)
    packages = sorted(set(held.values()))
    versions = output("dpkg-query", "-W", "-f=${Package}=${Version}\\n", *packages).splitlines() if packages else []
    others = [p for p in paths if p not in held]
    when = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(int(epoch))) if epoch.isdigit() else "unknown"
    system = dict(line.split("=", 1) for line in Path("/etc/os-release").read_text().splitlines() if "=" in line)
    text = "".join(
        ["How this package was built: what a rebuild of the same bytes starts from\n\n",
         f"commit={commit}\n", f"SOURCE_DATE_EPOCH={epoch}\n", f"(the commit's time: {when})\n\n",
         f"system={system.get('PRETTY_NAME', 'unknown').strip(chr(34))}\n",
         f"python={platform.python_version()}\n\n",
         "Debian packages whose output is in the programs and the zip, as apt-get install takes them:\n",
         *(f"{v}\n" for v in sorted(versions)),
         *(["\nOther programs (from no Debian package):\n"] + [f"{o}\n" for o in others] if others else [])])
    if not Path(out).exists() or Path(out).read_text(encoding="utf-8") != text:
        Path(out).write_text(text, encoding="utf-8", newline="\n")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
