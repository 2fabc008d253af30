#!/usr/bin/env bash
# Whole-program stream mutation run: mutants of the test streams (bit flips,
# inserted bytes, truncation, NAL unit swaps, shuffles, repeats and drops)
# played by vex-mpp-sim built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Every run must end with status 0 or 3 within a minute and without a
# sanitizer report; failing mutants are kept with their log.
#
#   scripts/stream-mutate.sh [COUNT [FIRST]]   mutants FIRST .. FIRST+COUNT-1 (default 200 from 0)
#   scripts/stream-mutate.sh --ci              the fixed set CI runs (24 mutants)
#
# Uses the sanitizer build in $VEX_MUTATE_BUILD (default build/asan), building
# it when it is missing. Results go to <build>/mutate/.
set -euo pipefail
cd "$(dirname "$0")/.."

count=200 first=0
if [[ ${1:-} == --ci ]]; then
    count=24
else
    count=${1:-200}
    first=${2:-0}
fi
build=${VEX_MUTATE_BUILD:-build/asan}
if [[ ! -x $build/vex-mpp-sim || ! -x $build/tools/stream_mutate ]]; then
    scripts/setup.sh "$build" -DVEX_SANITIZE=ON
fi
bash tools/gen_streams.sh "$build/test-streams" "$build/tools/nal_dump" >/dev/null

out=$PWD/$build/mutate
rm -rf "$out"
mkdir -p "$out/failed"
export VEX_MUTATE_OUT=$out VEX_MUTATE_BUILD=$PWD/$build VEX_MUTATE_SUPP=$PWD/tests/lsan.supp

# One mutant: its number picks the seed stream, the decoder and the mutation.
run_one() {
    local i=$1
    local seeds=(h264_two_pps.h264 hevc_two_pps.h265 h264_stamped_bframes.h264
                 h264_reschange.h264 hevc_slices_first_small.h265 h264_sps_nonidr.h264
                 hevc_720p.h265 h264_repeat_ps.h264)
    local decoders=("" hevc "" "" hevc h264_rkmpp hevc_rkmpp "")
    local k=$((i % ${#seeds[@]}))
    local seed=${seeds[$k]} dec=${decoders[$k]} codec=h264
    [[ $seed == *.h265 ]] && codec=hevc
    local dir=$VEX_MUTATE_OUT/run.$i
    mkdir -p "$dir"
    local what
    what=$("$VEX_MUTATE_BUILD/tools/stream_mutate" "$codec" \
        "$VEX_MUTATE_BUILD/test-streams/$seed" "$i" "$dir/mutant")
    local status=0
    env -i PATH="$PATH" HOME="${HOME:-/}" TMPDIR="$dir" VEX_SIM_DIR="$dir/board" VEX_SMOOTH=0 \
        ${dec:+VEX_KMS_DECODER=$dec} \
        ASAN_OPTIONS="detect_leaks=1:log_path=$dir/san/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$dir/san/ubsan" \
        LSAN_OPTIONS="suppressions=$VEX_MUTATE_SUPP" \
        timeout 60 "$VEX_MUTATE_BUILD/vex-mpp-sim" <"$dir/mutant" >/dev/null 2>"$dir/log" ||
        status=$?
    local reports
    reports=$(cat "$dir"/san/* 2>/dev/null || true)
    if [[ ($status == 0 || $status == 3) && -z $reports ]]; then
        rm -rf "$dir"
        echo "mutant $i ($seed${dec:+ $dec}: $what): status $status"
        return 0
    fi
    mv "$dir" "$VEX_MUTATE_OUT/failed/$i"
    echo "mutant $i ($seed${dec:+ $dec}: $what): FAILED, status $status${reports:+, sanitizer report}" \
        "— kept in $VEX_MUTATE_OUT/failed/$i"
    return 1
}
export -f run_one

set +e
seq "$first" $((first + count - 1)) | xargs -P 2 -I{} bash -c 'run_one {}' | tee "$out/summary"
set -e
failed=$(grep -c FAILED "$out/summary" || true)
echo "stream mutation: $count mutants, $failed failed"
[[ $failed == 0 ]]
