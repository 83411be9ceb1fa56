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

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
exec 3>&-
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")" WINEPREFIX="$work/prefix" WINEDEBUG=-all

python3 scripts/bench_windows.py --before "$work/build/mingw/src/win32/velmora-client-e2e.exe" \
  --before-name "revision $baseline_rev (before)" "$@"
