#!/usr/bin/env bash
# GPU pass benchmark on the simulated board: the cost of one 720p and one
# 1080p frame through the dewarp and colour-grade pass on this machine's
# software GPU, the simulator's own conversions apart, and the number of CPU
# copies of the picture the program makes. Extra arguments go to the
# benchmark (e.g. --frames 60).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
build/bench/bench_gpu_pass "$@"
