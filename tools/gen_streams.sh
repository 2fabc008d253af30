#!/usr/bin/env bash
# Generates the elementary streams played by the end-to-end tests.
#
#   gen_streams.sh OUTDIR NAL_DUMP
#
# Each stream NAME gets NAME.frames holding the number of pictures a decoder
# produces from it (for hevc_slices_first.h265: from its first parameter sets on).
# Nothing is redone while OUTDIR/.stamp matches this script and the tool.
set -euo pipefail

out=${1:?usage: gen_streams.sh OUTDIR NAL_DUMP}
nal_dump=${2:?usage: gen_streams.sh OUTDIR NAL_DUMP}
[[ -x $nal_dump ]] || { echo "gen_streams: $nal_dump is not executable" >&2; exit 1; }
mkdir -p "$out"
here=$(dirname "$0")
# shellcheck source=stamp_filter.sh
source "$here/stamp_filter.sh"
stamp=$(cat "$0" "$here/stamp_filter.sh" "$nal_dump" | md5sum | cut -d' ' -f1)
if [[ -f $out/.stamp && $(cat "$out/.stamp") == "$stamp" ]]; then
    echo "test streams up to date in $out"
    exit 0
fi
rm -f "$out/.stamp"
work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

die() { echo "gen_streams: $*" >&2; exit 1; }

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }

# h264 W H FRAMES OUT [X264_PARAMS]: a 30 fps test pattern, no B-frames.
h264() {
    ff -f lavfi -i "testsrc2=size=$1x$2:rate=30" -frames:v "$3" -pix_fmt yuv420p \
        -c:v libx264 -preset ultrafast -bf 0 -x264-params "${5:-keyint=30}" \
        -bsf:v h264_mp4toannexb -f h264 "$4"
}

# hevc W H FRAMES OUT [X265_PARAMS]: the same for H.265, closed GOPs (IDR keyframes).
hevc() {
    ff -f lavfi -i "testsrc2=size=$1x$2:rate=30" -frames:v "$3" -pix_fmt yuv420p \
        -c:v libx265 -preset ultrafast \
        -x265-params "log-level=error:bframes=0:open-gop=0:${5:-keyint=30}" -f hevc "$4"
}

# h264_stamped W H FRAMES OUT [KEYINT [BFRAMES]]: a 60 fps stamped test
# pattern, an IDR every KEYINT pictures (default 60: 1 s), no B-frames unless
# asked for.
h264_stamped() {
    local k=${5:-60}
    ff -f lavfi -i "testsrc2=size=$1x$2:rate=60" -frames:v "$3" -vf "$(stamp_filter)" \
        -pix_fmt yuv420p -c:v libx264 -preset ultrafast -bf "${6:-0}" \
        -x264-params "keyint=$k:min-keyint=$k:scenecut=0" -bsf:v h264_mp4toannexb -f h264 "$4"
}

# Number of pictures a software decoder gets out of a stream fed access unit by access unit.
count_frames() { "$nal_dump" count "$1" "$2"; }

# NAL types per access unit ("<index> <bytes> <types...>").
dump() { "$nal_dump" dump "$1" "$2"; }

# awk over a dump: has(t) tells whether the current access unit holds a NAL of type t.
au_awk() {
    awk 'function has(t,  i) { for (i = 3; i <= NF; i++) if ($i == t) return 1; return 0 }
         '"$1"
}

# close_stream CODEC FILE: ends the file with an access unit delimiter, as the
# next access unit of a live feed would, so that the last picture is complete.
close_stream() {
    if [[ $1 == h264 ]]; then printf '\x00\x00\x00\x01\x09\xf0' >>"$2"
    else printf '\x00\x00\x00\x01\x46\x01\x50' >>"$2"; fi
}

# finish NAME CODEC FRAMES: closes the stream, checks the decodable picture
# count and publishes NAME.
finish() {
    local got
    close_stream "$2" "$work/$1"
    got=$(count_frames "$2" "$work/$1")
    [[ $got == "$3" ]] || die "$1: expected $3 pictures, decoder gets $got"
    echo "$3" >"$work/$1.frames"
    mv "$work/$1" "$work/$1.frames" "$out/"
}

