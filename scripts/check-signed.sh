#!/usr/bin/env bash
# The rebuilder's proof: each program of a signed package, with its signature
# removed, is byte for byte the same program of an unsigned package, and
# ADMIN.txt is the same. With a rebuild of the release's tag as UNSIGNED.zip,
# this shows that the signed release is exactly that source plus signatures.
#   scripts/check-signed.sh SIGNED.zip UNSIGNED.zip
# Prints one line per file and exits non-zero on any difference.
set -euo pipefail

fail() {
  echo "check-signed: $*" >&2
  exit 2
}

[ $# -eq 2 ] || fail "usage: scripts/check-signed.sh SIGNED.zip UNSIGNED.zip"
for tool in osslsigncode unzip; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
work=$(mktemp -d "${TMPDIR:-/tmp}/orvanel-check-signed.XXXXXX")
trap 'rm -rf "$work"' EXIT
unzip -q "$1" -d "$work/signed" || fail "cannot unpack $1"
unzip -q "$2" -d "$work/unsigned" || fail "cannot unpack $2"

# Every file of either package by its path inside it; the checksums differ
# by design.
names=$(cd "$work" && find signed unsigned -type f ! -name SHA256SUMS.txt | cut -d/ -f2- | sort -u)
differ=0
while read -r name; do
  signed=$work/signed/$name
  unsigned=$work/unsigned/$name
  if [ ! -f "$signed" ] || [ ! -f "$unsigned" ]; then
    line="in one package only"
  elif [[ $name == *.exe ]]; then
    rm -f "$work/removed"
    if ! osslsigncode remove-signature -in "$signed" -out "$work/removed" >/dev/null 2>&1; then
      line="DIFFERS: no signature to remove"
    elif cmp -s "$work/removed" "$unsigned"; then
      line="the same without its signature"
    else
      line="DIFFERS without its signature"
    fi
  elif cmp -s "$signed" "$unsigned"; then
    line="the same"
  else
    line="DIFFERS"
  fi
  echo "check-signed: $name: $line"
  [[ $line == the\ same* ]] || differ=$((differ + 1))
done <<<"$names"

if [ "$differ" -ne 0 ]; then
  echo "check-signed: $differ files differ"
  exit 1
fi
echo "check-signed: $1 is $2 plus signatures"
