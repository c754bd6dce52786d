#!/usr/bin/env bash
# The release step that signs a package with the key of whoever ships the
# server: the three programs get an Authenticode signature (SHA-256), and the
# signed package holds them, the same ADMIN.txt and BUILDINFO.txt, and the
# checksums of the signed files, packed as reproducibly as the unsigned one.
#   scripts/sign.sh UNSIGNED.zip PKCS12 [SIGNED.zip]
#   ORVANEL_SIGN_PKCS11_MODULE=MODULE scripts/sign.sh UNSIGNED.zip pkcs11:URI CERT.pem [SIGNED.zip]
# The second form signs with a key in a token (a PKCS#11 key URI, and the
# signing certificate's file). SIGNED.zip is by default UNSIGNED.zip's name
# with -signed before .zip.
#   ORVANEL_SIGN_PASSWORD       the key's password or the token's PIN (may be
#                               empty); it never goes on a command line
#   ORVANEL_SIGN_CHAIN          the vendor's intermediate and root
#                               certificates (PEM): each signature carries
#                               them and is verified against them; without
#                               it, the PKCS#12's own chain
#   SOURCE_DATE_EPOCH           the signing time; by default the package's
#                               build time, from its BUILDINFO.txt
#   ORVANEL_SIGN_TIMESTAMP_URL  an RFC 3161 server that countersigns; its
#                               countersignature is verified against the
#                               system's CA bundle
# Without a timestamp, two signings with one RSA key and one osslsigncode
# version give the same bytes. Each signed program is verified before the
# package is written; any failure says what failed, exits non-zero and leaves
# no package.
set -euo pipefail

fail() {
  echo "sign: $*" >&2
  exit 1
}

