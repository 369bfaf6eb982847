# shellcheck shell=bash
# Sourced by the test guests (tools/guest/run.sh, the PC; tools/guest/pi.sh,
# the Raspberry Pi): a line for people and a skip; Debian's kernel and
# busybox fetched with apt-get download into a cache, never installed here;
# marquell built statically for the guest and the host's tools beside it;
# the guest's initramfs; the guest's "@@ CASE WHAT ..." result lines, read
# from the file $results.
#
#   guest=NAME work=DIR cache=DIR results=FILE
#   . "$top/tools/guest/common.sh"

say() { echo "$guest: $*"; }

# skip WHY: exits 77, or 1 where a skip counts as a failure.
skip() {
    say "skipped: $*"
    if [ "${CI:-}" = true ] || [ "${MARQUELL_GUEST_REQUIRED:-}" = 1 ]; then
        say "a skip counts as a failure here (CI=true or MARQUELL_GUEST_REQUIRED=1)"
        exit 1
    fi
    exit 77
}

# download PACKAGE: fetches Debian's .deb of PACKAGE (with :ARCH for another
# architecture's) into $work/debs. Old package lists can name files the
# archive no longer has: they are renewed once, as root.
download() {
    mkdir -p "$work/debs"
    (cd "$work/debs" && apt-get download "$1") >>"$work/apt.log" 2>&1 && return 0
    [ "$(id -u)" = 0 ] && [ ! -e "$work/apt-updated" ] || return 1
    touch "$work/apt-updated"
    apt-get update -qq >>"$work/apt.log" 2>&1 &&
        (cd "$work/debs" && apt-get download "$1") >>"$work/apt.log" 2>&1
}

# kernel_package ARCH: prints the package of Debian's current kernel for
# ARCH (linux-image-6.1.0-NN-ARCH); without package lists, the newest one
# cached in $cache.
kernel_package() {
    local pkg
    pkg=$(apt-cache depends "linux-image-$1:$1" 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { sub(/:.*/, "", $2); print $2; exit }')
    if [ -z "$pkg" ]; then
        pkg=$(find "$cache" -maxdepth 1 -name 'linux-image-*' -printf '%f\n' 2>/dev/null | sort | tail -n1)
        [ -n "$pkg" ] || skip "apt knows no linux-image-$1 and none is cached in $cache: run 'apt-get update'"
    fi
    echo "$pkg"
}

# kernel_has CONFIG OPTION...: skips unless each OPTION is built in (=y) in
# the kernel configuration CONFIG: the guest loads no modules for them.
kernel_has() {
    local config=$1 option
    shift
    for option in "$@"; do
        grep -qx "$option=y" "$config" || skip "the kernel does not have $option=y built in ($config)"
    done
}

# fetch_busybox ARCH: sets $busybox to the cached static busybox for ARCH.
fetch_busybox() {
    busybox="$cache/busybox-static/busybox"
    [ -e "$busybox" ] && return 0
    say "fetching busybox-static ($1) into $cache"
    download "busybox-static:$1" || skip "cannot download busybox-static:$1$(echo; tail -n3 "$work/apt.log")"
    dpkg-deb -x "$work"/debs/busybox-static_*.deb "$work/busybox"
    mkdir -p "$cache/busybox-static"
    cp "$work/busybox/bin/busybox" "$busybox.part"
    mv "$busybox.part" "$busybox"
}

# build DIR TARGETS [CMAKE-ARG...]: builds the targets (a quoted list) in
# DIR, without the tests; the log goes to $work/build.log, and a failure
# ends the run with its tail.
build() {
    local dir=$1 targets=$2
    shift 2
    # shellcheck disable=SC2086 # the targets are separate words
    if ! {
        cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DMARQUELL_TESTS=OFF "$@" &&
            cmake --build "$dir" -j"$(nproc)" --target $targets
    } >>"$work/build.log" 2>&1; then
        tail -n 20 "$work/build.log"
        say "the build failed (log above)"
        exit 1
    fi
}

# pack_initramfs INIT: $work/initramfs.cpio, of $work/root (with what the
# guest adds there) and busybox, $marquell and INIT as its /init.
pack_initramfs() {
    mkdir -p "$work/root/bin" "$work/root/dev" "$work/root/proc" "$work/root/sys"
    cp "$busybox" "$marquell" "$work/root/bin/"
    cp "$1" "$work/root/init"
    (cd "$work/root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
}

# seconds_since START: wall seconds from START (date +%s.%N) to now.
seconds_since() {
    echo "$(date +%s.%N) $1" | awk '{ printf "%.1f", $1 - $2 }'
}

# result CASE WHAT: the words after "@@ CASE WHAT" in the guest's results.
result() {
    awk -v c="$1" -v w="$2" '$1 == "@@" && $2 == c && $3 == w { $1 = $2 = $3 = ""; sub(/^ +/, ""); print; exit }' \
        "$results"
}
