#!/usr/bin/env bash
# Tests marquell on the kernel's own serial drivers. Boots a small Linux guest
# in QEMU (Debian's kernel, some of its modules and busybox, fetched into a
# cache, never installed here) whose ttyS1..ttyS11 are emulated 16550A UARTs
# under the 8250 driver, read by the host at a wire's pace or as a USB serial
# adapter takes bytes, and whose USB serial ports (ftdi_sio on QEMU's
# usb-serial, cdc-acm on a g_serial gadget) are linked as ttyS20..ttyS22.
# It runs the statically linked marquell there on the cases of
# tools/guest/cases/plan, and checks the console report, every byte each line
# carried, the line settings, the timing of the attention pulse, the cost of
# a dead port and a USB port pulled mid-display. The expected report and
# bytes come from the same marquell and the same file under ttysim, on
# pseudo-terminals on this machine.
#
# Exit status: 0 every case passed, 1 a case failed, 77 skipped (QEMU, the
# kernel or a private mount namespace cannot be had); with CI=true or
# MARQUELL_GUEST_REQUIRED=1 a skip is a failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/tools/guest"
build="$top/build-guest"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/marquell/guest"
# MARQUELL_GUEST_PLAN runs the cases of another plan, e.g. only stops cases.
plan="${MARQUELL_GUEST_PLAN:-$here/cases/plan}"

# The guest's lines as wire_reader serves them (BAUD: a wire's pace; BAUD/STEP:
# an adapter's transfers of STEP bytes; free: as fast as bytes come; dead:
# never read); tools/guest/cases/plan relies on these. ttyS1..3 are the PC's
# own UARTs, each on an interrupt of its own, the others PCI ones; ttyS20 and
# ttyS21 are QEMU's usb-serial devices.
lines=(1:19200 2:19200 3:1200 4:dead 5:1200/256 6:1200/512 7:2400/256 8:2400/512 9:19200/256
    10:19200/512 11:1200 20:free 21:free)
dead_port=$(printf '%s\n' "${lines[@]}" | sed -n 's/:dead$//p')
# The guest's USB serial ports, "N KIND WHERE", linked as /dev/ttyS<N>: the
# ttyUSB port of the usb-serial device on root port WHERE, or the host's end
# (ttyACM) of the gadget's port.
usb_ports=("20 usb 1-1" "21 usb 1-2" "22 acm gadget")
# The USB serial drivers the guest loads, each after the modules it needs.
usb_modules=(xhci-pci ftdi_sio cdc-acm dummy_hcd usb_f_acm g_serial)
# A pulled port is pulled once it has carried this many bytes.
pull_after=2000
# How often a stops case tries each of its three pairs of stop requests.
stop_trials=${MARQUELL_GUEST_STOP_TRIALS:-1}
# A probe guest under KVM that has not printed its marker by then is taken as
# KVM not working here.
probe_s=15
guest_timeout_s=900

work=$(mktemp -d)
trap '[ -n "${MARQUELL_GUEST_KEEP:-}" ] || rm -rf "$work"' EXIT
guest=guest
# The guest prints its results on its console.
results="$work/console"
# shellcheck source=tools/guest/common.sh
. "$here/common.sh"

for tool in qemu-system-x86_64:qemu-system-x86 apt-get:apt dpkg-deb:dpkg cpio:cpio; do
    command -v "${tool%%:*}" >/dev/null ||
        skip "${tool%%:*} is missing: install it with 'apt-get install ${tool#*:}'"
done

# unpack_module FILE: the module FILE, uncompressed; kernels compress their
# modules with xz, gzip or zstd, or not at all.
unpack_module() {
    case $1 in
        *.xz) "$busybox" xzcat "$1" ;;
        *.gz) "$busybox" zcat "$1" ;;
        *.zst) zstd -qdc "$1" ;;
        *) cat "$1" ;;
    esac
}

