#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the suite.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  cmake make g++ clang-format googletest
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine64 wine
  xvfb xauth imagemagick
  curl procps unzip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "setup: all packages present"
