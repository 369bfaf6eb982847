#!/usr/bin/env bash
# Tests marquell on a Raspberry Pi's two UARTs: QEMU's raspi3b machine (a
# Pi 3 Model B) with Debian's own arm64 kernel and the device tree for that
# board from the same package, a busybox initramfs and marquell statically
# built for arm64. The first -serial backend is the PL011 (ttyAMA0, linked as
# /dev/ttyS50 as the example udev rule links it), the second the mini UART
# (ttyS1 under Debian's kernel), which cannot send 2 stop bits. The stock
# tree gives the PL011 to Bluetooth: the node is deleted with fdtput, as
# dtoverlay=disable-bt does on a Pi, and so is the tree's choice of the mini
# UART for the kernel's console, so no console shares either line.
#
# For each case of cases/pi-*.ini it checks, against the same marquell on the
# same file under ttysim (run here by qemu-user): the console report; every
# byte the UART carried, in order; standard error (nothing on the PL011; on
# the mini UART one line naming the single stop bit and the way to the
# PL011); the line settings read back after the run (8N2 on the PL011, 8N1
# on the mini UART, the file's rate); and, from QEMU's trace of the PL011's
# registers, the line control the kernel wrote: 8 data bits, 2 stop bits, no
# parity.
#
# Known limits of QEMU 7.2's mini UART, kept to: it misreads the rate
# register and hangs the guest at 19200 and 1200 baud, so its case runs at
# 9600; it sends the divisor's low byte as data when the rate is set (at
# each open), so those bytes before and after the display's are left out of
# the comparison, and counted.
#
# As root: it sets the machine up for arm64 as tools/cross.sh says, and
# installs qemu-system-arm, device-tree-compiler and cpio where they are
# missing. Downloads (Debian's arm64 kernel and busybox-static, about 60 MB,
# once) are cached in ~/.cache/marquell/pi-guest; the builds go to
# build-pi-guest/. MARQUELL_GUEST_KEEP=1 keeps the work folder.
#
# Exit status: 0 every check passed, 1 one failed, 77 skipped (the kernel or
# a private mount namespace for ttysim cannot be had); with CI=true or
# MARQUELL_GUEST_REQUIRED=1 a skip is a failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/tools/guest"
build="$top/build-pi-guest"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/marquell/pi-guest"
# The cases: name, display list, the display's port, the UART's kernel name,
# its driver's file under /proc/tty/driver and its line there.
cases=(
    "pl011 tools/guest/cases/pi-pl011.ini 50 ttyAMA0 ttyAMA 0"
    "mini tools/guest/cases/pi-mini.ini 1 ttyS1 serial 1"
)
# The byte QEMU 7.2's mini UART sends when the rate is set to 9600 baud: the
# divisor's low byte, as measured.
divisor_byte=58
guest_timeout_s=600

