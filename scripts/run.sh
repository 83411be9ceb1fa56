#!/usr/bin/env bash
# The client's main job: installs what is missing, builds, and runs the
# client against the server peer on port 9688 with a short demo. Where no
# reader is attached, a private pcscd with the simulated reader stands in.
# The exchange is printed as the server sees it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
exec python3 scripts/demo.py run
