#!/usr/bin/env bash
# Tests marquell on the kernel's own serial driver. Boots a small Linux guest
# in QEMU (Debian's kernel and busybox, fetched into a cache, never installed
# here) whose ttyS1..ttyS4 are emulated 16550A UARTs under the 8250 driver,
# runs the statically linked marquell there on the cases of
# tools/guest/cases/plan, and checks the console report, every byte each line
# carried, the line settings, the timing of the attention pulse at 1200 and
# 19200 baud on lines read at their wire pace, and the cost of a dead port.
# The expected report and bytes come from the same marquell and the same file
# under ttysim, on pseudo-terminals on this machine.
#
# Exit status: 0 every case passed, 1 a case failed, 77 skipped (QEMU, the
# kernel or a private mount namespace cannot be had); with CI=true or
# MARQUELL_GUEST_REQUIRED=1 a skip is a failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/tools/guest"
build="$top/build-guest"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/marquell/guest"
plan="$here/cases/plan"

# The guest's lines as wire_reader serves them; tools/guest/cases/plan relies on these.
lines=(1:19200 2:19200 3:1200 4:dead)
dead_port=$(printf '%s\n' "${lines[@]}" | sed -n 's/:dead$//p')
# A probe guest under KVM that has not printed its marker by then is taken as
# KVM not working here.
probe_s=15
guest_timeout_s=900

work=$(mktemp -d)
trap '[ -n "${MARQUELL_GUEST_KEEP:-}" ] || rm -rf "$work"' EXIT

say() { echo "guest: $*"; }

skip() {
    say "skipped: $*"
    if [ "${CI:-}" = true ] || [ "${MARQUELL_GUEST_REQUIRED:-}" = 1 ]; then
        say "a skip counts as a failure here (CI=true or MARQUELL_GUEST_REQUIRED=1)"
        exit 1
    fi
    exit 77
}

for tool in qemu-system-x86_64:qemu-system-x86 apt-get:apt dpkg-deb:dpkg cpio:cpio; do
    command -v "${tool%%:*}" >/dev/null ||
        skip "${tool%%:*} is missing: install it with 'apt-get install ${tool#*:}'"
done

# download PACKAGE: fetches Debian's .deb of PACKAGE into $work/debs. Old
# package lists can name files the archive no longer has: they are renewed
# once, as root.
download() {
    mkdir -p "$work/debs"
    (cd "$work/debs" && apt-get download "$1") >>"$work/apt.log" 2>&1 && return 0
    [ "$(id -u)" = 0 ] && [ ! -e "$work/apt-updated" ] || return 1
    touch "$work/apt-updated"
    apt-get update -qq >>"$work/apt.log" 2>&1 &&
        (cd "$work/debs" && apt-get download "$1") >>"$work/apt.log" 2>&1
}

# fetch_kernel: sets $kernel to the cached vmlinuz of Debian's current
# linux-image-amd64, downloading and unpacking it when it is not cached yet.
fetch_kernel() {
    local pkg
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
    if [ -z "$pkg" ]; then
        # No package lists: any kernel cached before does.
        pkg=$(find "$cache" -maxdepth 1 -name 'linux-image-*' -printf '%f\n' 2>/dev/null | sort | tail -n1)
        [ -n "$pkg" ] || skip "apt knows no linux-image-amd64 and none is cached in $cache: run 'apt-get update'"
    fi
    if [ ! -e "$cache/$pkg/vmlinuz" ]; then
        say "fetching $pkg into $cache (about 70 MB)"
        download "$pkg" || skip "cannot download $pkg (see below)$(echo; tail -n3 "$work/apt.log")"
        mkdir -p "$work/kernel" "$cache/$pkg"
        # Only the image and its configuration: the modules would be 400 MB.
        dpkg-deb --fsys-tarfile "$work"/debs/"$pkg"_*.deb | tar -x -C "$work/kernel" --wildcards './boot/*'
        cp "$work"/kernel/boot/config-* "$cache/$pkg/config"
        cp "$work"/kernel/boot/vmlinuz-* "$cache/$pkg/vmlinuz.part"
        mv "$cache/$pkg/vmlinuz.part" "$cache/$pkg/vmlinuz"
    fi
    # The guest loads no modules: the serial driver, its PCI part and the
    # initramfs support must be built in.
    local option
    for option in CONFIG_SERIAL_8250 CONFIG_SERIAL_8250_PCI CONFIG_BLK_DEV_INITRD CONFIG_DEVTMPFS; do
        grep -qx "$option=y" "$cache/$pkg/config" ||
            skip "$pkg does not have $option=y built in ($cache/$pkg/config)"
    done
    kernel="$cache/$pkg/vmlinuz"
}

