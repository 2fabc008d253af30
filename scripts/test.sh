#!/usr/bin/env bash
# Runs every check CI runs: formatting, the warnings-as-errors build with all
# tests, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# a fixed set of stream mutants on that sanitizer build and a few seconds of
# each fuzz target (clang); then the board build: FFmpeg 7.1 headers, the .deb
# packages, and the arm64 cross build with its unit tests under qemu.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --deps-only

echo "== format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== build and test"
scripts/setup.sh build/ci -DVEX_WERROR=ON
ctest --test-dir build/ci -j"$(nproc)" --output-on-failure --timeout 300

echo "== build and test with sanitizers"
scripts/setup.sh build/asan -DVEX_WERROR=ON -DVEX_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  ctest --test-dir build/asan -j"$(nproc)" --output-on-failure --timeout 600

echo "== stream mutants on the sanitizer build"
VEX_MUTATE_BUILD=build/asan scripts/stream-mutate.sh --ci

echo "== fuzz targets"
scripts/fuzz.sh --ci

# ---- the board build ---------------------------------------------------------
echo "== board build: every product object against FFmpeg 7.1's headers"
scripts/ffmpeg7.sh

echo "== board build: amd64 package"
scripts/package.sh build/ci amd64

echo "== board build: arm64 cross build, unit tests under qemu, arm64 package"
scripts/arm64.sh
