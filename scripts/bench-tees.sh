#!/usr/bin/env bash
# Tees benchmark on the simulated board: frames shown per second with the GPU
# pass alone, with the encode tee behind a slowed encoder and with the SPI tee
# read by a busy panel process, shortest of N runs each, and their ratios.
# Extra arguments go to the benchmark (e.g. --runs 5). Exits 3 when a ratio
# is below 0.95.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
bash tools/gen_streams.sh build/test-streams build/tools/nal_dump
build/bench/bench_tees --stream build/test-streams/h264_stamped_onekey_480p.h264 "$@"
