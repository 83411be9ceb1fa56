#!/usr/bin/env bash
# The client's main job, for a newcomer: installs only what the Linux demo
# needs, builds only the client, the server peer and the simulated reader,
# and runs the client against the server peer on port 9688 with a short
# demo. Where no reader is attached, a private pcscd with the simulated
# reader stands in. The exchange is printed as the server sees it.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
step() { printf '\n== [%s/4] %s (%d s so far)\n' "$1" "$2" $((SECONDS - start)); }

step 1 "Debian packages the demo needs (scripts/setup.sh demo)"
scripts/setup.sh demo
step 2 "configure build/demo: the client, velmora-server and the simulated reader, no tests"
cmake --preset demo >/dev/null
step 3 "build"
cmake --build --preset demo -j "$(nproc)"
step 4 "the demo: velmora-server on port 9688 plays tools/demo/demo-script.txt to the client"
code=0
VELMORA_BUILD="$PWD/build/demo" python3 scripts/demo.py run || code=$?

cat <<END

== What you saw ($((SECONDS - start)) s in all)
The client connected by itself to 127.0.0.1:9688 and opened the reader (the
simulated reader in a private pcscd when none is attached). velmora-server,
standing in for the real server, greeted it and sent the commands of
tools/demo/demo-script.txt: '>' is a command, '<' the client's reply read
from the card through PC/SC, '!' an event the client sent by itself when the
card was taken out and put back, '#' a note.

To see the client's connection dialog after such an exchange:
  scripts/screenshot.sh dialog.png
To talk to the client yourself: build/demo/tools/test-server/velmora-server, then
start build/demo/src/qt/velmora-client and type commands (docs/protocol.md).
Every test: scripts/test.sh (installs the full tool set: Wine, sanitizers...).
END
exit "$code"
