#!/usr/bin/env bash
# Latency benchmark on the simulated board: frames written at the stream's rate
# (60 fps) into vex-mpp-sim, from the end of each write to the first commit of
# that frame on a plane, against FFmpeg decoding the same frames alone; for
# show-on-arrival and vblank pacing. Prints the figures; exits 3 when a target
# is missed by the default settings. Extra arguments go to the benchmark (e.g.
# --frames 1200).
#
# Besides the default settings it measures: plane updates that block until the
# vblank (as on drivers built on the atomic helpers), and the opt-in
# low-latency settings. Those runs print their figures for comparison; their
# targets do not decide the exit status.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
bash tools/gen_streams.sh build/test-streams build/tools/nal_dump
bench=(build/bench/bench_latency --stream build/test-streams/h264_stamped_720p60.h264)

echo "== default settings"
status=0
"${bench[@]}" "$@" || status=$?
for extra in "VEX_SIM_BLOCKING_COMMIT=1" "VEX_KMS_STANDING_DROP=30"; do
    echo "== $extra"
    "${bench[@]}" --env "$extra" "$@" || true
done
exit $status
