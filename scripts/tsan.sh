#!/usr/bin/env bash
# ThreadSanitizer run: builds the program and all tests with -fsanitize=thread
# into build/tsan (or $VEX_TSAN_BUILD) and runs the whole suite. Every process
# (tests and the vex-mpp-sim runs they start) writes its reports to
# build/tsan/tsan-reports/; the run fails when there is any. Tests that fail
# only because the program runs several times slower under the sanitizer
# (timeouts, frame-rate and timing assertions) are listed, not counted.
#
#   scripts/tsan.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VEX_TSAN_BUILD:-build/tsan}
scripts/setup.sh "$build" -DVEX_TSAN=ON -DVEX_WERROR=ON
reports=$PWD/$build/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
set +e
TSAN_OPTIONS="log_path=$reports/tsan second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir "$build" -j"$(nproc)" --timeout 900 >"$build/tsan-ctest.log" 2>&1
set -e
grep -A100 "tests passed" "$build/tsan-ctest.log" | grep -E "tests passed|Failed|Timeout" || true
if compgen -G "$reports/tsan.*" >/dev/null; then
    echo "tsan: reports in $reports:"
    grep -h -E "WARNING: ThreadSanitizer|SUMMARY" "$reports"/tsan.* | sort | uniq -c
    exit 1
fi
echo "tsan: no ThreadSanitizer report"
