#!/usr/bin/env bash
# Builds both installer packages in one go: build/win64/Tarnwick-x64.msi and
# build/win32/Tarnwick-x86.msi, each beside its lean module and .debug file in build/<preset>/package.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target msi
done
ls -l build/win64/Tarnwick-x64.msi build/win32/Tarnwick-x86.msi
