#!/usr/bin/env bash
# The one command that installs what is needed, builds every configuration and runs every test:
# Linux (debug, sanitizers, and optimised with a short run of every benchmark), the fuzz targets,
# 64-bit Windows under wine, and the 32-bit Windows link.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh all

run() { echo "==> $*"; "$@"; }

# One format for every source: a file that clang-format would change fails the run.
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run --Werror || {
  echo "Some sources are not formatted; run: git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i" >&2
  exit 1
}

for preset in native native-asan; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset"
  run ctest --preset "$preset"
done

# The optimised build: its compiler sees more (and warns of more), and its tests run too.
run cmake --preset release >/dev/null
run cmake --build --preset release
run ctest --preset release
# Each benchmark once, briefly, and the measuring scripts on a small Maildir: a benchmark that
# crashes or reports an error, or a table that cannot be made, fails here. Its timings mean
# nothing on a shared machine.
run scripts/bench.sh --smoke >build/release/bench-smoke.txt
# The Debian package of the release build: installed, run, purged.
run scripts/package-test.sh

# Every fuzz target for about 10 seconds on its seed corpus (scripts/fuzz.sh 600 searches longer).
run scripts/fuzz.sh 10

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
