#!/usr/bin/env bash
# The administrator's and the rebuilder's proof that a signed package is the
# unsigned one plus the vendor's signatures, and nothing else:
#   scripts/check-signed.sh SIGNED.zip UNSIGNED.zip CHAIN.pem SIGNER-SHA256
# CHAIN.pem (the vendor's intermediate and root certificates) and
# SIGNER-SHA256 (its signing certificate's SHA-256 fingerprint, hex, colons
# allowed) are published by the vendor apart from the package. It proves, in
# this order, and stops with the reason at the first thing that does not hold:
# - both packages hold the same entries by name, each a regular file in the
#   package's one folder (or that folder);
# - each program's signature verifies against CHAIN.pem, its signer is
#   SIGNER-SHA256, and it carries no nested signature and no unauthenticated
#   attribute but an RFC 3161 timestamp;
# - each program without its signature is the unsigned one byte for byte,
#   and every other file is the same;
# - the signed package's SHA256SUMS.txt names exactly its files, each with
#   its checksum.
# Exit 0 when all holds, 1 when something does not, 2 on wrong use.
set -euo pipefail

usage() {
  echo "check-signed: $*" >&2
  exit 2
}
fail() {
  echo "check-signed: $*" >&2
  exit 1
}

[ $# -eq 4 ] || usage "usage: scripts/check-signed.sh SIGNED.zip UNSIGNED.zip CHAIN.pem SIGNER-SHA256"
signed_zip=$1
unsigned_zip=$2
chain=$3
signer=$(tr -d ': ' <<<"$4" | tr 'A-F' 'a-f')
[[ $signer =~ ^[0-9a-f]{64}$ ]] || usage "SIGNER-SHA256 $4 is no SHA-256 fingerprint (64 hexadecimal digits)"
[ -f "$chain" ] || usage "there is no chain file $chain"
for tool in osslsigncode python3; do
  command -v "$tool" >/dev/null || usage "$tool is missing (scripts/setup.sh installs it)"
done
work=$(mktemp -d "${TMPDIR:-/tmp}/orvanel-check-signed.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The zip and PE checks that no command-line tool makes; a failure prints
# its reason and exits 1.
helper() {
  python3 - "$@" <<'EOF'
import hashlib, re, stat, sys, zipfile
from pathlib import Path

def fail(reason):
    sys.exit(f"check-signed: {reason}")

def entries(archive):
    """Checks that every entry is a regular file of the one folder; returns (folder, {name: info})."""
    try:
        with zipfile.ZipFile(archive) as z:
            infos = z.infolist()
    except (OSError, zipfile.BadZipFile) as error:
        fail(f"cannot read {archive}: {error}")
    folders = {i.filename.split("/", 1)[0] for i in infos}
    if len(folders) != 1:
        fail(f"{archive} holds {len(folders)} top folders, not one: {', '.join(sorted(folders))}")
    folder = folders.pop()
    if not re.fullmatch(r"[^/\\:.][^/\\:]*", folder) or folder.endswith((".", " ")):
        fail(f"{archive} holds the folder {folder!r}, not a plain folder name")
    files = {}
    for i in infos:
        mode = i.external_attr >> 16
        name = i.filename
        if name == folder + "/" and (i.is_dir() and (i.create_system != 3 or stat.S_ISDIR(mode))):
            continue
        if not re.fullmatch(re.escape(folder) + r"/[^/\\:]+", name) or name.endswith((".", " ")):
            fail(f"{archive}: {name} is not a file of the folder {folder}")
        if i.is_dir() or (i.create_system == 3 and not stat.S_ISREG(mode)):
            fail(f"{archive}: {name} is not a regular file (Unix mode {mode:o})")
        if name.lower() in {n.lower() for n in files}:
            fail(f"{archive}: {name} is in it twice")
        files[name] = i
    return folder, files

def unpack(signed, unsigned, out):
    """Both packages' entries match, by name; unpacks them into out/signed and out/unsigned."""
    (_, a), (_, b) = entries(signed), entries(unsigned)
    for name in sorted(a.keys() ^ b.keys()):
        fail(f"{name} is in {signed if name in a else unsigned} only")
    for archive, side in ((signed, "signed"), (unsigned, "unsigned")):
        with zipfile.ZipFile(archive) as z:
            for name in a:
                path = Path(out, side, name)
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_bytes(z.read(name))
    print("\n".join(sorted(a)))

def der(data, at):
    """The tag, content start and end of the DER element at `at`."""
    tag, length, at = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, at = int.from_bytes(data[at:at + count], "big"), at + count
    return tag, at, at + length

def children(data, start, end):
    items = []
    while start < end:
        tag, content, stop = der(data, start)
        items.append((tag, start, content, stop))
        start = stop
    return items

OIDS = {"nested signature": bytes.fromhex("060a2b060104018237020401"),
        "RFC 3161 timestamp": bytes.fromhex("060a2b060104018237030301")}

def signature(program, name):
    """Prints the signer's SHA-256; fails on a second signer, a nested
    signature, another unauthenticated attribute or bytes after the signature."""
    data = Path(program).read_bytes()
    pe = int.from_bytes(data[0x3C:0x40], "little")
    optional = pe + 24
    directory = optional + (112 if data[optional:optional + 2] == b"\x0b\x02" else 96) + 4 * 8
    offset, size = (int.from_bytes(data[directory + k:directory + k + 4], "little") for k in (0, 4))
    length = int.from_bytes(data[offset:offset + 4], "little")
    if size == 0 or offset + size != len(data) or (length + 7) // 8 * 8 != size:
        fail(f"{name}: its certificate table is not one signature at the end of the file")
    blob = data[offset + 8:offset + length]
    _, content, end = der(blob, 0)
    _, content, end = der(blob, children(blob, content, end)[1][2])  # [0] EXPLICIT SignedData
    parts = children(blob, content, end)
    certificates = [c for tag, s, cs, ce in parts if tag == 0xA0 for c in children(blob, cs, ce)]
    signers = children(blob, parts[-1][2], parts[-1][3])
    if len(signers) != 1:
        fail(f"{name}: its signature has {len(signers)} signers, not one")
    fields = children(blob, signers[0][2], signers[0][3])
    issuer, serial = (blob[s:e] for _, s, _, e in children(blob, fields[1][2], fields[1][3]))
    for tag, s, cs, ce in fields:
        for _, a, acs, ace in children(blob, cs, ce) if tag == 0xA1 else []:
            oid = blob[acs:children(blob, acs, ace)[0][3]]
            if oid != OIDS["RFC 3161 timestamp"]:
                kind = "a nested signature" if oid == OIDS["nested signature"] else f"the attribute {oid.hex()}"
                fail(f"{name}: its signature carries {kind} beyond the signer's own")
    for _, s, cs, ce in certificates:
        tbs = children(blob, *children(blob, cs, ce)[0][2:4])
        tbs = tbs[1:] if tbs[0][0] == 0xA0 else tbs
        if blob[tbs[0][1]:tbs[0][3]] == serial and blob[tbs[2][1]:tbs[2][3]] == issuer:
            print(hashlib.sha256(blob[s:ce]).hexdigest())
            return
    fail(f"{name}: its signature holds no signer's certificate")

def sums(folder):
    """SHA256SUMS.txt names exactly the folder's other files, each with its checksum."""
    folder = Path(folder)
    listed = {}
    for line in (folder / "SHA256SUMS.txt").read_text("ascii", errors="replace").splitlines():
        match = re.fullmatch(r"([0-9a-f]{64})  (.+)", line)
        if not match or match[2] in listed:
            fail(f"SHA256SUMS.txt: the line {line!r} is no checksum of a further file")
        listed[match[2]] = match[1]
    files = {p.name for p in folder.iterdir() if p.name != "SHA256SUMS.txt"}
    for name in sorted(files ^ listed.keys()):
        fail(f"SHA256SUMS.txt {'lists ' + name + ', which is not in the package' if name in listed else 'has no line for ' + name}")
    for name in sorted(files):
        if hashlib.sha256((folder / name).read_bytes()).hexdigest() != listed[name]:
            fail(f"SHA256SUMS.txt: the checksum of {name} is wrong")

{"unpack": unpack, "signature": signature, "sums": sums}[sys.argv[1]](*sys.argv[2:])
EOF
}

names=$(helper unpack "$signed_zip" "$unsigned_zip" "$work") || exit 1
echo "check-signed: both packages hold the same $(wc -l <<<"$names") files, each a regular file of the one folder"
while read -r name; do
  signed=$work/signed/$name
  unsigned=$work/unsigned/$name
  if [[ ${name,,} == *.exe ]]; then
    # osslsigncode 2.5 writes its errors to standard output, 2.9 to standard error.
    osslsigncode verify -CAfile "$chain" -in "$signed" >"$work/log" 2>&1 ||
      fail "$name: its signature does not verify against $chain: $(grep -m1 -oE 'Verify error: .*|[^ ].*failed.*' "$work/log" || echo "see osslsigncode verify")"
    fingerprint=$(helper signature "$signed" "$name") || exit 1
    [ "$fingerprint" = "$signer" ] || fail "$name: signed by the certificate $fingerprint, not $signer"
    rm -f "$work/removed"
    osslsigncode remove-signature -in "$signed" -out "$work/removed" >/dev/null 2>&1 ||
      fail "$name: osslsigncode cannot remove its signature"
    cmp -s "$work/removed" "$unsigned" || fail "$name: without its signature, it differs from $unsigned_zip's"
    echo "check-signed: $name: signed by $signer, verified against $chain, and without its signature the same"
  elif [[ $name != */SHA256SUMS.txt ]]; then
    cmp -s "$signed" "$unsigned" || fail "$name differs"
    echo "check-signed: $name: the same"
  fi
done <<<"$names"
helper sums "$work/signed/${names%%/*}" || exit 1
echo "check-signed: SHA256SUMS.txt: each file's checksum holds"
echo "check-signed: $signed_zip is $unsigned_zip plus signatures of $signer"
