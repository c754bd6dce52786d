#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the suite.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  cmake make g++ clang-format googletest python3
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  wine64 wine
  xvfb xauth imagemagick
  curl procps unzip git
  osslsigncode openssl softhsm2 libengine-pkcs11-openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "setup: missing ${missing[*]}; not root and no sudo to install them: install them as root, then run this again" >&2
      exit 1
    fi
    sudo="sudo"
  fi
  echo "setup: installing ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "setup: all packages present"
