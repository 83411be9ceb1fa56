#!/usr/bin/env bash
# Measures the client end to end and writes BENCHMARKS.md (about a minute).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
exec python3 scripts/benchmarks.py "$@"
