#!/usr/bin/env bash
# Runs the benchmarks in an optimised build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target bench_command
build/bench/bench/bench_command --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
