#!/usr/bin/env bash
# Installs the Debian packages vex-mpp needs (when missing) and builds it.
#   scripts/setup.sh [build-dir] [extra cmake arguments...]
#   scripts/setup.sh --deps-only
set -euo pipefail
cd "$(dirname "$0")/.."

# libegl-mesa0 and libgl1-mesa-dri are Mesa's EGL vendor library and its software
# renderer (llvmpipe): the simulated board's GPU draws with them.
packages=(
  build-essential cmake ninja-build pkg-config git
  ffmpeg libavcodec-dev libavutil-dev libswscale-dev
  libdrm-dev libgbm-dev libegl-dev libgles-dev libfreetype-dev fonts-dejavu-core
  libegl1 libgles2 libegl-mesa0 libgl1-mesa-dri
  libqrencode-dev libgtest-dev clang-format clang libclang-rt-14-dev
)

# With a foreign architecture added (scripts/arm64.sh), a package can be
# installed once per architecture: ask for the native one, or for "all".
native=$(dpkg --print-architecture)
installed() {
  dpkg-query -W -f='${Status}\n' "$1:$native" 2>/dev/null | grep -qx 'install ok installed' ||
    dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null | grep -qx 'install ok installed all'
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

[ "${1:-}" = "--deps-only" ] && exit 0

build="${1:-build}"
shift || true
# Quiet, but for the line saying how the board binary reaches the RGA engine.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" | { grep -E '^-- RGA engine' || true; }
cmake --build "$build" -j"$(nproc)"
