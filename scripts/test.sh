#!/usr/bin/env bash
# Builds and runs every test: the normal build, the address/undefined
# sanitizer build, the thread sanitizer build, and the Windows cross build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

for preset in linux asan tsan; do
  echo "== $preset build =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

echo "== Windows cross build, its tests under Wine, the installer =="
scripts/test-windows.sh
scripts/fuzz.sh 12  # fuzz targets, 12 s each
