#!/usr/bin/env bash
# Builds the Debian package for another Debian release inside a fresh root of
# that release, with that release's compiler and Qt: the root gets only the
# build dependencies, the source tree is copied in, and only the installed
# programs are built (no tests, no benchmarks), warnings as errors, with
# scripts/package. A compiler cache for the release is kept beside the cached
# root, so that a second build compiles only what changed.
#
#   scripts/package.d/build_in_root.sh RELEASE OUT_DIR   prints the package's path last
#
# Needs root (chroot, mounts); exits 77 (skipped) without it.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/package.d/debian_root.sh
. "$src/scripts/package.d/debian_root.sh"

[ $# -eq 2 ] || {
  echo "usage: $(basename "$0") RELEASE OUT_DIR" >&2
  exit 2
}
release=$1
out=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "package: building in a Debian $(debian_number "$release") root needs root (chroot and mounts); skipped" >&2
  exit 77
fi
fail() {
  echo "package: $*" >&2
  exit 1
}

build_deps=(
  build-essential cmake ninja-build pkg-config ccache file fakeroot dpkg-dev
  libpcap-dev libsqlite3-dev libdbus-1-dev prometheus-cpp-dev
  qt6-base-dev qt6-svg-dev qt6-multimedia-dev
)
tarball=$(root_tarball "$release" "$release-build" "${build_deps[@]}") || fail "no build root"

trap root_leave EXIT
root_enter_overlay "$tarball"

# The source tree as it is checked out, changes included, without build
# folders or anything git ignores.
mkdir "$ROOT/src"
# shellcheck disable=SC2016 # the inner shell expands it
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
  xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
  tar --null -T - -cf -) | tar -C "$ROOT/src" -xf -

ccache_dir="$LW_CACHE/ccache-$release"
mkdir -p "$ccache_dir" "$ROOT/var/cache/ccache"
mount --bind "$ccache_dir" "$ROOT/var/cache/ccache"

suffix="deb$(debian_number "$release")"
# The figures printed below are this build's.
in_root env CCACHE_DIR=/var/cache/ccache ccache -z >/dev/null
started=$SECONDS
echo "-- building in the Debian $(debian_number "$release") root: $(in_root g++ --version | head -n 1), Qt $(in_root qtpaths6 --qt-version 2>/dev/null || echo '?')" >&2
in_root env CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR=/src CCACHE_MAXSIZE=2G \
  cmake -S /src -B /src/build -G Ninja -DLW_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DLW_BUILD_TESTS=OFF -DLW_BUILD_BENCHMARKS=OFF -DLW_DEBIAN_SUFFIX="$suffix" \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >&2 ||
  fail "configuring in the Debian $(debian_number "$release") root failed"
deb=$(in_root env CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR=/src LW_PACKAGE_NO_SETUP=1 \
  sh -c 'cd /src && scripts/package build' | tail -n 1) ||
  fail "building the package in the Debian $(debian_number "$release") root failed"
echo "-- built in $((SECONDS - started)) s; compiler cache: $(in_root env CCACHE_DIR=/var/cache/ccache ccache -s 2>/dev/null | grep -Ei '^ *(hits|misses)' | head -n 2 | tr -s ' ' | paste -sd ';')" >&2

mkdir -p "$out"
rm -f "$out"/linewatch_*.deb
cp "$ROOT$deb" "$out/"
realpath "$out/$(basename "$deb")"
