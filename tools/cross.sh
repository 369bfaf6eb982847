# shellcheck shell=bash
# Sourced by the scripts that build for another Debian architecture (arm64,
# armhf) on this one: sets up Debian's cross toolchain and runs that
# architecture's programs under qemu-user, as an ARM board would run them.
#
#   . "$top/tools/cross.sh"
#   cross_prepare arm64 [PACKAGE...]    PACKAGE: a library's -dev package, for arm64
#
# As root it changes the machine (meant for CI, a throw-away machine or a
# fresh-check root): it adds the architecture to dpkg (dpkg
# --add-architecture), installs crossbuild-essential-ARCH, ARCH's C++ runtime
# and the PACKAGEs for ARCH (multiarch, beside the machine's own), and
# qemu-user-static, and registers qemu's interpreter for ARCH's programs with
# the kernel (binfmt_misc, mounted where it is not). It sets cross_toolchain
# to the CMake toolchain file.
# shellcheck source=tools/prereqs.sh
. "$(dirname "${BASH_SOURCE[0]}")/prereqs.sh"

cross_prepare() {
    local arch=$1
    shift
    cross_toolchain=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/cmake/toolchain-$arch.cmake
    if [ ! -f "$cross_toolchain" ]; then
        echo "$(basename "$0"): no toolchain for '$arch'; there are: arm64 armhf" >&2
        exit 2
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "$(basename "$0"): run it as root: it adds $arch to dpkg and registers qemu with the kernel" >&2
        exit 1
    fi
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "== dpkg --add-architecture $arch =="
        dpkg --add-architecture "$arch"
    fi
    local pkg target=()
    for pkg in libstdc++6 "$@"; do
        target+=("$pkg:$arch")
    done
    need_packages "crossbuild-essential-$arch" qemu-user-static cmake make "${target[@]}"

    # The interpreter is opened once, at registration (flag F), so it also
    # serves programs in ttysim's private /dev and mount namespace.
    local cpu binfmt=/proc/sys/fs/binfmt_misc
    cpu=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)
    [ "$cpu" = aarch64 ] || [ "$cpu" = arm ] || { echo "$(basename "$0"): no qemu for $arch" >&2; exit 2; }
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/qemu-$cpu" ]; then
        echo "== binfmt_misc: $arch programs run under qemu-$cpu-static =="
        grep -v '^#' "/usr/lib/binfmt.d/qemu-$cpu.conf" >"$binfmt/register"
    fi
    grep -qx enabled "$binfmt/qemu-$cpu" ||
        { echo "$(basename "$0"): qemu-$cpu is registered but disabled in $binfmt" >&2; exit 1; }
}
