#!/usr/bin/env bash
# Builds the .deb of a configured build directory and checks it: the package's
# architecture, its file list against packaging/deb-files.txt, and that
# systemd-analyze verify accepts its service unit (run on the unpacked
# package, with the machine's own units beside it for the dependencies).
#
#   scripts/package.sh BUILD_DIR ARCH     (ARCH: amd64 or arm64)
# The package is left in BUILD_DIR/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: package.sh BUILD_DIR ARCH}
arch=${2:?usage: package.sh BUILD_DIR ARCH}

# The service unit names the binaries under /usr: package for that prefix.
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
nice cmake --build "$build" -j2 --target vex-mpp vexctl
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$PWD/package" >/dev/null)
deb=$(ls "$build"/package/vex-mpp_*_"$arch".deb)
echo "package: $deb"

got=$(dpkg-deb -f "$deb" Architecture)
[ "$got" = "$arch" ] || { echo "package: architecture $got, $arch wanted" >&2; exit 1; }
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $6}' | sort >"$build/package/files.txt"
if ! diff -u packaging/deb-files.txt "$build/package/files.txt"; then
  echo "package: the file list differs from packaging/deb-files.txt (- wanted, + packed)" >&2
  exit 1
fi

root="$build/package/root"
dpkg-deb -x "$deb" "$root"
for bin in vex-mpp vexctl; do
  case "$arch" in
    arm64) want='ARM aarch64' ;;
    amd64) want='x86-64' ;;
  esac
  file "$root/usr/bin/$bin" | grep -q "$want" || { echo "package: $bin is not $arch" >&2; exit 1; }
done
unit_dir="$root/usr/lib/systemd/system"
cp -an /usr/lib/systemd/system/. "$unit_dir/"
out=$(systemd-analyze verify --root="$root" "$unit_dir/vex-mpp.service" 2>&1) || {
  echo "$out" >&2
  echo "package: systemd-analyze verify refused the unit" >&2
  exit 1
}
if [ -n "$out" ]; then
  echo "$out" >&2
  echo "package: systemd-analyze verify warned about the unit" >&2
  exit 1
fi
echo "package: $arch file list and service unit verified"
