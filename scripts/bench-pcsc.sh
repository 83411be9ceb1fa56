#!/usr/bin/env bash
# Measures one SCardTransmit round trip and the card insertion and removal
# latency through a private pcscd and the simulated reader, in an optimised
# build. Arguments: [TRANSMITS [EVENTS [POLLED_EVENTS]]].
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target bench_pcsc simreader simreader-ctl
build/bench/bench/bench_pcsc "$@"