# extract_modules DEB DIR: unpacks the modules of usb_modules and every module
# they need (each module names them in its .modinfo) from the kernel package
# DEB into DIR, uncompressed, and lists them in DIR/order, each after those it
# needs. A module the package lacks is named in DIR/missing.
extract_modules() {
    local deb=$1 dir=$2 index name path want=("${usb_modules[@]}")
    local -A found=() needs=()
    mkdir -p "$dir" "$work/modules"
    index=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -E '/kernel/.*\.ko(\.xz|\.gz|\.zst)?$')
    while [ "${#want[@]}" -gt 0 ]; do
        local paths=() names=()
        for name in "${want[@]}"; do
            # The kernel takes - and _ in module names alike.
            path=$(grep -E "/${name//[-_]/[-_]}\.ko(\.xz|\.gz|\.zst)?$" <<<"$index" | head -n1)
            if [ -z "$path" ]; then
                echo "$name" >>"$dir/missing"
                found[$name]=missing
                continue
            fi
            paths+=("$path")
            names+=("$name")
        done
        want=()
        [ "${#paths[@]}" -gt 0 ] || break
        dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/modules" "${paths[@]}"
        local i
        for i in "${!names[@]}"; do
            name=${names[$i]}
            path="$work/modules/${paths[$i]}"
            unpack_module "$path" >"$dir/$name.ko" ||
                skip "cannot uncompress $path (zstd needs 'apt-get install zstd')"
            found[$name]=yes
            needs[$name]=$(tr '\0' '\n' <"$dir/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' ')
            local need
            for need in ${needs[$name]}; do
                [ -n "${found[$need]:-}" ] || { found[$need]=pending; want+=("$need"); }
            done
        done
    done
    # Depth first, each module after what it needs, the wanted ones in their order.
    local -A placed=()
    place() {
        [ -z "${placed[$1]:-}" ] && [ "${found[$1]}" = yes ] || return 0
        placed[$1]=yes
        local need
        for need in ${needs[$1]}; do
            place "$need"
        done
        echo "$1.ko" >>"$dir/order.part"
    }
    for name in "${usb_modules[@]}"; do
        place "$name"
    done
    mv "$dir/order.part" "$dir/order"
}

# fetch_kernel: sets $kernel to the cached vmlinuz of Debian's current
# linux-image-amd64, downloading and unpacking it when it is not cached yet.
fetch_kernel() {
    local pkg
    pkg=$(kernel_package amd64)
    if [ ! -e "$cache/$pkg/vmlinuz" ] || [ ! -e "$cache/$pkg/modules/order" ]; then
        say "fetching $pkg into $cache (about 70 MB)"
        download "$pkg" || skip "cannot download $pkg (see below)$(echo; tail -n3 "$work/apt.log")"
        mkdir -p "$work/kernel" "$cache/$pkg"
        # Only the image, its configuration and the USB serial modules: all
        # the modules would be 400 MB.
        dpkg-deb --fsys-tarfile "$work"/debs/"$pkg"_*.deb | tar -x -C "$work/kernel" --wildcards './boot/*'
        cp "$work"/kernel/boot/config-* "$cache/$pkg/config"
        rm -rf "$cache/$pkg/modules"
        extract_modules "$work"/debs/"$pkg"_*.deb "$cache/$pkg/modules"
        cp "$work"/kernel/boot/vmlinuz-* "$cache/$pkg/vmlinuz.part"
        mv "$cache/$pkg/vmlinuz.part" "$cache/$pkg/vmlinuz"
    fi
    # The serial driver, its PCI part and the initramfs support.
    kernel_has "$cache/$pkg/config" CONFIG_SERIAL_8250 CONFIG_SERIAL_8250_PCI CONFIG_BLK_DEV_INITRD \
        CONFIG_DEVTMPFS
    kernel="$cache/$pkg/vmlinuz"
    modules="$cache/$pkg/modules"
}

