#!/usr/bin/env bash
# The release step that signs a package with the key of whoever ships the
# server: the three programs get an Authenticode signature (SHA-256), and the
# signed package holds them, the same ADMIN.txt and the checksums of the
# signed files, packed as reproducibly as the unsigned one.
#   scripts/sign.sh UNSIGNED.zip PKCS12 [SIGNED.zip]
# SIGNED.zip is by default UNSIGNED.zip's name with -signed before .zip.
#   ORVANEL_SIGN_PASSWORD       the key's password (may be empty); it never
#                               goes on a command line
#   SOURCE_DATE_EPOCH           the signing time; by default the time of
#                               this checkout's commit
#   ORVANEL_SIGN_TIMESTAMP_URL  an RFC 3161 server that countersigns
# Without a timestamp, two signings with one RSA key and one osslsigncode
# version give the same bytes. Any failure says what failed, exits non-zero
# and leaves no package.
set -euo pipefail

fail() {
  echo "sign: $*" >&2
  exit 1
}

[ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: scripts/sign.sh UNSIGNED.zip PKCS12 [SIGNED.zip]"
unsigned=$1
key=$2
signed=${3:-${unsigned%.zip}-signed.zip}
tree=$(cd "$(dirname "$0")/.." && pwd)

for tool in osslsigncode openssl python3 unzip; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
[ -f "$unsigned" ] || fail "there is no package $unsigned"
[ -f "$key" ] || fail "there is no key $key"
[ -d "$(dirname "$signed")" ] || fail "there is no folder $(dirname "$signed") for $signed"
[ "$(realpath -m "$signed")" != "$(realpath "$unsigned")" ] || fail "SIGNED.zip would overwrite UNSIGNED.zip"

# openssl reads the password from the environment; osslsigncode 2.5 takes it
# from a file only, and refuses an empty file.
export ORVANEL_SIGN_PASSWORD=${ORVANEL_SIGN_PASSWORD-}
openssl pkcs12 -in "$key" -noout -passin env:ORVANEL_SIGN_PASSWORD 2>/dev/null ||
  fail "cannot open the key $key with the password in ORVANEL_SIGN_PASSWORD: a wrong password, or no PKCS#12 file"

if [ -n "${SOURCE_DATE_EPOCH-}" ]; then
  time=$SOURCE_DATE_EPOCH
else
  time=$(git -C "$tree" log -1 --format=%ct 2>/dev/null) ||
    fail "$tree is no git checkout: set SOURCE_DATE_EPOCH to the release's time"
fi
[[ $time =~ ^[0-9]+$ ]] || fail "the signing time $time is not a number of seconds since 1970"

work=$(mktemp -d "${TMPDIR:-/tmp}/orvanel-sign.XXXXXX")
partial=""
trap 'rm -rf "$work"; [ -z "$partial" ] || rm -f "$partial"' EXIT

unzip -q "$unsigned" -d "$work/unsigned" || fail "cannot unpack $unsigned"
folders=("$work"/unsigned/*)
[ ${#folders[@]} -eq 1 ] && [ -f "${folders[0]}/ADMIN.txt" ] || fail "$unsigned is not a package: no folder with ADMIN.txt"
folder=$(basename "${folders[0]}")
[[ $folder == orvanel-* ]] || fail "$unsigned holds $folder, not orvanel-<version>"
# The name shown in the signature, "Orvanel 3.7-b412": the display name.
name="Orvanel ${folder#orvanel-}"

options=(-pkcs12 "$key" -h sha256 -n "$name" -time "$time")
if [ -n "$ORVANEL_SIGN_PASSWORD" ]; then
  # printf is bash's own, so the password is on no command line.
  (umask 077 && printf '%s' "$ORVANEL_SIGN_PASSWORD" >"$work/password")
  options+=(-readpass "$work/password")
fi
[ -z "${ORVANEL_SIGN_TIMESTAMP_URL-}" ] || options+=(-ts "$ORVANEL_SIGN_TIMESTAMP_URL")

mkdir -p "$work/signed/$folder"
count=0
for program in "$work/unsigned/$folder"/*.exe; do
  [ -f "$program" ] || fail "$unsigned holds no program"
  file=$(basename "$program")
  # osslsigncode 2.5 writes its errors to standard output, 2.9 to standard
  # error: keep both, and show them on failure.
  osslsigncode sign "${options[@]}" -in "$program" -out "$work/signed/$folder/$file" >"$work/log" 2>&1 || {
    cat "$work/log" >&2
    fail "osslsigncode could not sign $file (its output is above)"
  }
  echo "sign: signed $file"
  count=$((count + 1))
done

# Written beside the output and renamed at the end, so that no partial
# package ever has its name.
partial=$(mktemp "$(dirname "$signed")/.sign.XXXXXX")
python3 "$tree/packaging/pack.py" "$work/unsigned/$folder/ADMIN.txt" "$work/signed/$folder" "$partial" ||
  fail "cannot pack $signed"
chmod 644 "$partial"
mv -f "$partial" "$signed"
partial=""
echo "sign: wrote $signed ($count programs signed as \"$name\", signing time $time)"
