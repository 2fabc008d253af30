#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz and runs each on its seed corpus.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]   each target SECONDS (default 300); the
#                                           inputs found are kept in build/fuzz/corpus/
#   scripts/fuzz.sh --ci                    each target 4 s from the committed seeds
#
# A crash, a sanitizer report, a leak or an input slower than 10 s fails the
# run; the input is left in build/fuzz/ as crash-*, leak-* or timeout-*.
set -euo pipefail
cd "$(dirname "$0")/.."

secs=300 ci=0
if [[ ${1:-} == --ci ]]; then
    secs=4 ci=1
    shift
elif [[ $# -gt 0 ]]; then
    secs=$1
    shift
fi
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" _fuzz.cpp)"); done
fi

build=${VEX_FUZZ_BUILD:-build/fuzz}
CC=clang CXX=clang++ scripts/setup.sh "$build" -DVEX_FUZZ=ON -DVEX_BUILD_TESTS=OFF -DVEX_WERROR=ON

# The simulated board's sandbox, and the files a harness writes, stay in the build tree.
export VEX_SIM_DIR=$PWD/$build/sim-run TMPDIR=$PWD/$build/tmp
mkdir -p "$TMPDIR"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp

failed=0
# The sanitizer runtime of a clang build makes the directories of its log_path
# while it starts, through the simulator's wrapped mkdir.
rm -rf "$TMPDIR/san-start"
if ! ASAN_OPTIONS=log_path=$TMPDIR/san-start/asan "$build/vex-mpp-sim" --caps >/dev/null; then
    echo "vex-mpp-sim does not start with a sanitizer log_path in a new directory"
    failed=1
fi
for t in "${targets[@]}"; do
    if [[ $ci == 1 ]]; then
        corpus=$(mktemp -d "$TMPDIR/corpus-$t.XXXXXX") # new inputs are not kept
    else
        corpus=$build/corpus/$t
        mkdir -p "$corpus"
    fi
    log=$build/fuzz-$t.log
    if "$build/fuzz/${t}_fuzz" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$build/" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
        echo "fuzz $t: $(grep -E '^#[0-9]+' "$log" | tail -1 | cut -c1-100)"
    else
        echo "fuzz $t: FAILED (log $log)"
        grep -E -A30 'ERROR|runtime error|==ABORTING|Test unit written' "$log" | head -60 || true
        failed=1
    fi
    [[ $ci == 1 ]] && rm -rf "$corpus"
done
exit "$failed"