module=${ORVANEL_SIGN_PKCS11_MODULE-}
if [ -n "$module" ]; then
  [ $# -eq 3 ] || [ $# -eq 4 ] ||
    fail "usage: ORVANEL_SIGN_PKCS11_MODULE=MODULE scripts/sign.sh UNSIGNED.zip pkcs11:URI CERT.pem [SIGNED.zip]"
  certificate=$3
  signed=${4-}
else
  [ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: scripts/sign.sh UNSIGNED.zip PKCS12 [SIGNED.zip]"
  signed=${3-}
fi
unsigned=$1
key=$2
signed=${signed:-${unsigned%.zip}-signed.zip}
tree=$(cd "$(dirname "$0")/.." && pwd)
chain=${ORVANEL_SIGN_CHAIN-}
# Where a timestamp's authority is looked up: Debian's bundle of the CAs
# that the system trusts.
system_cas=/etc/ssl/certs/ca-certificates.crt

for tool in osslsigncode openssl python3 unzip; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
[ -f "$unsigned" ] || fail "there is no package $unsigned"
[ -d "$(dirname "$signed")" ] || fail "there is no folder $(dirname "$signed") for $signed"
[ "$(realpath -m "$signed")" != "$(realpath "$unsigned")" ] || fail "SIGNED.zip would overwrite UNSIGNED.zip"
[ -z "$chain" ] || [ -f "$chain" ] || fail "there is no chain file $chain (ORVANEL_SIGN_CHAIN)"
[ -z "${ORVANEL_SIGN_TIMESTAMP_URL-}" ] || [ -f "$system_cas" ] || fail "there is no CA bundle $system_cas to verify timestamps with"

# openssl reads the password from the environment; osslsigncode 2.5 takes it
# from a file only, and refuses an empty file.
export ORVANEL_SIGN_PASSWORD=${ORVANEL_SIGN_PASSWORD-}
if [ -n "$module" ]; then
  [ -f "$module" ] || fail "there is no PKCS#11 module $module (ORVANEL_SIGN_PKCS11_MODULE)"
  [[ $key == pkcs11:* ]] || fail "the key $key is no PKCS#11 URI (pkcs11:...)"
  openssl x509 -in "$certificate" -noout 2>/dev/null || fail "there is no certificate (PEM) in $certificate"
  [ -n "$chain" ] || fail "a key in a token needs its chain: give the intermediate and root certificates in ORVANEL_SIGN_CHAIN"
else
  [ -f "$key" ] || fail "there is no key $key"
  openssl pkcs12 -in "$key" -noout -passin env:ORVANEL_SIGN_PASSWORD 2>/dev/null ||
    fail "cannot open the key $key with the password in ORVANEL_SIGN_PASSWORD: a wrong password, or no PKCS#12 file"
fi

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

# The package's own build time, so that signing it again, from any checkout,
# gives the same bytes.
if [ -n "${SOURCE_DATE_EPOCH-}" ]; then
  time=$SOURCE_DATE_EPOCH
else
  time=$(sed -n 's/^SOURCE_DATE_EPOCH=//p' "$work/unsigned/$folder/BUILDINFO.txt" 2>/dev/null | tr -d '\r')
  [ -n "$time" ] || fail "$unsigned has no BUILDINFO.txt with its build time: set SOURCE_DATE_EPOCH to the release's time"
fi
[[ $time =~ ^[0-9]+$ ]] || fail "the signing time $time is not a number of seconds since 1970"

chain_name=${chain:-the chain in $key}
if [ -z "$chain" ]; then
  chain=$work/chain.pem
  openssl pkcs12 -in "$key" -nokeys -cacerts -passin env:ORVANEL_SIGN_PASSWORD -out "$chain" 2>/dev/null
  grep -q 'BEGIN CERTIFICATE' "$chain" ||
    fail "$key holds no chain: give the intermediate and root certificates in ORVANEL_SIGN_CHAIN"
fi

if [ -n "$module" ]; then
  options=(-pkcs11module "$module" -key "$key" -certs "$certificate" -ac "$chain")
else
  options=(-pkcs12 "$key")
  [ -z "${ORVANEL_SIGN_CHAIN-}" ] || options+=(-ac "$chain")
fi
options+=(-h sha256 -n "$name" -time "$time")
if [ -n "$ORVANEL_SIGN_PASSWORD" ]; then
  # printf is bash's own, so the password is on no command line.
  (umask 077 && printf '%s' "$ORVANEL_SIGN_PASSWORD" >"$work/password")
  options+=(-readpass "$work/password")
fi
# Verified against the chain's root alone, so that a signature that does not
# carry its intermediate certificates fails, as it would on a machine that
# has them from nowhere else.
awk -v out="$work/chain-" '/BEGIN CERTIFICATE/ {n++} n {print > (out n ".pem")}' "$chain"
for certificate_file in "$work"/chain-*.pem; do
  [ "$(openssl x509 -in "$certificate_file" -noout -subject | cut -d= -f2-)" != \
    "$(openssl x509 -in "$certificate_file" -noout -issuer | cut -d= -f2-)" ] || cat "$certificate_file" >>"$work/root.pem"
done
[ -f "$work/root.pem" ] || fail "$chain_name holds no root certificate (one that issued itself)"
verify=(-CAfile "$work/root.pem")
if [ -n "${ORVANEL_SIGN_TIMESTAMP_URL-}" ]; then
  options+=(-ts "$ORVANEL_SIGN_TIMESTAMP_URL")
  verify+=(-TSA-CAfile "$system_cas")
fi

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
  # An expired certificate, a chain that does not lead to its root, a token
  # that signed with another key than the certificate's: none ships.
  osslsigncode verify "${verify[@]}" -in "$work/signed/$folder/$file" >"$work/log" 2>&1 || {
    cat "$work/log" >&2
    fail "the signature of $file does not verify against $chain_name: $(grep -m1 -oE 'Verify error: .*' "$work/log" || echo "see the output above")"
  }
  echo "sign: signed and verified $file"
  count=$((count + 1))
done

for file in "$work/unsigned/$folder"/*; do
  [[ $file == *.exe || $file == */SHA256SUMS.txt ]] || cp "$file" "$work/signed/$folder/"
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