work=$(mktemp -d)
qemu_pid=""
cleanup() {
    [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
    [ -n "${MARQUELL_GUEST_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
guest=pi-guest
# The guest writes its results on the PL011, after the cases' bytes.
results="$work/results"
# shellcheck source=tools/guest/common.sh
. "$here/common.sh"
# shellcheck source=tools/cross.sh
. "$top/tools/cross.sh"
tool=pi-guest
# shellcheck source=tools/checks.sh
. "$top/tools/checks.sh"

# fetch_kernel: sets $kernel and $dtb to the cached image and Pi 3 device
# tree of Debian's current arm64 kernel, fetching them when not cached yet.
fetch_kernel() {
    local pkg
    pkg=$(kernel_package arm64)
    if [ ! -e "$cache/$pkg/vmlinuz" ]; then
        say "fetching $pkg (arm64) into $cache (about 60 MB)"
        download "$pkg:arm64" || skip "cannot download $pkg:arm64$(echo; tail -n3 "$work/apt.log")"
        mkdir -p "$work/kernel" "$cache/$pkg"
        dpkg-deb --fsys-tarfile "$work"/debs/"$pkg"_*.deb |
            tar -x -C "$work/kernel" --wildcards './boot/*' "./usr/lib/$pkg/broadcom/bcm2837-rpi-3-b.dtb"
        cp "$work"/kernel/boot/config-* "$cache/$pkg/config"
        cp "$work/kernel/usr/lib/$pkg/broadcom/bcm2837-rpi-3-b.dtb" "$cache/$pkg/"
        # The arm64 vmlinuz is a plain Image, which -kernel takes as it is.
        cp "$work"/kernel/boot/vmlinuz-* "$cache/$pkg/vmlinuz.part"
        mv "$cache/$pkg/vmlinuz.part" "$cache/$pkg/vmlinuz"
    fi
    # Both UARTs' drivers and the initramfs support: the guest loads no modules.
    kernel_has "$cache/$pkg/config" CONFIG_SERIAL_AMBA_PL011 CONFIG_SERIAL_8250_BCM2835AUX \
        CONFIG_BLK_DEV_INITRD CONFIG_DEVTMPFS
    kernel="$cache/$pkg/vmlinuz"
    dtb="$cache/$pkg/bcm2837-rpi-3-b.dtb"
    kernel_name=$pkg
}

# The board's tree with the PL011 freed from Bluetooth and no console chosen.
make_tree() {
    cp "$dtb" "$work/pi.dtb"
    local uart=/soc/serial@7e201000
    fdtget -l "$work/pi.dtb" "$uart" | grep -qx bluetooth ||
        die "$dtb has no Bluetooth node under the PL011 ($uart): not the tree this guest knows"
    fdtput -r "$work/pi.dtb" "$uart/bluetooth"
    fdtput -d "$work/pi.dtb" /chosen stdout-path
}

build_tools() {
    say "building marquell (static, arm64) and ttysim in $build"
    build "$build/static" marquell -DCMAKE_TOOLCHAIN_FILE="$cross_toolchain" \
        -DCMAKE_EXE_LINKER_FLAGS=-static
    build "$build/host" ttysim
    marquell="$build/static/marquell"
}

# Each case's file, for the guest and for its reference run under ttysim,
# whose ports are the guest's: 1 (the mini UART) and 50 (the PL011).
prepare_cases() {
    mkdir -p "$work/root/cases"
    : >"$work/root/cases/list"
    local c name file port kernel_tty driver index status
    for c in "${cases[@]}"; do
        read -r name file port kernel_tty driver index <<<"$c"
        mkdir -p "$work/root/cases/$name" "$work/ref/$name"
        cp "$top/$file" "$work/root/cases/$name/marquell.ini"
        echo "$name $port $driver $index" >>"$work/root/cases/list"
        status=0
        (cd "$work/root/cases/$name" &&
            "$build/host/ttysim" --dir "$work/ref/$name" 1 50 -- "$marquell" >"$work/ref/$name/report" \
                2>"$work/ref/$name/stderr") || status=$?
        [ "$status" != 77 ] || skip "ttysim cannot make a private mount namespace here"
        [ "$status" = 0 ] || die "ttysim failed on case $name (status $status): $(cat "$work/ref/$name/stderr")"
    done
}

# Boots the guest and waits until it says it is done; the PL011's bytes go to
# pl011.raw, the mini UART's to mini.raw, the PL011's register writes to
# trace.log.
run_guest() {
    say "booting $kernel_name on QEMU's raspi3b (TCG, one core)"
    local start
    start=$(date +%s.%N)
    qemu-system-aarch64 -M raspi3b -m 1G -nodefaults -no-user-config -display none -no-reboot \
        -kernel "$kernel" -dtb "$work/pi.dtb" -initrd "$work/initramfs.cpio" \
        -append "quiet maxcpus=1 panic=-1" \
        -serial "file:$work/pl011.raw" -serial "file:$work/mini.raw" \
        -trace pl011_write -trace pl011_baudrate_change -D "$work/trace.log" \
        >"$work/qemu.log" 2>&1 &
    qemu_pid=$!
    boot_s=""
    while ! grep -qa '^@@ - done' "$work/pl011.raw" 2>/dev/null; do
        if [ -z "$boot_s" ] && grep -qa '^@@ - booted' "$work/pl011.raw" 2>/dev/null; then
            boot_s=$(seconds_since "$start")
        fi
        if ! kill -0 "$qemu_pid" 2>/dev/null; then
            cat "$work/qemu.log"
            die "QEMU ended before the guest was done (its log above)"
        fi
        if [ "$(seconds_since "$start" | cut -d. -f1)" -ge "$guest_timeout_s" ]; then
            tail -c 2000 "$work/pl011.raw" | tr -cd '\11\12\15\40-\176'
            die "the guest was not done after $guest_timeout_s s (the PL011's last bytes above)"
        fi
        sleep 0.2
    done
    run_s=$(seconds_since "$start")
    kill "$qemu_pid"
    wait "$qemu_pid" 2>/dev/null || true
    qemu_pid=""
    tr -d '\r' <"$work/pl011.raw" | grep -a '^@@ ' >"$results" || true
}

# strip_divisor FILE: FILE without the divisor bytes before its first byte of
# another value and after its last; the count of those bytes goes to
# $work/stripped.
strip_divisor() {
    local lead trail size
    read -r lead trail size < <(od -An -v -tx1 "$1" | tr -s ' ' '\n' | awk -v d="$divisor_byte" '
        NF { b[++n] = $1 }
        END {
            first = 1; while (first <= n && b[first] == d) first++
            last = n; while (last >= first && b[last] == d) last--
            print first - 1, n - last, n
        }')
    echo $((lead + trail)) >"$work/stripped"
    tail -c +$((lead + 1)) "$1" | head -c $((size - lead - trail))
}

# cflag_line CFLAG: the line a termios c_cflag (hex) sets, as "8N2 19200".
cflag_line() {
    local c=$((16#$1)) bits parity stops speed
    bits=$((5 + ((c & 0x30) >> 4)))
    parity=N
    [ $((c & 0x100)) = 0 ] || { parity=E; [ $((c & 0x200)) = 0 ] || parity=O; }
    stops=1
    [ $((c & 0x40)) = 0 ] || stops=2
    case $((c & 0x100f)) in
        9) speed=1200 ;; 11) speed=2400 ;; 12) speed=4800 ;; 13) speed=9600 ;; 14) speed=19200 ;;
        *) speed="speed-code-$((c & 0x100f))" ;;
    esac
    echo "$bits$parity$stops $speed"
}

