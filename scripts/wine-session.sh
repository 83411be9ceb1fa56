# Sourced by the scripts that run the Windows client under Wine: a private
# Xvfb and a private Wine prefix under the folder $work, both gone (with
# $work) when the sourcing script exits.
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
