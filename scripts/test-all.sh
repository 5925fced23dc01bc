#!/usr/bin/env bash
# The one command that installs what is needed, builds every configuration and runs every test:
# Linux (debug and sanitizers), the fuzz targets, 64-bit Windows under wine, and the 32-bit
# Windows link.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

run() { echo "==> $*"; "$@"; }

for preset in native native-asan; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  run ctest --preset "$preset"
done

# Every fuzz target for about 20 seconds on its seed corpus (scripts/fuzz.sh 600 searches longer).
run scripts/fuzz.sh 20

run cmake --preset win64 >/dev/null
run cmake --build --preset win64
# Make the wine prefix once, before test programs start side by side in it.
cmake/wine-run.sh "$PWD/build/win64" wineboot --init >/dev/null 2>&1 || true
status=0
run ctest --preset win64 || status=$?
WINEPREFIX="$PWD/build/win64/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
((status == 0)) || exit "$status"

run cmake --preset win32 >/dev/null
run cmake --build --preset win32

echo "All builds and tests passed."