# check_case NAME FILE PORT KERNEL-TTY: the case's checks, and its row.
check_case() {
    local name=$1 port=$3 kernel_tty=$4 want got err lines settings line rate stops want_line status
    echo "case $name: ttyS$port ($kernel_tty)"
    result "$name" report | base64 -d >"$work/report.$name"
    result "$name" stderr | base64 -d >"$work/stderr.$name"
    status=0
    cmp -s "$work/report.$name" "$work/ref/$name/report" || status=$?
    check "$status" "the console report is the reference's, byte for byte"
    want="$work/ref/$name/ttyS$port"
    got="$work/got.$name"
    if [ "$kernel_tty" = ttyAMA0 ]; then
        # The PL011 sends what the driver hands it: its counts place the case.
        head -c "$(result "$name" txafter)" "$work/pl011.raw" | tail -c +"$(($(result "$name" txbefore) + 1))" >"$got"
        echo 0 >"$work/stripped"
    else
        strip_divisor "$work/mini.raw" >"$got"
    fi
    status=0
    cmp -s "$got" "$want" || status=$?
    check "$status" "every byte in order: $(wc -c <"$got") of the reference's $(wc -c <"$want") bytes, $(cat "$work/stripped") divisor bytes left out"
    rate=$(sed -n 's/^Baudrate = \([0-9]*\).*/\1/p' "$work/ref/$name/report")
    settings=$(result "$name" settings)
    line=$(cflag_line "$(echo "$settings" | cut -d: -f3)")
    err=$(cat "$work/stderr.$name")
    lines=$(grep -c '' "$work/stderr.$name" || true)
    if [ "$kernel_tty" = ttyAMA0 ]; then
        want_line="8N2 $rate"
        status=0
        [ -z "$err" ] || status=1
        check "$status" "nothing on standard error${err:+: $err}"
    else
        want_line="8N1 $rate"
        stops="the line carries 8N1 at $rate baud, not the 8N2 at $rate baud asked for: the Raspberry Pi's mini UART (driver bcm2835-aux-uart) sends 1 stop bit whatever it is asked; "
        status=0
        [ "$lines" = 1 ] && [[ "$err" == "marquell: /dev/ttyS$port: $stops"* ]] &&
            [[ "$err" == *"; to send 2: put the display on the PL011 instead: dtoverlay=disable-bt"* ]] ||
            status=1
        check "$status" "one reason line, naming the single stop bit and the way to the PL011: $err"
    fi
    status=0
    [ "$line" = "$want_line" ] || status=1
    check "$status" "the settings read back after the run: c_cflag 0x$(echo "$settings" | cut -d: -f3), $line (stty -g $settings)"
    figures+=("$name: ttyS$port ($kernel_tty), $(wc -c <"$got") bytes in order, $(cat "$work/stripped") divisor bytes left out, c_cflag 0x$(echo "$settings" | cut -d: -f3) ($line), marquell $(result "$name" time | cut -d' ' -f1) s")
}

