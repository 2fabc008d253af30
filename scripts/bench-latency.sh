#!/usr/bin/env bash
# Latency benchmark on the simulated board: frames written at the stream's rate
# (60 fps) into vex-mpp-sim, from the end of each write to the first commit of
# that frame on a plane, against FFmpeg decoding the same frames alone; for
# show-on-arrival and vblank pacing. Every case runs 3 times, the cases taking
# turns; each percentile is the smallest of the 3, printed with their spread.
# Prints the figures; exits 3 when a target is missed by the default settings.
# Extra arguments go to the benchmark (e.g. --frames 600 --runs 5).
#
# Besides the default settings it measures the opt-in low-latency settings on
# a plain feed, each against the default on the same feed and pacing: the
# idle cut, the standing-frame drop and both; and, for its targets only, plane
# updates that block until the vblank (as on drivers built on the atomic
# helpers), without and with the standing-frame drop. Those runs print their
# figures for comparison; their targets do not decide the exit status. About
# 3 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
bash tools/gen_streams.sh build/test-streams build/tools/nal_dump
bench=(build/bench/bench_latency --stream build/test-streams/h264_stamped_720p60.h264)

echo "== default settings, and the opt-in settings on a plain feed"
status=0
"${bench[@]}" "$@" || status=$?
echo "== VEX_SIM_BLOCKING_COMMIT=1"
"${bench[@]}" --env VEX_SIM_BLOCKING_COMMIT=1 --cases targets --runs 2 "$@" || true
echo "== VEX_SIM_BLOCKING_COMMIT=1 VEX_KMS_STANDING_DROP=30"
"${bench[@]}" --env VEX_SIM_BLOCKING_COMMIT=1 --env VEX_KMS_STANDING_DROP=30 --cases targets \
    --runs 2 "$@" || true
exit $status
