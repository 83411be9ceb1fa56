#!/usr/bin/env bash
# Builds and runs every test: the normal build, the address/undefined
# sanitizer build, the thread sanitizer build, the Windows cross build with
# its tests under Wine, and a short fuzzing run. Ends with one line that
# adds up the test counts of all of them. Installs the Debian packages it
# needs first, so it runs on a fresh machine by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
# Quick when everything is installed; a machine set up only for the demo
# lacks the test tools (pcsc_scan, lintian, desktop-file-validate, Wine...).
echo "== Debian packages (scripts/setup.sh) =="
scripts/setup.sh
jobs=$(nproc)
summaries=$(mktemp)
output=$(mktemp)
trap 'rm -f "$summaries" "$output"' EXIT

# Runs a test command, echoing its output and keeping ctest's summary line.
counted() {
  "$@" 2>&1 | tee "$output"
  grep -E "tests passed, [0-9]+ tests failed out of" "$output" >>"$summaries" || true
}

for preset in linux asan tsan; do
  echo "== $preset build =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  counted ctest --preset "$preset" -j "$jobs"
done

echo "== Windows cross build, its tests under Wine, the installer =="
counted scripts/test-windows.sh
echo "== fuzz targets, 12 s each =="
scripts/fuzz.sh 12

awk '{ total += $NF; failed += $(NF-5) } END { printf "tests: %d passed, %d failed\n", total - failed, failed }' "$summaries"
echo "time: $((SECONDS - start)) s"