# --- plain samples ----------------------------------------------------------
h264 1280 720 60 "$work/h264_720p.h264"
finish h264_720p.h264 h264 60

hevc 1280 720 60 "$work/hevc_720p.h265"
finish hevc_720p.h265 hevc 60

# --- resolution change: 720p then 360p, the second part from a new IDR with its
# own SPS/PPS. The second part is long enough for a stall after the change.
h264 1280 720 30 "$work/a.h264"
h264 640 360 90 "$work/b.h264"
cat "$work/a.h264" "$work/b.h264" >"$work/h264_reschange.h264"
dump h264 "$work/h264_reschange.h264" | au_awk '
    $1 == 30 { ok = has(7) && has(8) && has(5) }
    END { exit ok ? 0 : 1 }' || die "h264_reschange: access unit 30 is not SPS+PPS+IDR"
finish h264_reschange.h264 h264 120

# --- identical SPS/PPS repeated ahead of every IDR.
h264 640 360 60 "$work/h264_repeat_ps.h264" "keyint=10:min-keyint=10:scenecut=0:repeat-headers=1"
dump h264 "$work/h264_repeat_ps.h264" | au_awk '
    has(5) { idr++; if (has(7) && has(8)) ps++ }
    END { exit (idr >= 6 && idr == ps) ? 0 : 1 }' ||
    die "h264_repeat_ps: not every IDR carries SPS+PPS"
finish h264_repeat_ps.h264 h264 60

# --- an SPS that changes in an access unit without an IDR: a one-IDR stream with
# the parameter sets of an encode with other VUI overscan data inserted ahead of
# the P picture 20 (nothing a decoder re-initialises for, so decoding goes on).
h264 640 360 60 "$work/base.h264" "keyint=300:scenecut=0"
h264 640 360 1 "$work/donor.h264" "keyint=300:overscan=show"
"$nal_dump" splice h264 "$work/base.h264" "$work/donor.h264" 20 "$work/h264_sps_nonidr.h264"
dump h264 "$work/h264_sps_nonidr.h264" | au_awk '
    has(5) { idr++ }
    $1 == 20 { ok = has(7) && has(8) && !has(5) }
    END { exit (ok && idr == 1) ? 0 : 1 }' ||
    die "h264_sps_nonidr: the changed SPS does not sit in a non-IDR access unit"
cmp -s <(head -c 64 "$work/base.h264") <(head -c 64 "$work/h264_sps_nonidr.h264") ||
    die "h264_sps_nonidr: the first access unit changed"
finish h264_sps_nonidr.h264 h264 60

# --- H.265 starting with slices: the first GOP (15 pictures) loses its
# VPS/SPS/PPS, the second GOP brings them. slices_first NAME W H FRAMES.
slices_first() {
    local name=$1 tail_frames=$(($4 - 15))
    hevc "$2" "$3" "$4" "$work/hevc_full.h265" "keyint=15:min-keyint=15:scenecut=0:repeat-headers=1"
    "$nal_dump" strip-head hevc "$work/hevc_full.h265" "$work/$name"
    dump hevc "$work/$name" | au_awk '
        NR == 1 { ok0 = ($3 < 32) }
        $1 == 15 { ok15 = has(32) && has(33) && has(34) && (has(19) || has(20)) }
        END { exit (ok0 && ok15) ? 0 : 1 }' ||
        die "$name: unexpected layout"
    # Pictures from the first parameter sets on.
    tail -c +"$(($(dump hevc "$work/$name" | awk '$1 < 15 { s += $2 } END { print s }') + 1))" \
        "$work/$name" >"$work/tail.h265"
    [[ $(count_frames hevc "$work/tail.h265") == "$tail_frames" ]] ||
        die "$name: tail is not $tail_frames pictures"
    close_stream hevc "$work/$name"
    echo "$tail_frames" >"$work/$name.frames"
    mv "$work/$name" "$work/$name.frames" "$out/"
}
slices_first hevc_slices_first.h265 640 360 60
# Small enough to arrive in one read of 64 KiB.
slices_first hevc_slices_first_small.h265 192 108 30
[[ $(stat -c %s "$out/hevc_slices_first_small.h265") -lt 65536 ]] ||
    die "hevc_slices_first_small: more than one read"

