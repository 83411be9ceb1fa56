#!/usr/bin/env bash
# The server side, end to end on this machine: a "server" pcscd with
# velmora-reader listening on a loopback port, the client lending a reader
# (a private pcscd with the simulated reader, the "workstation"), and
# ordinary server programs (pcsc_scan, opensc-tool) using the lent card.
# Each pcscd runs in a mount namespace of its own; nothing touches the
# system's pcscd. Run as root or with sudo on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" >/dev/null
exec python3 scripts/server_demo.py "$@"
