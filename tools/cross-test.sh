#!/usr/bin/env bash
# Builds marquell, marquell-check and every test for another Debian
# architecture with Debian's cross toolchain, with warnings as errors, and
# runs the tests under qemu-user: the programs the tests start (ttysim,
# marquell, marquell-check) are ARCH's too. As root; tools/cross.sh says what
# it changes on the machine. Builds in build-ARCH.
#
#   tools/cross-test.sh arm64|armhf
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: tools/cross-test.sh arm64|armhf" >&2; exit 2; }
arch=$1
# shellcheck source=tools/cross.sh
. "$top/tools/cross.sh"
cross_prepare "$arch" libgtest-dev
trap 'echo "== tools/cross-test.sh $arch took $SECONDS s =="' EXIT

build=$top/build-$arch
jobs=$(nproc)
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$cross_toolchain" -DMARQUELL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
cmake --build "$build" -j"$jobs"
echo "== tests of the $arch build, under $(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null) emulation =="
(cd "$build" && ctest --output-on-failure -j"$((jobs * 2))")
