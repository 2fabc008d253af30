#!/usr/bin/env bash
# Idle-cost benchmark on the simulated board: vex-mpp-sim in standby (input
# open, no frames) on a 1920x1080 DSI output with the menu, HUD, OSD pop-up,
# detection and connect screen on; CPU share of one core over N windows (the
# least is the figure) and resident memory. Extra arguments go to the
# benchmark (e.g. --windows 3 --seconds 20). Exits 3 when standby costs 1 %
# of one core or more.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
build/bench/bench_idle "$@"
