#!/usr/bin/env bash
# The main job: sets the machine up, builds the Windows programs and their
# package, then shows the service's whole life on Wine's SCM under Xvfb.
#   scripts/demo.sh [--keep] [--out DIR]
# --keep leaves the service running at the end and says how to end it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" >/dev/null
package=build/windows/$(sed -n 's/^package=//p' build/windows/version.txt).zip
echo "Built $package from:"
unzip -l "$package" | sed -n '4,$p' | head -n -2
echo
exec env ORVANEL_BUILD="$PWD/build/windows" python3 scripts/demo.py "$@"
