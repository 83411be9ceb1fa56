#!/usr/bin/env bash
# A screenshot of the connection dialog after a real exchange (offscreen
# unless a display is set). Argument: the PNG to write. Needs only what
# scripts/run.sh needs.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-connection-dialog.png}")
scripts/setup.sh demo
cmake --preset demo >/dev/null
cmake --build --preset demo -j "$(nproc)" >/dev/null
VELMORA_BUILD="$PWD/build/demo" exec python3 scripts/demo.py screenshot "$out"
