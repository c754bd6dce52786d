#!/usr/bin/env bash
# Every test: sets the machine up, builds every build and runs every suite.
#   native:  the portable core and its unit tests under ASan and UBSan, and
#            again under ThreadSanitizer (the host's two threads among them)
#   fuzz:    the libFuzzer targets (clang, ASan, UBSan), each replaying its
#            seeds and then running a fixed number of inputs
#   windows: the three programs, the unit tests under Wine, and the
#            end-to-end tests under Wine's SCM and Xvfb
#   reproducible: two clean builds of the commit, compared byte for byte
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
cmake --preset native-tsan >/dev/null
cmake --build --preset native-tsan -j"$jobs"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"

# Wine prints to the terminal when it is not told otherwise.
unset DISPLAY
status=0
summary=()
run_suite() {
  local name=$1
  shift
  local log
  log=$(mktemp)
  if ctest "$@" 2>&1 | tee "$log"; then :; fi
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" || true)
  if [ -z "$line" ]; then
    status=1
    line="no result"
  else
    local failed total
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    [ "$failed" -eq 0 ] || status=1
    passed_all=$((passed_all + total - failed))
    failed_all=$((failed_all + failed))
  fi
  # The end-to-end suites are unittest scripts: say how many cases ran.
  # Only ctest's verbose lines ("56: Ran 12 tests") count; a failed suite's
  # output is repeated without that prefix.
  local cases
  cases=$({ grep -oE '^[0-9]+: Ran [0-9]+ tests?' "$log" || true; } | awk '{n += $3} END {print n + 0}')
  [ "$cases" -eq 0 ] || line="$line ($cases cases)"
  summary+=("$name: $line")
  rm -f "$log"
}
passed_all=0
failed_all=0

# Two clean builds of the commit give the same programs and package.
if bash scripts/reproducible.sh; then
  passed_all=$((passed_all + 1))
  summary+=("reproducible build: identical")
else
  failed_all=$((failed_all + 1))
  status=1
  summary+=("reproducible build: failed (the builds differ or did not build)")
fi

run_suite "native unit tests" --preset native -j"$jobs"
run_suite "native unit tests (ThreadSanitizer)" --preset native-tsan -j"$jobs"
run_suite "fuzz targets (libFuzzer)" --preset fuzz
run_suite "windows unit tests (Wine)" --preset windows -LE e2e -j"$jobs"
run_suite "windows end-to-end tests (Wine SCM)" --preset windows -L e2e -V

# The unit tests' prefix in the build tree is left, but not its server.
WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k 2>/dev/null || true

echo
echo "Summary"
for line in "${summary[@]}"; do echo "  $line"; done
echo "total: $passed_all passed, $failed_all failed"
exit $status
