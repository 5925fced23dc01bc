#!/usr/bin/env bash
# Runs a cross-compiled test program under wine64 with a prefix private to the build folder.
# Usage: wine-run.sh BUILD_DIR PROGRAM [ARGS...]
set -euo pipefail
build_dir=$1; shift
export WINEPREFIX="$build_dir/wineprefix"
mkdir -p "$WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec /usr/lib/wine/wine64 "$@"
