#!/usr/bin/env bash
# Throughput benchmark on the simulated board: vex-mpp-sim at full speed
# (show-on-arrival, unpaced input) against FFmpeg decoding the same stream
# alone with the same decoder threads, as frames per second and their ratio.
# Prints the figures; exits 3 when the target ratio is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
bash tools/gen_streams.sh build/test-streams build/tools/nal_dump
build/bench/bench_throughput --stream build/test-streams/h264_stamped_720p60.h264 "$@"
