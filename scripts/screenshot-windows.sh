#!/usr/bin/env bash
# Screenshots of the Windows client under Wine (private Xvfb and Wine
# prefix): the connection dialog after a real exchange, the About dialog and
# the PIN entry dialog, as PNG files. Argument: the output directory
# (default: screenshots/).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-screenshots}")
scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc)" >/dev/null
if [ ! -x build/linux/tools/test-server/velmora-server ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$(nproc)" --target velmora-server >/dev/null
fi
exec env -u DISPLAY -u WINEPREFIX WINEDEBUG=-all python3 scripts/screenshot_windows.py "$out"