fetch_busybox() {
    busybox="$cache/busybox-static/busybox"
    [ -e "$busybox" ] && return 0
    say "fetching busybox-static into $cache"
    download busybox-static || skip "cannot download busybox-static$(echo; tail -n3 "$work/apt.log")"
    dpkg-deb -x "$work"/debs/busybox-static_*.deb "$work/busybox"
    mkdir -p "$cache/busybox-static"
    cp "$work/busybox/bin/busybox" "$busybox.part"
    mv "$busybox.part" "$busybox"
}

# The shipped marquell, statically linked for the guest; ttysim and
# wire_reader for this machine.
build_tools() {
    say "building marquell (static), ttysim and wire_reader in $build"
    if ! {
        cmake -S "$top" -B "$build/static" -DCMAKE_BUILD_TYPE=Release -DMARQUELL_TESTS=OFF \
            -DCMAKE_EXE_LINKER_FLAGS=-static &&
            cmake --build "$build/static" -j"$(nproc)" --target marquell &&
            cmake -S "$top" -B "$build/host" &&
            cmake --build "$build/host" -j"$(nproc)" --target ttysim wire_reader
    } >"$work/build.log" 2>&1; then
        tail -n 20 "$work/build.log"
        say "the build failed (log above)"
        exit 1
    fi
    marquell="$build/static/marquell"
}

# lane_ports LANE: the ports the lane's cases read back; no other lane may use them.
lane_ports() {
    plan_cases | awk -v l="$1" '$1 == l { for (i = 5; i <= NF; i++) print $i }' | sort -un
}

# plan_cases: prints "lane case check file ports..." for every case of the plan.
plan_cases() {
    awk '!/^#/ && NF' "$plan"
}

# reference CASE: runs marquell on the case under ttysim; the report goes to
# $work/ref/CASE/report, each port's bytes to $work/ref/CASE/ttyS<n>. The
# ports are the guest's: ttyS0 (its console) and the lines, the dead one
# never read.
reference() {
    local dir="$work/ref/$1" ports=(0) line status=0
    for line in "${lines[@]}"; do
        if [ "${line%%:*}" = "$dead_port" ]; then
            ports+=("$dead_port:stall")
        else
            ports+=("${line%%:*}")
        fi
    done
    (cd "$work/cases/$1" && "$build/host/ttysim" --dir "$dir" "${ports[@]}" -- "$marquell" \
        >"$dir/report") || status=$?
    [ "$status" != 77 ] || skip "ttysim cannot make a private mount namespace here (needs root or user namespaces)"
    if [ "$status" != 0 ]; then
        say "ttysim failed on case $1 (status $status)"
        exit 1
    fi
}

# Lays out each case's file for the guest and for its reference run.
prepare_cases() {
    mkdir -p "$work/root/cases" "$work/ref"
    local lane name check file ports
    # shellcheck disable=SC2034 # lane, check and ports are read past
    while read -r lane name check file ports; do
        mkdir -p "$work/cases/$name" "$work/ref/$name"
        cp "$top/$file" "$work/cases/$name/marquell.ini"
        cp -r "$work/cases/$name" "$work/root/cases/"
        reference "$name"
    done < <(plan_cases)
}

