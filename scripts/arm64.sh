#!/usr/bin/env bash
# The board build: cross-compiles vex-mpp, vex-mpp-sim, vexctl and the unit
# tests for arm64 with Debian's multiarch toolchain and :arm64 development
# packages (installed side by side with the amd64 ones when missing), runs the
# unit tests under qemu-aarch64-static (started explicitly through CMake's
# cross-compiling emulator; binfmt is not needed) and packs the arm64 .deb.
#
#   scripts/arm64.sh [--deps-only] [ctest arguments...]
#
# The unit tests of the program's own code run under qemu (label "unit"):
# parsers, rules, layouts, composition and the control tool. The simulated
# board's own tests (suites named Sim*: vblank timings, re-executed death
# tests) and the end-to-end tests are host matters and are left out.
set -euo pipefail
cd "$(dirname "$0")/.."

deps_only=0
if [ "${1:-}" = --deps-only ]; then
  deps_only=1
  shift
fi

arm_dev=(
  libavcodec-dev libavutil-dev libswscale-dev libdrm-dev libgbm-dev libegl-dev libgles-dev
  libfreetype-dev libqrencode-dev libgtest-dev
)
packages=(gcc-aarch64-linux-gnu g++-aarch64-linux-gnu qemu-user-static)
for p in "${arm_dev[@]}"; do packages+=("$p:arm64"); done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_opts=(-o DPkg::Lock::Timeout=600)
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "arm64: adding the arm64 architecture to dpkg"
  $sudo dpkg --add-architecture arm64
  $sudo apt-get "${apt_opts[@]}" update -qq
fi
missing=()
for p in "${packages[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "arm64: installing ${missing[*]}"
  # The arm64 package lists may be missing even with the architecture added.
  $sudo apt-get "${apt_opts[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get "${apt_opts[@]}" install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi
[ $deps_only -eq 1 ] && exit 0

build=build/arm64
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEX_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" >/dev/null
nice cmake --build "$build" -j2 --target vex-mpp vex-mpp-sim vexctl unit_tests
file "$build/vex-mpp" | grep -q 'ARM aarch64' || { echo "arm64: vex-mpp is not an arm64 binary" >&2; exit 1; }

echo "== arm64: unit tests under qemu-aarch64-static"
ctest --test-dir "$build" -L unit -E '^Sim[A-Z]' -j"$(nproc)" --output-on-failure --timeout 600 "$@"

echo "== arm64: package"
scripts/package.sh "$build" arm64
