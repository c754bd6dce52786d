#!/usr/bin/env bash
# Builds the current commit twice, from two clean clones in directories of
# different path lengths, as README says (the windows preset), and compares
# the three programs and the package byte for byte. Prints every file that
# differs and fails if any does. Uncommitted changes take no part.
set -euo pipefail
cd "$(dirname "$0")/.."

commit=$(git rev-parse HEAD)
jobs=$(nproc)
work=$(mktemp -d "${TMPDIR:-/tmp}/orvanel-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "reproducible: building $commit twice"
[ -z "$(git status --porcelain --untracked-files=no)" ] || echo "reproducible: (uncommitted changes are not built)"
first="$work/a"
second="$work/second-clone-in-a-longer-directory"
for clone in "$first" "$second"; do
  git clone --quiet --no-checkout "$PWD" "$clone"
  git -C "$clone" checkout --quiet --detach "$commit"
  (cd "$clone" && cmake --preset windows >/dev/null &&
    cmake --build --preset windows -j"$jobs" --target admin_package >/dev/null)
done

# The built programs, the package folder and the archive; a file that only
# one build made counts as a difference too.
list() {
  (cd "$1/build/windows" && {
    echo host/orvanel_host.exe
    echo install/orvanel_install.exe
    echo uninstall/orvanel_uninstall.exe
    echo "$(sed -n 's/^package=//p' version.txt).zip"
    find package -type f
  })
}
files=$(sort -u <(list "$first") <(list "$second"))

differ=0
count=0
for file in $files; do
  count=$((count + 1))
  a="$first/build/windows/$file"
  b="$second/build/windows/$file"
  if [ ! -f "$a" ] || [ ! -f "$b" ]; then
    echo "reproducible: only one build made $file"
    differ=$((differ + 1))
  elif ! cmp -s "$a" "$b"; then
    echo "reproducible: $file differs ($(cmp -l "$a" "$b" 2>/dev/null | wc -l || true) bytes, first at byte $(cmp "$a" "$b" | sed -E "s/.* byte ([0-9]+).*/\1/" || true))"
    differ=$((differ + 1))
  fi
done

if [ "$differ" -ne 0 ]; then
  echo "reproducible: $differ of $count files differ"
  exit 1
fi
echo "reproducible: all $count files identical"
