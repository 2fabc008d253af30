#!/usr/bin/env bash
# Compiles every product object (and the simulated board's) against FFmpeg
# 7.1's headers, the FFmpeg the boards run, with warnings as errors; nothing
# is linked. Debian 13's FFmpeg 7.1 development packages are fetched as .deb
# files with apt-get download through a private apt configuration (the
# machine's sources, package lists and FFmpeg stay as they are), unpacked into
# build/ffmpeg-7.1/root and found through their pkg-config files, rewritten to
# point there. The fetch is kept for later runs.
#
#   scripts/ffmpeg7.sh
set -euo pipefail
cd "$(dirname "$0")/.."

suite=trixie # Debian 13: FFmpeg 7.1 (libavcodec 61, libavutil 59, libswscale 8)
packages=(libavcodec-dev libavutil-dev libswscale-dev libswresample-dev)
top=$PWD/build/ffmpeg-7.1
root=$top/root
arch=$(dpkg --print-architecture)
pcdir=$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkgconfig

if [ ! -f "$top/.unpacked" ]; then
  rm -rf "$top"
  mkdir -p "$top/apt/lists/partial" "$top/apt/cache/archives/partial" "$top/debs" "$root"
  # The Debian mirror this machine's apt already uses, with the suite swapped.
  mirror=$( (grep -hE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}'
             grep -hE '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
               sed -E 's/\[[^]]*\] //' | awk '{print $2}') | grep -v -- '-security' | head -n1 || true)
  if [ -z "$mirror" ]; then
    echo "ffmpeg7: no Debian mirror in this machine's apt sources" >&2
    exit 1
  fi
  echo "deb $mirror $suite main" >"$top/apt/sources.list"
  apt_private=(
    -o Dir::Etc::SourceList="$top/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$top/apt/lists" -o Dir::Cache="$top/apt/cache"
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root -o APT::Architectures="$arch"
  )
  echo "ffmpeg7: fetching ${packages[*]} from Debian $suite"
  apt-get "${apt_private[@]}" update -qq
  (cd "$top/debs" && apt-get "${apt_private[@]}" download -qq "${packages[@]}")
  for deb in "$top"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
  for pc in "$pcdir"/*.pc; do
    sed -i -e "s|^prefix=/usr|prefix=$root/usr|" -e "s|^libdir=/usr|libdir=$root/usr|" \
      -e "s|^includedir=/usr|includedir=$root/usr|" "$pc"
  done
  rm -rf "$top/apt"
  touch "$top/.unpacked"
fi
echo "ffmpeg7: $(PKG_CONFIG_PATH=$pcdir pkg-config --modversion libavcodec libavutil libswscale | paste -sd' ') (libavcodec, libavutil, libswscale)"

# VEX_FFMPEG_MAJOR=61 makes the configure step and the headers themselves
# (stream/ffmpeg_compat.h) check that 7.1 is what gets compiled against.
PKG_CONFIG_PATH=$pcdir cmake -S . -B build/ffmpeg7 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEX_WERROR=ON -DVEX_BUILD_TESTS=OFF -DVEX_FFMPEG_MAJOR=61 >/dev/null
nice cmake --build build/ffmpeg7 -j2 --target vex_product vex_main vex_sim
echo "ffmpeg7: every product object compiles against FFmpeg 7.1"
