#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang, libFuzzer, address and
# undefined sanitizers) and runs each for SECONDS_PER_TARGET seconds, starting
# from the seeds in fuzz/corpus/. Any finding fails the run; its input is kept
# in build/fuzz/findings/ and replays with build/fuzz/fuzz/fuzz_<target> FILE.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   # default 12: about a minute in all
#
# Inputs of past findings stay in fuzz/corpus/<target>/regression-* and run
# first on every run.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(command hex features pinpad link settings reader dialog_text)
build=build/fuzz

command -v clang++-14 >/dev/null || { echo "fuzz: clang++-14 missing (scripts/setup.sh)" >&2; exit 2; }
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

seconds=${1:-12}
mkdir -p "$build/findings"
export UBSAN_OPTIONS=print_stacktrace=1
failed=()
for target in "${targets[@]}"; do
  # New inputs go to the build tree; the committed seeds stay as they are.
  mkdir -p "$build/corpus/$target"
  echo "== fuzz_$target, ${seconds}s"
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
      "$build/corpus/$target" "fuzz/corpus/$target" 2>"$build/fuzz_$target.log"; then
    grep -E "INVARIANT BROKEN|ERROR:|SUMMARY:|Test unit written" "$build/fuzz_$target.log" >&2 || true
    failed+=("$target")
  fi
  grep -E "^stat::number_of_executed_units" "$build/fuzz_$target.log" || true
done

if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]} (inputs in $build/findings/, logs in $build/fuzz_*.log)" >&2
  exit 1
fi
