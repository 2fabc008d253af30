#!/usr/bin/env bash
# The main job on the simulated board: builds vex-mpp, makes a sample H.264
# camera stream and plays it through vex-mpp-sim. Output lands in out/demo.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
out=out/demo
rm -rf "$out"
mkdir -p "$out"

echo "== making a 5 s 1280x720 60 fps H.264 sample stream"
ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=60 -t 5 \
  -c:v libx264 -preset ultrafast -tune zerolatency -g 60 -x264-params aud=1 \
  -bsf:v h264_mp4toannexb -f h264 "$out/sample.h264"
# An access unit delimiter after the last picture closes its access unit.
printf '\x00\x00\x00\x01\x09\xf0' >> "$out/sample.h264"
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of csv=p=0 "$out/sample.h264")

echo "== playing it on the simulated board"
set +e
VEX_SIM_DIR="$PWD/$out/board" ./build/vex-mpp-sim < "$out/sample.h264" 2> "$out/vex-mpp.log"
status=$?
set -e
cat "$out/vex-mpp.log"
decoded=$(sed -n 's/^vex-sim: decoder produced \([0-9]*\) frames.*/\1/p' "$out/vex-mpp.log")
echo "== exit status $status; stream frames $frames, decoded ${decoded:-?}"
echo "== log: $out/vex-mpp.log, simulated board: $out/board"
