#!/usr/bin/env bash
# Latency benchmark on the simulated board: frames written at the stream's rate
# (60 fps) into vex-mpp-sim, from the end of each write to the first commit of
# that frame on a plane, against FFmpeg decoding the same frames alone; for
# show-on-arrival and vblank pacing. Prints the figures; exits 3 when a target
# is missed. Extra arguments go to the benchmark (e.g. --frames 1200).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
bash tools/gen_streams.sh build/test-streams build/tools/nal_dump
build/bench/bench_latency --stream build/test-streams/h264_stamped_720p60.h264 "$@"
