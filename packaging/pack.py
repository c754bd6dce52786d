"""Finishes the package folder and writes its zip archive, byte for byte the
same from the same programs and text:

    pack.py ADMIN.txt FOLDER ARCHIVE

FOLDER already holds the stripped programs and BUILDINFO.txt. ADMIN.txt goes in with CRLF
line ends (Notepad's), then SHA256SUMS.txt with one line per file in the
form `sha256sum -c` reads. The archive holds the folder's files under the
folder's name, in name order, stored uncompressed (so no zlib version can
change a byte), each with the same fixed time and attributes.
"""

import hashlib
import sys
import zipfile
from pathlib import Path

SUMS = "SHA256SUMS.txt"
# The earliest time a zip entry can carry; the build's own time would make
# every build differ.
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
# A regular file, readable by all (Unix attributes, as unzip applies them).
ENTRY_ATTRIBUTES = 0o100644 << 16


def with_crlf(text):
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def main(admin_text, folder, archive):
    folder = Path(folder)
    (folder / "ADMIN.txt").write_bytes(with_crlf(Path(admin_text).read_bytes()))

    files = sorted(p.name for p in folder.iterdir() if p.name != SUMS)
    sums = "".join(f"{hashlib.sha256((folder / name).read_bytes()).hexdigest()}  {name}\n" for name in files)
    (folder / SUMS).write_text(sums, encoding="ascii", newline="\n")

    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as zip_file:
        for name in sorted(files + [SUMS]):
            entry = zipfile.ZipInfo(f"{folder.name}/{name}", ENTRY_TIME)
            entry.create_system = 3
            entry.external_attr = ENTRY_ATTRIBUTES
            zip_file.writestr(entry, (folder / name).read_bytes())


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
