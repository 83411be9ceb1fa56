#!/usr/bin/env bash
# The Windows client's command path under Wine, beside an earlier revision's
# client and a minimal Win32 message-loop client, into BENCHMARKS.md (its
# own section). VELMORA_WIN_BASELINE names the earlier revision (default:
# the one before the command path stopped touching the dialog). Runs on a
# private Xvfb and Wine prefix, both removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
baseline_rev=${VELMORA_WIN_BASELINE-3c0d9d8}

cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs" --target velmora-client-e2e winscard-sim bench-echo-win32 >/dev/null
if [ ! -x build/linux/tools/test-server/velmora-server ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j "$jobs" --target velmora-server >/dev/null
fi

work=$(mktemp -d /tmp/velmora-bench-windows.XXXXXX)
git archive "$baseline_rev" | tar -x -C "$work/"
(cd "$work" && cmake --preset mingw >/dev/null && cmake --build --preset mingw -j "$jobs" --target velmora-client-e2e >/dev/null)

# shellcheck source=scripts/wine-session.sh
. scripts/wine-session.sh

python3 scripts/bench_windows.py --before "$work/build/mingw/src/win32/velmora-client-e2e.exe" \
  --before-name "revision $baseline_rev (before)" "$@"