make_initramfs() {
    mkdir -p "$work/root/bin" "$work/root/dev" "$work/root/proc" "$work/root/sys"
    cp "$busybox" "$marquell" "$work/root/bin/"
    cp "$here/init" "$work/root/init"
    cp "$plan" "$work/root/plan"
    (cd "$work/root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
}

# qemu_args ACCEL CONSOLE-FILE [KERNEL-ARG...]: sets $qemu to the QEMU command
# line of the guest.
qemu_args() {
    local accel=$1 console=$2
    shift 2
    qemu=(qemu-system-x86_64 -accel "$accel" -m 256 -nodefaults -no-user-config -display none
        -no-reboot -kernel "$kernel" -initrd "$work/initramfs.cpio" -serial "file:$console"
        -append "console=ttyS0 quiet panic=-1 8250.nr_uarts=5 $*")
}

# On machines whose /dev/kvm cannot run an unmodified kernel the probe guest
# hangs without a word; TCG is used then.
choose_accel() {
    accel=tcg
    local why="there is no usable /dev/kvm"
    if [ -w /dev/kvm ]; then
        qemu_args kvm "$work/probe.log" marquell.probe
        local status=0 started=$SECONDS
        (timeout -k 2 "$probe_s" "${qemu[@]}" -cpu host >"$work/probe.err" 2>&1 || exit) 2>/dev/null ||
            status=$?
        if grep -q '^@@ - probe booted' "$work/probe.log" 2>/dev/null; then
            accel=kvm
        elif [ "$status" = 124 ]; then
            why="a probe guest showed no sign of life within $probe_s s"
        else
            why="QEMU under KVM stopped with status $status after $((SECONDS - started)) s"
        fi
    fi
    if [ "$accel" = kvm ]; then
        say "KVM boots the guest: using KVM"
    else
        say "KVM cannot run the guest ($why): using TCG, which takes a few minutes"
    fi
}

# The guest's console is ttyS0; ttyS1..3 are the PC's own UARTs, each on an
# interrupt of its own, and ttyS4 is a PCI one. Each is a socket served by
# wire_reader.
run_guest() {
    mkdir -p "$work/lines"
    # shellcheck disable=SC2054 # the commas separate QEMU's options
    local devices=(
        -chardev socket,id=line1,fd=101 -device isa-serial,index=1,chardev=line1
        -chardev socket,id=line2,fd=102 -device isa-serial,index=2,irq=5,chardev=line2
        -chardev socket,id=line3,fd=103 -device isa-serial,index=3,irq=7,chardev=line3
        -chardev socket,id=line4,fd=104 -device pci-serial,chardev=line4
    )
    local line how=""
    for line in "${lines[@]}"; do
        how="$how, ttyS${line%%:*} ${line#*:}"
    done
    say "running the guest: $cases cases; the host reads${how#,} (baud; dead: never read)"
    local start status=0
    start=$(date +%s.%N)
    qemu_args "$accel" "$work/console.raw"
    "$build/host/wire_reader" --dir "$work/lines" --timeout "$guest_timeout_s" "${lines[@]}" -- \
        "${qemu[@]}" "${devices[@]}" \
        >"$work/qemu.log" 2>&1 || status=$?
    run_s=$(echo "$(date +%s.%N) $start" | awk '{ printf "%.1f", $1 - $2 }')
    tr -d '\r' <"$work/console.raw" >"$work/console"
    if [ "$status" != 0 ] || ! grep -q '^@@ - done' "$work/console"; then
        cat "$work/qemu.log"
        tail -n 20 "$work/console"
        say "the guest did not finish its cases (status $status after $run_s s; its console above)"
        exit 1
    fi
}

# result CASE WHAT: the words after "@@ CASE WHAT" on the guest's console.
result() {
    awk -v c="$1" -v w="$2" '$1 == "@@" && $2 == c && $3 == w { $1 = $2 = $3 = ""; sub(/^ +/, ""); print; exit }' \
        "$work/console"
}

# tx CASE WHEN PORT: the bytes the guest's driver had given PORT's UART.
tx() {
    result "$1" "tx$2" | tr ' ' '\n' | awk -F: -v p="$3" '$1 == p { print $2 }'
}

# slice PORT FROM TO: the bytes PORT carried from byte FROM up to TO.
slice() {
    tail -c +"$(($2 + 1))" "$work/lines/ttyS$1" | head -c "$(($3 - $2))"
}

# line_span PORT FROM TO RATE: seconds from the start of byte FROM on the
# wire to the end of byte TO-1.
line_span() {
    awk -v a="$(($2 + 1))" -v b="$3" -v r="$4" 'NR == a { f = $1 } NR == b { l = $1 }
        END { printf "%.3f", (l - f) / 1e6 + 11 / r }' "$work/lines/ttyS$1.times"
}

# line_gaps PORT FROM TO RATE: how long the line stood idle between bytes FROM
# and TO-1, in how many gaps, and the longest, in milliseconds.
line_gaps() {
    awk -v a="$(($2 + 1))" -v b="$3" -v r="$4" 'BEGIN { byte = 11e6 / r }
        NR > a && NR <= b { gap = $1 - last - byte; if (gap > 0.2 * byte) { idle += gap; n++ }
            if (gap > most) most = gap }
        { last = $1 }
        END { printf "idle %.0f ms in %d gaps, the longest %.0f ms", idle / 1000, n, most / 1000 }' \
        "$work/lines/ttyS$1.times"
}

failures=0
fail() {
    echo "  $name: $*" >>"$work/faults"
    ok=no
}

# The settings marquell gives a line, as stty -a names them.
line_settings=(-parenb -parodd cs8 -hupcl cstopb cread clocal -crtscts -ignbrk -brkint ignpar -parmrk
    -inpck -istrip -inlcr -igncr -icrnl -ixon -ixoff -opost -onlcr -isig -icanon -iexten -echo noflsh)

check_settings() {
    local port text word
    for port in "$@"; do
        text=" $(result "$name" "stty$port") "
        [[ "$text" == *" speed $rate baud;"* ]] || fail "ttyS$port's rate is not $rate: $text"
        for word in "${line_settings[@]}"; do
            [[ "$text" == *" $word "* ]] || fail "ttyS$port lacks '$word' after the run: $text"
        done
    done
}

# check_case LANE CASE CHECK FILE PORT...: checks one case and prints its row.
check_case() {
    local lane=$1 check=$3 file=$4
    name=$2
    shift 4
    ok=yes
    if [ -z "$(result "$name" txafter)" ]; then
        fail "no results on the guest's console"
        failures=$((failures + 1))
        return
    fi
    result "$name" report | base64 -d >"$work/report.$name"
    rate=$(sed -n 's/^Baudrate = \([0-9]*\).*/\1/p' "$work/ref/$name/report" | head -n1)
    local failed wall user sys
    failed=$(grep -c '^SendByte() failed' "$work/report.$name" || true)
    read -r wall user sys <<<"$(result "$name" time)"
    if [ "$check" = dead ]; then
        cmp -s <(grep -v '^SendByte() failed' "$work/report.$name") \
            <(grep -v '^SendByte() failed' "$work/ref/$name/report") ||
            fail "the console report differs from the reference (not counting SendByte lines)"
    else
        cmp -s "$work/report.$name" "$work/ref/$name/report" ||
            fail "the console report differs from the reference ($(diff <(cat -A "$work/ref/$name/report") \
                <(cat -A "$work/report.$name") | head -n4 | tr '\n' ' '))"
    fi
    local port from to expected delivered=0 wanted=0 used="" live_wire=0 span="-" wire="-"
    for port in $(lane_ports "$lane"); do
        [ "$port" != "$dead_port" ] || continue
        from=$(tx "$name" before "$port")
        to=$(tx "$name" after "$port")
        expected="$work/ref/$name/ttyS$port"
        [ -e "$expected" ] || : >"$expected"
        if [ -s "$expected" ] || [ "$to" != "$from" ]; then
            used="$used ttyS$port"
            live_wire=$(awk -v t="$live_wire" -v n="$((to - from))" -v r="$rate" 'BEGIN { print t + n * 11 / r }')
        fi
        delivered=$((delivered + to - from))
        wanted=$((wanted + $(wc -c <"$expected")))
        cmp -s <(slice "$port" "$from" "$to") "$expected" ||
            fail "ttyS$port carried $((to - from)) bytes, not the reference's $(wc -c <"$expected") (or other bytes)"
        if [ "$check" = pulse ] && [ -s "$expected" ]; then
            span=$(line_span "$port" "$from" "$to" "$rate")
            wire=$(awk -v n="$(wc -c <"$expected")" -v r="$rate" 'BEGIN { printf "%.3f", n * 11 / r }')
            awk -v s="$span" -v w="$wire" 'BEGIN { exit !(s <= w * 1.01) }' ||
                fail "the line was busy $span s, more than 1 % over the bytes' wire time $wire s;" \
                    "$(line_gaps "$port" "$from" "$to" "$rate") (a busy host stalls the emulator too)"
        fi
    done
    if [ "$check" = pulse ]; then
        [ "$span" != - ] || fail "no line of lane $lane carried a pulse in the reference run"
        [ "$failed" = 0 ] || fail "$failed SendByte() failed lines"
    fi
    local cost="-"
    if [ "$check" = dead ]; then
        used="$used ttyS$dead_port(dead)"
        cost=$(awk -v w="$wall" -v l="$live_wire" 'BEGIN { printf "%.2f", w - l }')
        awk -v c="$cost" 'BEGIN { exit !(c <= 3.0) }' || fail "the dead port cost $cost s, more than 3 s"
    fi
    check_settings "$@"
    [ "$ok" = yes ] || failures=$((failures + 1))
    local cpu
    cpu=$(awk -v u="$user" -v s="$sys" -v w="$wall" \
        'BEGIN { printf "%.2f (%.1f%%)", u + s, (w > 0 ? 100 * (u + s) / w : 0) }')
    printf '%-17s %-5s %-5s %-22s %11s %6s %15s %7s %14s %5s  %s\n' "$name" "$check" "$rate" "${used# }" \
        "$delivered/$wanted" "$failed" "$span/$wire" "$wall" "$cpu" "$cost" "$ok"
}

report() {
    printf '%-17s %-5s %-5s %-22s %11s %6s %15s %7s %14s %5s  %s\n' case check rate ports bytes failed \
        "line/wire s" "wall s" "cpu s" "dead" ok
    : >"$work/faults"
    while read -r lane name check file ports; do
        # shellcheck disable=SC2086 # the ports are separate words
        check_case "$lane" "$name" "$check" "$file" $ports
    done < <(plan_cases)
    if [ -s "$work/faults" ]; then
        echo
        cat "$work/faults"
    fi
    echo
    say "booted in $(result - booted) s of guest time under $accel; the whole run took $run_s s"
    say "the dead port's path held $(wc -c <"$work/lines/ttyS$dead_port") bytes in the host's socket," \
        "on top of the UART's 16-byte FIFO"
    say "bytes: delivered/expected on the live ports; failed: SendByte() failed lines; line/wire:" \
        "the pulse's time on the line against its bytes' wire time; wall, cpu: marquell's, by the" \
        "guest's clock; dead: the run's wall time less the live display's wire time"
}

cases=$(plan_cases | wc -l)
if [ "$cases" = 0 ]; then
    say "$plan names no case"
    exit 1
fi
fetch_kernel
fetch_busybox
build_tools
say "reference runs of $cases cases under ttysim"
prepare_cases
make_initramfs
choose_accel
run_guest
report
echo "$((cases - failures)) passed, $failures failed"
[ "$failures" = 0 ]