# --- two picture parameter sets (ids 0 and 1) repeated ahead of every key
# frame, as some hardware encoders send them.
h264 640 360 60 "$work/one_pps.h264" "keyint=10:min-keyint=10:scenecut=0:repeat-headers=1"
"$nal_dump" second-pps h264 "$work/one_pps.h264" "$work/h264_two_pps.h264"
finish h264_two_pps.h264 h264 60
hevc 640 360 60 "$work/one_pps.h265" "keyint=10:min-keyint=10:scenecut=0:repeat-headers=1"
"$nal_dump" second-pps hevc "$work/one_pps.h265" "$work/hevc_two_pps.h265"
finish hevc_two_pps.h265 hevc 60

# --- stamped streams: every picture carries its frame number (0, 1, ...).
# 1200 pictures of 720p60 (20 s) for whole runs and the benchmarks, 240 (4 s)
# for paced runs, and a short 4:3 one for placement.
h264_stamped 1280 720 1200 "$work/h264_stamped_720p60.h264"
finish h264_stamped_720p60.h264 h264 1200

h264_stamped 1280 720 240 "$work/h264_stamped_720p60_short.h264"
finish h264_stamped_720p60_short.h264 h264 240

h264_stamped 640 480 60 "$work/h264_stamped_480p60.h264"
finish h264_stamped_480p60.h264 h264 60

# One key frame at the start and none after: every gate episode must end by
# its release rule.
h264_stamped 640 480 150 "$work/h264_stamped_onekey_480p.h264" 1000
finish h264_stamped_onekey_480p.h264 h264 150

# Reordered pictures: two B-frames between references, 60 stamped pictures.
h264_stamped 640 360 60 "$work/h264_stamped_bframes.h264" 60 2
finish h264_stamped_bframes.h264 h264 60

# --- pictures of four slices, each access unit opened by a delimiter (as
# hardware encoders send them), 60 stamped pictures at 640x360 finely
# quantised: a slice outgrows the smallest read (4 KiB). Key frames with their
# parameter sets every 20 pictures. sliced CODEC OUT.
sliced() {
    local rc="keyint=20:min-keyint=20:scenecut=0:slices=4:aud=1:qp=8:repeat-headers=1"
    if [[ $1 == h264 ]]; then
        ff -f lavfi -i "testsrc2=size=640x360:rate=60" -frames:v 60 -vf "$(stamp_filter)" \
            -pix_fmt yuv420p -c:v libx264 -preset ultrafast -bf 0 -x264-params "$rc" \
            -bsf:v h264_mp4toannexb -f h264 "$2"
    else
        ff -f lavfi -i "testsrc2=size=640x360:rate=60" -frames:v 60 -vf "$(stamp_filter)" \
            -pix_fmt yuv420p -c:v libx265 -preset ultrafast \
            -x265-params "log-level=error:bframes=0:open-gop=0:$rc" -f hevc "$2"
    fi
    local aud=9 idr=5
    [[ $1 == h264 ]] || { aud=35; idr=20; }
    dump "$1" "$2" | awk -v aud=$aud -v idr=$idr '
        { n = 0; for (i = 3; i <= NF; i++) if ($i == idr || $i == 1) n++ }
        n != 4 || $3 != aud { bad++ }
        END { exit (NR == 60 && !bad) ? 0 : 1 }' || die "$2: not 60 units of a delimiter and 4 slices"
}
sliced h264 "$work/h264_sliced_360p.h264"
finish h264_sliced_360p.h264 h264 60
sliced hevc "$work/hevc_sliced_360p.h265"
finish hevc_sliced_360p.h265 hevc 60

echo "$stamp" >"$out/.stamp"
echo "test streams written to $out"
