#!/usr/bin/env bash
# Menu composition benchmark: the overlay of an open menu on a 1920x1080
# output (whole picture, selected row moved, nothing changed) against a memset
# of one overlay buffer, shortest of N turns each, with their spread and
# ratios. Extra arguments go to the benchmark (e.g. --runs 100). Exits 3 when
# a composition takes more than 3 times the memset.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
build/bench/bench_menu_compose "$@"
