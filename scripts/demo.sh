#!/usr/bin/env bash
# The main job on the simulated board: builds vex-mpp, makes a sample H.264
# camera stream and plays it in real time through vex-mpp-sim on a board with
# an HDMI monitor and a DSI panel (preset rk3566-hdmi-dsi). Output lands in
# out/demo: the log, a screenshot of each output, the display update log.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/stamp_filter.sh

scripts/setup.sh build
out=$PWD/out/demo
rm -rf "$out"
mkdir -p "$out"

fps=60
echo "== making an 8 s 1280x720 ${fps} fps H.264 sample stream (frame numbers in its top band)"
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "testsrc2=size=1280x720:rate=$fps" \
  -t 8 -vf "$(stamp_filter)" -pix_fmt yuv420p -c:v libx264 -preset ultrafast -tune zerolatency \
  -g "$fps" -x264-params aud=1 -bsf:v h264_mp4toannexb -f h264 "$out/sample.h264"
# An access unit delimiter after the last picture closes its access unit.
printf '\x00\x00\x00\x01\x09\xf0' >> "$out/sample.h264"
frames=$(ffprobe -v fatal -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of csv=p=0 "$out/sample.h264")

echo "== playing it at $fps fps on the simulated rk3566-hdmi-dsi board (HDMI monitor + DSI panel)"
set +e
VEX_SIM_BOARD=rk3566-hdmi-dsi VEX_SIM_DIR="$out/board" VEX_SIM_UPDATE_LOG="$out/updates.log" \
VEX_SIM_SCREENSHOT_AT_EXIT=1 VEX_KMS_CADENCE=1 \
  ./build/tools/vex-feed --fps "$fps" --log "$out/feed.log" "$out/sample.h264" \
  -- ./build/vex-mpp-sim 2> "$out/vex-mpp.log"
status=$?
set -e
cat "$out/vex-mpp.log"
shots=()
for png in "$out"/board/screen-*.png; do
  [ -e "$png" ] || continue
  cp "$png" "$out/"
  shots+=("$out/$(basename "$png")")
done

decoded=$(sed -n 's/^vex-sim: decoder produced \([0-9]*\) frames.*/\1/p' "$out/vex-mpp.log")
echo "== exit status $status; stream frames $frames, decoded ${decoded:-?}"
sed -n 's/^vex-mpp: end of input — /== at end of input: /p' "$out/vex-mpp.log"
# Each plane update names the frame number it put on screen (stamp=N).
for o in HDMI-A-1 DSI-1; do
  awk -v o="$o" '$2 == o && /stamp=[0-9]/ { sub(/.*stamp=/, ""); s = $0 + 0; n++; if (n > 1 && s <= last) bad++; last = s }
    END { printf "== %s: %d frames shown, %s\n", o, n, bad ? bad " out of order" : "in order" }' \
    "$out/updates.log"
done
echo "== log: $out/vex-mpp.log"
echo "== screenshots: ${shots[*]:-none}"
echo "== display updates: $out/updates.log; simulated board: $out/board"
exit "$status"