# The PL011's line control (LCR_H, offset 0x2c) as the kernel last wrote it,
# and the rate QEMU derived from its divisor, from QEMU's trace.
check_pl011_trace() {
    local lcr baud status
    lcr=$(sed -n 's/.*pl011_write addr 0x0*2c value 0x\([0-9a-f]*\).*/\1/p' "$work/trace.log" | tail -n1)
    baud=$(sed -n 's/.*pl011_baudrate_change new baudrate \([0-9]*\).*/\1/p' "$work/trace.log" | tail -n1)
    echo "the PL011's registers (QEMU's trace)"
    # WLEN 8 data bits (0x60), STP2 (0x08), no PEN (0x02).
    status=0
    [ -n "$lcr" ] && [ $((16#$lcr & 0x6a)) = $((0x68)) ] || status=1
    check "$status" "the line control the kernel wrote: LCR_H 0x${lcr:-none}: 8 data bits, 2 stop bits, no parity"
    # The divisor of the UART's 48 MHz clock comes as close as it can.
    status=0
    [ -n "$baud" ] && [ $((baud * 100)) -ge $((19200 * 99)) ] && [ $((baud * 100)) -le $((19200 * 101)) ] ||
        status=1
    check "$status" "the rate set by the divisor: ${baud:-none} baud, within 1 % of 19200"
    figures+=("PL011 LCR_H 0x${lcr:-none}, ${baud:-no} baud by QEMU's trace")
}

need_packages qemu-system-arm device-tree-compiler cpio
cross_prepare arm64
fetch_busybox arm64
fetch_kernel
make_tree
build_tools
say "reference runs under ttysim"
prepare_cases
pack_initramfs "$here/pi-init"
run_guest
figures=()
for c in "${cases[@]}"; do
    # shellcheck disable=SC2086 # the case's words
    check_case $c
done
check_pl011_trace
echo
say "booted in $(result - booted) s of guest time, its first line came $boot_s s after QEMU started;" \
    "the whole guest took $run_s s"
for f in "${figures[@]}"; do
    say "$f"
done
echo "$passed passed, $failures failed"
[ "$failures" = 0 ]
