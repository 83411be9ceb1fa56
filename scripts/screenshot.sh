#!/usr/bin/env bash
# A screenshot of the connection dialog after a real exchange (offscreen
# unless a display is set). Argument: the PNG to write.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-connection-dialog.png}")
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
exec python3 scripts/demo.py screenshot "$out"