# The shipped marquell, statically linked for the guest; ttysim and
# wire_reader for this machine.
build_tools() {
    say "building marquell (static), ttysim and wire_reader in $build"
    build "$build/static" marquell -DCMAKE_EXE_LINKER_FLAGS=-static
    build "$build/host" "ttysim wire_reader"
    marquell="$build/static/marquell"
    # The bits a byte takes on the line, as the program counts them.
    read -r bits_per_byte _ <<<"$("$build/host/wire_reader" --line 19200)"
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
# ports are the guest's: ttyS0 (its console), the lines, the dead one never
# read, and the USB ports.
reference() {
    local dir="$work/ref/$1" ports=(0) line usb status=0
    for line in "${lines[@]}"; do
        if [ "${line%%:*}" = "$dead_port" ]; then
            ports+=("$dead_port:stall")
        else
            ports+=("${line%%:*}")
        fi
    done
    for usb in "${usb_ports[@]}"; do
        line_of "${usb%% *}" >/dev/null || ports+=("${usb%% *}")
    done
    (cd "$work/cases/$1" && "$build/host/ttysim" --dir "$dir" "${ports[@]}" -- "$marquell" \
        >"$dir/report") || status=$?
    [ "$status" != 77 ] || skip "ttysim cannot make a private mount namespace here (needs root or user namespaces)"
    if [ "$status" != 0 ]; then
        say "ttysim failed on case $1 (status $status)"
        exit 1
    fi
}

# line_of PORT: how wire_reader reads PORT (19200, 1200/256, free, dead);
# false for a port it does not read.
line_of() {
    printf '%s\n' "${lines[@]}" | awk -F: -v p="$1" '$1 == p { print $2; found = 1 } END { exit !found }'
}

# rate_of PORT: the rate of PORT's line. No wire paces a USB port: it gets
# the slowest rate, where any wait of marquell's would be longest.
rate_of() {
    local how
    how=$(line_of "$1") || how=1200
    how=${how%/*}
    case $how in
        free | dead) echo 1200 ;;
        *) echo "$how" ;;
    esac
}

# Lays out each case's file for the guest and for its reference run.
prepare_cases() {
    mkdir -p "$work/root/cases" "$work/ref"
    local lane name check file ports first next
    # shellcheck disable=SC2034 # lane and check are read past
    while read -r lane name check file ports; do
        mkdir -p "$work/cases/$name" "$work/ref/$name"
        read -r first next _ <<<"$ports "
        sed -e "s/@RATE@/$(rate_of "${first:-0}")/g" -e "s/@PORT@/$first/g" -e "s/@NEXT@/$next/g" \
            "$top/$file" >"$work/cases/$name/marquell.ini"
        cp -r "$work/cases/$name" "$work/root/cases/"
        reference "$name"
    done < <(plan_cases)
}

make_initramfs() {
    cp "$plan" "$work/root/plan"
    cp -r "$modules" "$work/root/modules"
    printf '%s\n' "${usb_ports[@]}" >"$work/root/usb"
    pack_initramfs "$here/init"
}

# qemu_args ACCEL CONSOLE-FILE [KERNEL-ARG...]: sets $qemu to the QEMU command
# line of the guest.
qemu_args() {
    local accel=$1 console=$2
    shift 2
    qemu=(qemu-system-x86_64 -accel "$accel" -m 256 -nodefaults -no-user-config -display none
        -no-reboot -kernel "$kernel" -initrd "$work/initramfs.cpio" -serial "file:$console"
        -append "console=ttyS0 quiet panic=-1 8250.nr_uarts=12 marquell.pull_after=$pull_after marquell.stop_trials=$stop_trials $*")
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

# pulls: the wire_reader options that pull, mid-display, each port a pull
# case names first and the host reads (a QEMU device).
pulls() {
    local port
    for port in $(plan_cases | awk '$3 == "pull" { print $5 }'); do
        [ "$(line_of "$port")" != free ] || echo "--pull $port:$pull_after:usb$port"
    done
}

# The guest's console is ttyS0; the PCI serial cards take the next numbers
# in the order of their slots, so ttyS4, ttyS5..8, ttyS9..10, ttyS11. Each
# line is a socket served by wire_reader, which also talks to QEMU's monitor
# to pull a device.
run_guest() {
    mkdir -p "$work/lines"
    local n chardevs=()
    for n in 1 2 3 4 5 6 7 8 9 10 11 20 21; do
        chardevs+=(-chardev "socket,id=line$n,fd=$((100 + n))")
    done
    # shellcheck disable=SC2054 # the commas separate QEMU's options
    local devices=(
        "${chardevs[@]}"
        -device isa-serial,index=1,chardev=line1
        -device isa-serial,index=2,irq=5,chardev=line2
        -device isa-serial,index=3,irq=7,chardev=line3
        -device pci-serial,chardev=line4,addr=0x10
        -device pci-serial-4x,chardev1=line5,chardev2=line6,chardev3=line7,chardev4=line8,addr=0x11
        -device pci-serial-2x,chardev1=line9,chardev2=line10,addr=0x12
        -device pci-serial,chardev=line11,addr=0x13
        -device qemu-xhci,id=xhci,addr=0x14
        -device usb-serial,id=usb20,bus=xhci.0,port=1,chardev=line20
        -device usb-serial,id=usb21,bus=xhci.0,port=2,chardev=line21
    )
    local pull_opts
    read -ra pull_opts <<<"$(pulls | tr '\n' ' ')"
    # shellcheck disable=SC2054 # the commas separate QEMU's options
    [ "${#pull_opts[@]}" = 0 ] || devices+=(-chardev socket,id=qmp,fd=99 -mon chardev=qmp,mode=control)
    local line how=""
    for line in "${lines[@]}"; do
        how="$how, ttyS${line%%:*} ${line#*:}"
    done
    say "running the guest: $cases cases; the host reads${how#,}" \
        "(baud, or baud/bytes a transfer; free: as fast as bytes come; dead: never read)"
    local start status=0
    start=$(date +%s.%N)
    qemu_args "$accel" "$work/console.raw"
    "$build/host/wire_reader" --dir "$work/lines" --timeout "$guest_timeout_s" "${pull_opts[@]}" "${lines[@]}" -- \
        "${qemu[@]}" "${devices[@]}" \
        >"$work/qemu.log" 2>&1 || status=$?
    run_s=$(seconds_since "$start")
    tr -d '\r' <"$work/console.raw" >"$work/console"
    if [ "$status" != 0 ] || ! grep -q '^@@ - done' "$work/console"; then
        cat "$work/qemu.log"
        tail -n 20 "$work/console"
        say "the guest did not finish its cases (status $status after $run_s s; its console above)"
        exit 1
    fi
}

# tx CASE WHEN PORT: the bytes the guest's driver had given PORT's UART.
tx() {
    result "$1" "tx$2" | tr ' ' '\n' | awk -F: -v p="$3" '$1 == p { print $2 }'
}

# slice PORT FROM TO: the bytes PORT carried from byte FROM up to TO.
slice() {
    head -c "$3" "$work/lines/ttyS$1" | tail -c +"$(($2 + 1))"
}

# line_span PORT FROM TO RATE: seconds from the start of byte FROM on the
# wire to the end of byte TO-1, or of the last byte the line carried; "-"
# when it carried none of them.
line_span() {
    awk -v a="$(($2 + 1))" -v b="$3" -v r="$4" -v bits="$bits_per_byte" \
        'NR == a { f = $1; seen = 1 } NR >= a && NR <= b { l = $1 }
        END { if (seen) printf "%.3f", (l - f) / 1e6 + bits / r; else printf "-" }' "$work/lines/ttyS$1.times"
}

# line_gaps PORT FROM TO RATE: how long the line stood idle between bytes FROM
# and TO-1, in how many gaps, and the longest, in milliseconds.
line_gaps() {
    awk -v a="$(($2 + 1))" -v b="$3" -v r="$4" -v bits="$bits_per_byte" 'BEGIN { byte = bits * 1e6 / r }
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

# usb_kind PORT: usb or acm for a USB port, nothing for a UART.
usb_kind() {
    printf '%s\n' "${usb_ports[@]}" | awk -v p="$1" '$1 == p { print $2 }'
}

# case_bytes CASE PORT: the bytes PORT carried during CASE: the gadget's
# share of what its end read, a usb-serial device's whole capture (it serves
# one case), or a UART's bytes between the case's counts.
case_bytes() {
    if [ "$(usb_kind "$2")" = acm ]; then
        result "$1" gadget | base64 -d
    elif [ "$(line_of "$2")" = free ]; then
        cat "$work/lines/ttyS$2"
    else
        slice "$2" "$(tx "$1" before "$2")" "$(tx "$1" after "$2")"
    fi
}

# stuck_s RATE: how long marquell lets a port at RATE move nothing before it
# counts as stuck, as its own code has it.
stuck_s() {
    "$build/host/wire_reader" --line "$1" | awk '{ printf "%.2f", $2 }'
}

# wire_s BYTES RATE: the bytes' time on a wire at RATE.
wire_s() {
    awk -v n="$1" -v r="$2" -v bits="$bits_per_byte" 'BEGIN { printf "%.3f", n * bits / r }'
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
    result "$name" stderr | base64 -d >"$work/stderr.$name"
    rate=$(sed -n 's/^Baudrate = \([0-9]*\).*/\1/p' "$work/ref/$name/report" | head -n1)
    local failed wall user sys
    failed=$(grep -c '^SendByte() failed' "$work/report.$name" || true)
    read -r wall user sys <<<"$(result "$name" time)"
    if [ "$check" = dead ] || [ "$check" = pull ]; then
        cmp -s <(grep -v '^SendByte() failed' "$work/report.$name") \
            <(grep -v '^SendByte() failed' "$work/ref/$name/report") ||
            fail "the console report differs from the reference (not counting SendByte lines)"
    else
        cmp -s "$work/report.$name" "$work/ref/$name/report" ||
            fail "the console report differs from the reference ($(diff <(cat -A "$work/ref/$name/report") \
                <(cat -A "$work/report.$name") | head -n4 | tr '\n' ' '))"
    fi
    local pulled="" settled=("$@")
    if [ "$check" = pull ]; then
        pulled=$1
        settled=("${@:2}")
    fi
    arrived="-"
    local port expected got n want delivered=0 wanted=0 used="" live_wire=0 span="-" wire="-" timed=no
    for port in $(lane_ports "$lane"); do
        [ "$port" != "$dead_port" ] || continue
        # A usb-serial device's capture is its one case's.
        [ "$(line_of "$port")" != free ] || [[ " $* " == *" $port "* ]] || continue
        expected="$work/ref/$name/ttyS$port"
        [ -e "$expected" ] || : >"$expected"
        got="$work/got.$name.ttyS$port"
        case_bytes "$name" "$port" >"$got"
        n=$(wc -c <"$got")
        want=$(wc -c <"$expected")
        [ "$want" = 0 ] && [ "$n" = 0 ] || used="$used ttyS$port"
        delivered=$((delivered + n))
        wanted=$((wanted + want))
        if [ "$port" = "$pulled" ]; then
            arrived="$n/$want"
            cmp -s "$got" <(head -c "$n" "$expected") ||
                fail "ttyS$port carried other bytes than the start of the reference's $want"
            [ "$n" -lt "$want" ] ||
                fail "ttyS$port carried all $want bytes: the pull came too late to test anything"
            continue
        fi
        live_wire=$(awk -v t="$live_wire" -v w="$(wire_s "$n" "$rate")" 'BEGIN { print t + w }')
        cmp -s "$got" "$expected" ||
            fail "ttyS$port carried $n bytes, not the reference's $want (or other bytes)"
        if { [ "$check" = pulse ] || [ "$check" = steps ]; } && [ "$want" -gt 0 ]; then
            span=$(line_span "$port" "$(tx "$name" before "$port")" "$(tx "$name" after "$port")" "$rate")
            wire=$(wire_s "$want" "$rate")
            timed=yes
        fi
        if [ "$check" = pulse ] && [ "$want" -gt 0 ]; then
            awk -v s="$span" -v w="$wire" 'BEGIN { exit !(s <= w * 1.01) }' ||
                fail "the line was busy $span s, more than 1 % over the bytes' wire time $wire s;" \
                    "$(line_gaps "$port" "$(tx "$name" before "$port")" "$(tx "$name" after "$port")" "$rate")" \
                    "(a busy host stalls the emulator too)"
        fi
    done
    if [ "$check" = pulse ] || [ "$check" = steps ]; then
        [ "$timed" = yes ] || fail "no line of lane $lane carried bytes in the reference run"
        [ "$failed" = 0 ] || fail "$failed SendByte() failed lines"
    fi
    local cost="-"
    if [ "$check" = dead ]; then
        used="$used ttyS$dead_port(dead)"
        cost=$(awk -v w="$wall" -v l="$live_wire" 'BEGIN { printf "%.2f", w - l }')
        local displays bound
        displays=$(grep -c "^### init serial : /dev/ttyS$dead_port"$'\r'"\\?\$" "$work/ref/$name/report" || true)
        bound=$(awk -v d="$displays" -v s="$(stuck_s "$rate")" 'BEGIN { printf "%.2f", d * (s + 1) }')
        awk -v c="$cost" -v b="$bound" 'BEGIN { exit !(c <= b) }' ||
            fail "the dead port cost $cost s, more than $bound s (for each of its $displays display(s)" \
                "$(stuck_s "$rate") s standing still and 1 s)"
        local summary
        summary=$(tail -n 1 "$work/stderr.$name")
        [[ "$summary" =~ ^marquell:\ [0-9]+\ of\ [0-9]+\ displays?\ not\ served\ whole:\ (.*,\ )?/dev/ttyS$dead_port(,|$) ]] ||
            fail "the run's last line does not name ttyS$dead_port as not served whole: $summary"
    fi
    if [ "$check" = pull ]; then
        check_pull "${settled[0]}"
    fi
    check_settings "${settled[@]}"
    [ "$ok" = yes ] || failures=$((failures + 1))
    local cpu
    cpu=$(awk -v u="$user" -v s="$sys" -v w="$wall" \
        'BEGIN { printf "%.2f (%.1f%%)", u + s, (w > 0 ? 100 * (u + s) / w : 0) }')
    printf '%-17s %-5s %-5s %-22s %11s %6s %15s %7s %14s %5s  %s\n' "$name" "$check" "$rate" "${used# }" \
        "$delivered/$wanted" "$failed" "$span/$wire" "$wall" "$cpu" "$cost" "$ok"
    if [ "$ok" != yes ] || [ "$check" = dead ] || [ "$check" = pull ]; then
        shown_stderr+=("$name")
    fi
}

# unit_ends FILE: the offsets in FILE's display bytes where a set-up byte, a
# text byte or a command with its arguments ends: where a stop may leave
# the display.
unit_ends() {
    od -An -v -tu1 "$1" | tr -s ' ' '\n' | awk 'BEGIN { print 0 }
        NF { n++; if (need > 0) need--; else if ($1 == 17 || $1 == 30) need = 2;
             else if ($1 == 14 || $1 == 15) need = 1; if (need == 0) print n }'
}

# check_stops CASE PORT: every trial of a stops case ended between two
# commands, with the bytes the display begins with, and by the signal that
# counts: SIGHUP after two SIGHUPs, SIGTERM after a SIGTERM.
check_stops() {
    name=$1
    ok=yes
    local port=$2 ref="$work/ref/$1/ttyS$2" trials=0 cut=0 wrong=0
    local _at _case trial first gap second at status before after last n want code
    rate=$(sed -n 's/^Baudrate = \([0-9]*\).*/\1/p' "$work/ref/$name/report" | head -n1)
    unit_ends "$ref" >"$work/ends.$name"
    while read -r _at _case trial first gap second at status before after last; do
        trials=$((trials + 1))
        n=$((after - before))
        cmp -s <(slice "$port" "$before" "$after") <(head -c "$n" "$ref") ||
            fail "$trial: other bytes than the first $n of the display"
        if ! grep -qx "$n" "$work/ends.$name"; then
            cut=$((cut + 1))
            fail "$trial ($first, $gap ms, $second at $at ms): a command cut after $n bytes"
        fi
        want=$second code=15
        [ "$want" = TERM ] || code=1
        if [ "$status" != $((128 + code)) ] || [ "$(echo "$last" | base64 -d)" != "Stopped by SIG$want." ]; then
            wrong=$((wrong + 1))
            fail "$trial ($first, $gap ms, $second at $at ms): status $status," \
                "last line '$(echo "$last" | base64 -d)', not SIG$want"
        fi
    done < <(grep "^@@ $name trial" "$work/console")
    [ "$trials" -gt 0 ] || fail "no trial ran"
    result "$name" stderr | base64 -d >"$work/stderr.$name"
    [ "$ok" = yes ] || failures=$((failures + 1))
    printf '%-17s %-5s %-5s %-22s %11s %6s %15s %7s %14s %5s  %s\n' "$name" stops "$rate" "ttyS$port" \
        "$trials tried" "$cut cut" "-" "-" "$wrong wrong end" "-" "$ok"
}

# check_pull NEXT: the pulled display ended at once, with failure lines, and
# the next display, on port NEXT, was served; adds a row to $work/pulls.
# Reads check_case's variables. "after" runs from the pull to the next
# display's first byte: by the host's clock when the host pulled (it knows
# both), else by the guest's.
check_pull() {
    local at after="-" bound=1 first
    at=$(result "$name" pulled)
    if [ -e "$work/lines/ttyS$pulled.pull" ]; then
        first=$(tx "$name" before "$1")
        after=$(awk -v p="$(cut -d' ' -f2 "$work/lines/ttyS$pulled.pull")" -v f="$((first + 1))" \
            'NR == f { printf "%.2f", ($1 - p) / 1e6; found = 1 } END { exit !found }' \
            "$work/lines/ttyS$1.times") || after="-"
    elif [ "${at%% *}" != never ] && [ -n "$(result "$name" next)" ]; then
        after=$(awk -v n="$(result "$name" next)" -v p="${at%% *}" 'BEGIN { printf "%.2f", n - p }')
    fi
    if [ "${at%% *}" = never ]; then
        fail "the guest saw no pull while marquell ran"
    elif [ "$after" = - ]; then
        fail "no byte of the next display came after the pull"
    else
        awk -v a="$after" -v b="$bound" 'BEGIN { exit !(a <= b) }' ||
            fail "the next display began $after s after the pull, more than $bound s"
    fi
    [ "$failed" -gt 0 ] || fail "no SendByte() failed line after the pull"
    printf '%-17s %-7s %-8s %11s %6s %8s %s\n' "$name" "ttyS$pulled" "$(usb_kind "$pulled")" "$arrived" \
        "$failed" "$after" "$([ "$ok" = yes ] && echo served || echo "see below")" >>"$work/pulls"
}

report() {
    printf '%-17s %-5s %-5s %-22s %11s %6s %15s %7s %14s %5s  %s\n' case check rate ports bytes failed \
        "line/wire s" "wall s" "cpu s" "dead" ok
    : >"$work/faults"
    : >"$work/pulls"
    shown_stderr=()
    while read -r lane name check file ports; do
        if [ "$check" = stops ]; then
            check_stops "$name" "$ports"
        else
            # shellcheck disable=SC2086 # the ports are separate words
            check_case "$lane" "$name" "$check" "$file" $ports
        fi
    done < <(plan_cases)
    if [ -s "$work/pulls" ]; then
        echo
        printf '%-17s %-7s %-8s %11s %6s %8s %s\n' "pulled" port driver arrived failed "after s" "next display"
        cat "$work/pulls"
    fi
    local shown
    echo
    for shown in "${shown_stderr[@]}"; do
        if [ -s "$work/stderr.$shown" ]; then
            echo "standard error of $shown ($(wc -l <"$work/stderr.$shown") lines, at most 5 shown):"
            head -n 5 "$work/stderr.$shown" | sed 's/^/  /'
        else
            echo "standard error of $shown: nothing"
        fi
    done
    if [ -s "$work/faults" ]; then
        echo
        cat "$work/faults"
    fi
    echo
    if [ -s "$modules/missing" ]; then
        say "Debian's kernel package lacks the modules $(tr '\n' ' ' <"$modules/missing")"
    fi
    sed -n 's/^@@ - usb /guest: usb /p' "$work/console"
    say "booted in $(result - booted) s of guest time under $accel; the whole run took $run_s s"
    say "the dead port's path held $(wc -c <"$work/lines/ttyS$dead_port") bytes in the host's socket," \
        "on top of the UART's 16-byte FIFO"
    say "bytes: delivered/expected on the live ports; failed: SendByte() failed lines; line/wire:" \
        "the bytes' time on the line against their wire time; wall, cpu: marquell's, by the" \
        "guest's clock; dead: the run's wall time less the live display's wire time"
    if [ -s "$work/pulls" ]; then
        say "pulled: arrived: bytes the pulled port carried of its display's; after: seconds from" \
            "the pull to the next display's first byte"
    fi
}

cases=$(plan_cases | wc -l)
if [ "$cases" = 0 ]; then
    say "$plan names no case"
    exit 1
fi
fetch_busybox amd64
fetch_kernel
build_tools
say "reference runs of $cases cases under ttysim"
prepare_cases
make_initramfs
choose_accel
run_guest
report
echo "$((cases - failures)) passed, $failures failed"
[ "$failures" = 0 ]
