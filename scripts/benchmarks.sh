#!/usr/bin/env bash
# Measures the client end to end and writes BENCHMARKS.md (a few minutes).
# VELMORA_BASELINE names a git revision whose client is measured beside this
# one for a before and after (default: the revision before the leaner
# command path; empty for none). The Windows build is measured under Wine
# when build/mingw holds it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null

baseline_rev=${VELMORA_BASELINE-0058942}
args=()
if [ -n "$baseline_rev" ] && git cat-file -e "$baseline_rev^{commit}" 2>/dev/null; then
  work=$(mktemp -d /tmp/velmora-baseline.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  git archive "$baseline_rev" | tar -x -C "$work"
  cmake -S "$work" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$work/build" -j "$(nproc)" --target velmora-client-e2e >/dev/null
  args+=(--baseline "$work/build/src/qt/velmora-client-e2e" --baseline-name "revision $baseline_rev (before)")
fi
python3 scripts/benchmarks.py "${args[@]}" "$@"
