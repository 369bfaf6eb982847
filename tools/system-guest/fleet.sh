#!/usr/bin/env bash
# Two sign boxes set up from this machine by the Ansible role in
# contrib/ansible, as an operator with a fleet does it: two Debian 12 guests
# of run.sh's system (sshd reached over the loopback only, through QEMU's
# user network with a forwarded port on 127.0.0.1), each with a display on a
# 16550 UART (ttyS1), and box a also with one on a USB adapter (QEMU's
# FT232) that the role's udev rule links as /dev/ttyS40. The host keeps every
# byte each display received and checks it against the same marquell on the
# box's own marquell.ini under ttysim. In order:
#
#   0. a variable set wrong on box b (an unknown architecture): the play
#      stops on both boxes, nothing installed;
#   1. the first run: both boxes installed and painted, byte for byte;
#   2. the same inventory again: no change on either box, no byte sent;
#   3. box a's rows edited: box a repainted with the new file, box b
#      untouched;
#   4. a broken edit on box b (a letter the display lacks): refused on b with
#      marquell-check's warning, b's file kept and no byte sent; a untouched;
#   5. the same edit with marquell_refuse_warnings false on box b: put in
#      place and painted on b; a untouched.
#
# Box b also has a stand-in for the scheduled repaint timer, shipped
# disabled, which the first run turns on; box a has none.
#
#   tools/system-guest/fleet.sh
#
# As root (chroot, mkfs). The boxes' system is run.sh's Debian 12
# (`run.sh base` makes it once in ~/.cache/marquell/system-guest) with
# openssh-server and python3 added, made once in
# ~/.cache/marquell/system-guest-fleet. Under QEMU's own emulation (TCG) a
# run takes about 10 minutes (20 on a busy machine). MARQUELL_SYSGUEST_KEEP=1 keeps the work folder
# (consoles, the lines' bytes, the playbook's output of each step).
#
# Exit status: 0 all checks passed, 1 one failed, 2 bad usage.
# The commands in single quotes run in the boxes' shell.
# shellcheck disable=SC2016
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here=$top/tools/system-guest
cache="${XDG_CACHE_HOME:-$HOME/.cache}/marquell"
base=$cache/system-guest/bookworm
fleet_base=$cache/system-guest-fleet/bookworm-ssh
build=$top/build-fleet-pkg
usb_serial=MQ0001

[ $# -eq 0 ] || { sed -n '/^#   tools/p' "$0" | sed 's/^# *//' >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
    echo "fleet: run it as root (chroot and mkfs need root)" >&2
    exit 2
fi
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
need_packages qemu-system-x86 e2fsprogs openssh-client ansible-core cmake make g++ dpkg-dev

started=$(date +%s)
work=$(mktemp -d)
qemu_pids=()
cleanup() {
    local pid
    for pid in "${qemu_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    if [ -n "${MARQUELL_SYSGUEST_KEEP:-}" ]; then
        echo "fleet: work folder kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

tool=fleet
# shellcheck source=tools/checks.sh
. "$top/tools/checks.sh"

# --- the boxes' system: run.sh's, with sshd and python3, made once ----------
make_fleet_base() {
    [ -x "$fleet_base/usr/sbin/sshd" ] && [ -x "$fleet_base/usr/bin/python3" ] && return 0
    [ -x "$base/usr/bin/systemctl" ] || "$here/run.sh" base || die "run.sh could not make the Debian 12 system"
    say "adding openssh-server and python3 to a copy of $base (once)"
    mkdir -p "$(dirname "$fleet_base")"
    rm -rf "$fleet_base.new"
    cp -a "$base" "$fleet_base.new"
    local root=$fleet_base.new
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    # No service starts inside the chroot.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 0755 "$root/usr/sbin/policy-rc.d"
    if ! { chroot "$root" apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq --no-install-recommends \
            openssh-server python3; } >"$cache/system-guest-fleet/apt.log" 2>&1; then
        tail -n 20 "$cache/system-guest-fleet/apt.log"
        die "apt-get in the chroot failed (log: $cache/system-guest-fleet/apt.log)"
    fi
    rm -f "$root/usr/sbin/policy-rc.d" "$root"/etc/ssh/ssh_host_* "$root"/var/cache/apt/archives/*.deb
    rm -rf "$root"/var/lib/apt/lists/*
    # The user network's address by DHCP, with systemd's own client.
    printf '[Match]\nName=en*\n\n[Network]\nDHCP=ipv4\n' >"$root/etc/systemd/network/50-wired.network"
    chroot "$root" systemctl enable systemd-networkd.service ssh.service >/dev/null 2>&1
    mv "$fleet_base.new" "$fleet_base"
}

# --- the package and the host's marquell and ttysim, from the work tree -----
# The package as the owner makes it (tools/package.sh; the tests ran in the
# package check's build of the same source and change no byte of it).
build_marquell() {
    say "building the package and the host's tools from the work tree in $build"
    # shellcheck source=tools/package.sh
    . "$top/tools/package.sh"
    if ! {
        package_source "$top" "$build/source" &&
            DEB_BUILD_OPTIONS=nocheck package_build "$package_dsc" "$build/pkg" amd64 &&
            cmake -S "$top" -B "$build" -DMARQUELL_TESTS=OFF &&
            cmake --build "$build" -j2 --target marquell ttysim
    } >"$work/build.log" 2>&1; then
        tail -n 20 "$work/build.log"
        die "the build failed"
    fi
    mkdir -p "$work/packages"
    cp "$package_deb" "$work/packages/"
}

# --- a box --------------------------------------------------------------------
# make_box NAME TIMER: its disk, with this run's key for root and host keys
# of its own; with TIMER yes, a stand-in for the scheduled repaint, shipped
# disabled, for the role to turn on.
make_box() {
    local name=$1 timer=$2 root=$work/root-$1
    cp -a "$fleet_base" "$root"
    echo "sign-$name" >"$root/etc/hostname"
    echo '/dev/vda / ext4 rw,errors=remount-ro 0 1' >"$root/etc/fstab"
    install -d -m 0700 "$root/root/.ssh"
    install -m 0600 "$work/id.pub" "$root/root/.ssh/authorized_keys"
    chroot "$root" ssh-keygen -A >/dev/null
    if [ "$timer" = yes ]; then
        printf '[Unit]\nDescription=Stand-in for the scheduled repaint\n[Timer]\nOnCalendar=*-*-* 06:00\n[Install]\nWantedBy=timers.target\n' \
            >"$root/etc/systemd/system/marquell-repaint.timer"
        printf '[Unit]\nDescription=Stand-in for the scheduled repaint\n[Service]\nType=oneshot\nExecStart=/bin/systemctl reload-or-restart marquell.service\n' \
            >"$root/etc/systemd/system/marquell-repaint.service"
    fi
    cp "$root"/boot/vmlinuz-* "$work/vmlinuz"
    cp "$root"/boot/initrd.img-* "$work/initrd.img"
    mkfs.ext4 -q -F -L root -d "$root" "$work/$name.img" 3G >/dev/null || die "mkfs.ext4 could not make box $name's disk"
    rm -rf "$root"
}

# A free TCP port on the loopback.
free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 20000))
        ss -Hltn "sport = :$port" | grep -q . || { echo "$port"; return; }
    done
}

# start_box NAME PORT ADAPTER: boots it with sshd forwarded from
# 127.0.0.1:PORT; its lines' bytes go to $work/NAME/.
start_box() {
    local name=$1 port=$2 adapter=$3
    mkdir -p "$work/$name"
    # shellcheck disable=SC2054 # the commas separate QEMU's options
    local qemu=(qemu-system-x86_64 -accel tcg -smp 1 -m 768 -nodefaults -no-user-config
        -display none -no-reboot -kernel "$work/vmlinuz" -initrd "$work/initrd.img"
        -append "root=/dev/vda rw console=ttyS0 quiet"
        -drive "file=$work/$name.img,format=raw,if=virtio"
        -serial "file:$work/$name/console" -serial "file:$work/$name/ttyS1"
        -netdev "user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:$port-:22"
        -device virtio-net-pci,netdev=net)
    if [ "$adapter" = yes ]; then
        # shellcheck disable=SC2054
        qemu+=(-device qemu-xhci,id=xhci -chardev "file,id=usbline,path=$work/$name/ttyS40"
            -device "usb-serial,bus=xhci.0,chardev=usbline,serial=$usb_serial")
    fi
    "${qemu[@]}" >"$work/$name/qemu.log" 2>&1 &
    qemu_pids+=($!)
}

ssh_box() {  # ssh_box NAME COMMAND
    local port_var=port_$1
    ssh -q -i "$work/id" -p "${!port_var}" -o BatchMode=yes -o ConnectTimeout=10 \
        -o UserKnownHostsFile="$work/known_hosts" -o StrictHostKeyChecking=accept-new root@127.0.0.1 "$2"
}

wait_ssh() {
    local name=$1
    for _ in $(seq 120); do
        ssh_box "$name" true 2>/dev/null && return 0
        sleep 5
    done
    tail -n 20 "$work/$name/console"
    die "box $name's sshd did not answer within 10 minutes"
}

# Waits until the box's unit has no run going on and no job queued.
wait_unit_done() {
    ssh_box "$1" 'for i in $(seq 900); do
        s=$(systemctl show -P ActiveState marquell.service)
        j=$(systemctl list-jobs --no-legend marquell.service | wc -l)
        case $s in active | activating | deactivating | reloading) ;; *) [ "$j" = 0 ] && exit 0 ;; esac
        sleep 1
    done; exit 1' || say "box $1's unit was still busy after 15 minutes"
}

# --- the inventory and the playbook ------------------------------------------
rows_a1='["Hall A", "Doors 9:00", "", "Welcome"]'
rows_a2='["Hall A", "Doors 10:30", "Talk moved", "Welcome"]'
rows_b1='["Hall B", "Closed today", "", ""]'
rows_b_broken='["Hall B", "Café closed", "", ""]'
# inventory ROWS_A ROWS_B [VARS_B]: writes $work/inventory.yml.
inventory() {
    cat >"$work/inventory.yml" <<EOF
signs:
  vars:
    ansible_host: 127.0.0.1
    ansible_user: root
    ansible_become: false
    ansible_python_interpreter: /usr/bin/python3
    ansible_ssh_private_key_file: $work/id
    ansible_ssh_common_args: -o UserKnownHostsFile=$work/known_hosts -o StrictHostKeyChecking=accept-new
    marquell_deb_dir: $work/packages
    marquell_rate: 19200
    marquell_repaint_timer: true
  hosts:
    a:
      ansible_port: $port_a
      marquell_displays:
        - {port: 1, contrast: 60, rows: $1}
        - {port: 40, rows: ["USB adapter", "FT232 as ttyS40", "", ""]}
      marquell_adapters: [{vendor: "0403", product: "6001", serial: $usb_serial, port: 40}]
    b:
      ansible_port: $port_b
      marquell_displays:
        - {port: 1, attention: true, rows: $2}
      ${3:-}
EOF
}

# play STEP: runs the playbook; its output in $work/STEP.out; returns its status.
play() {
    local t0 status=0
    t0=$(date +%s)
    (cd "$top/contrib/ansible" && ANSIBLE_NOCOLOR=1 ANSIBLE_PIPELINING=1 \
        ansible-playbook -i "$work/inventory.yml" site.yml) >"$work/$1.out" 2>&1 || status=$?
    say "$1: ansible-playbook took $(($(date +%s) - t0)) s, exit status $status; recap:"
    sed -n '/^PLAY RECAP/,$p' "$work/$1.out" | grep -E '^[ab] ' | sed 's/^/    /'
    grep -E '^(fatal|failed):' "$work/$1.out" | cut -c 1-240 | sed 's/^/    /' || true
    return "$status"
}

recap() {  # recap STEP HOST FIELD: a number of the play's recap
    sed -n "s/^$2 *:.* $3=\([0-9]*\).*/\1/p" "$work/$1.out"
}

# reference NAME STEP PORT...: the bytes each port must receive from one
# pass over box NAME's own marquell.ini, from the host's marquell under ttysim.
reference() {
    local name=$1 dir=$work/ref/$1-$2
    shift 2
    mkdir -p "$dir"
    ssh_box "$name" 'cat /etc/marquell/marquell.ini' >"$dir/marquell.ini"
    (cd "$dir" && "$build/ttysim" --dir "$dir" --timeout 600 "$@" -- "$build/marquell") >"$dir/report" ||
        die "ttysim could not run the reference pass for box $name"
}

# received NAME PORT WANT...: box NAME's line PORT holds exactly the
# concatenation of the WANT files; prints the byte counts.
received() {
    local name=$1 port=$2
    shift 2
    cat "$@" >"$work/want"
    echo "$(wc -c <"$work/$name/ttyS$port") bytes received, $(wc -c <"$work/want") expected"
    cmp -s "$work/$name/ttyS$port" "$work/want"
}

# --- the run -------------------------------------------------------------------
make_fleet_base
build_marquell
ssh-keygen -q -t ed25519 -N '' -f "$work/id"
say "laying out the two boxes' disks"
make_box a no
make_box b yes
say "booting box a (UART and USB adapter) and box b (UART), sshd on 127.0.0.1 only"
port_a=$(free_port)
port_b=$(free_port)
[ "$port_a" != "$port_b" ] || port_b=$(free_port)
start_box a "$port_a" yes
start_box b "$port_b" no
boot0=$(date +%s)
wait_ssh a
wait_ssh b
say "both boxes answer over ssh after $(($(date +%s) - boot0)) s"
# What QEMU listens on, on this machine: the two forwarded ports, on 127.0.0.1 only.
listening=$(ss -Hltnp | grep -E "pid=($(IFS='|'; echo "${qemu_pids[*]}"))," | awk '{ print $4 }' | sort | xargs)
status=0
[ "$listening" = "$(printf '127.0.0.1:%s\n' "$port_a" "$port_b" | sort | xargs)" ] || status=1
check "$status" "the boxes are reached only through 127.0.0.1 (QEMU listens on: $listening)"

echo
say "step 0: box b's marquell_arch set wrong"
inventory "$rows_a1" "$rows_b1" "marquell_arch: mips"
status=0
play step0 && status=1
grep -q "marquell_arch 'mips' is not amd64, arm64 or armhf" "$work/step0.out" || status=1
[ "$(recap step0 a changed)" = 0 ] && [ "$(recap step0 b changed)" = 0 ] || status=1
for box in a b; do
    ssh_box "$box" 'dpkg-query -W marquell' >/dev/null 2>&1 && status=1
done
check "$status" "the play stopped on both boxes with the variable's message; no change, no package on either"

echo
say "step 1: the first run"
inventory "$rows_a1" "$rows_b1"
t1=$(date +%s)
status=0
play step1 || status=1
wait_unit_done a
wait_unit_done b
say "step 1: both boxes installed and painted $(($(date +%s) - t1)) s after the playbook began"
check "$status" "step 1: the playbook succeeded on both boxes"
reference a 1 1 40
reference b 1 1
status=0; out=$(received a 1 "$work/ref/a-1/ttyS1") || status=1
check "$status" "box a's UART display painted byte for byte: $out"
status=0; out=$(received a 40 "$work/ref/a-1/ttyS40") || status=1
check "$status" "box a's adapter display (the role's udev link /dev/ttyS40) painted byte for byte: $out"
status=0; out=$(received b 1 "$work/ref/b-1/ttyS1") || status=1
check "$status" "box b's UART display (attention pulse) painted byte for byte: $out"
status=0
[ "$(ssh_box b 'systemctl is-enabled marquell-repaint.timer; systemctl is-active marquell-repaint.timer' | xargs)" = \
    "enabled active" ] || status=1
grep -A1 '^ok: \[a\] => {$' "$work/step1.out" | grep -q 'has no marquell-repaint.timer' || status=1
grep -A1 '^ok: \[b\] => {$' "$work/step1.out" | grep -q 'has no marquell-repaint.timer' && status=1
check "$status" "marquell_repaint_timer: true turned box b's timer on, and box a, which has none, was told so"

echo
say "step 2: the same inventory again"
status=0
play step2 || status=1
[ "$(recap step2 a changed)" = 0 ] && [ "$(recap step2 b changed)" = 0 ] || status=1
sleep 5
cmp -s "$work/a/ttyS1" "$work/ref/a-1/ttyS1" && cmp -s "$work/a/ttyS40" "$work/ref/a-1/ttyS40" &&
    cmp -s "$work/b/ttyS1" "$work/ref/b-1/ttyS1" || status=1
check "$status" "step 2: changed=0 on both boxes, and no byte sent to any display"

echo
say "step 3: box a's rows edited"
inventory "$rows_a2" "$rows_b1"
status=0
play step3 || status=1
wait_unit_done a
[ "$(recap step3 b changed)" = 0 ] && [ "$(recap step3 a changed)" -gt 0 ] || status=1
check "$status" "step 3: box a changed (changed=$(recap step3 a changed)), box b did not"
reference a 3 1 40
status=0; out=$(received a 1 "$work/ref/a-1/ttyS1" "$work/ref/a-3/ttyS1") || status=1
check "$status" "box a's UART display repainted with the new rows, one whole pass more: $out"
status=0; out=$(received a 40 "$work/ref/a-1/ttyS40" "$work/ref/a-3/ttyS40") || status=1
check "$status" "box a's adapter display served again in that pass: $out"
status=0; out=$(received b 1 "$work/ref/b-1/ttyS1") || status=1
check "$status" "box b's display got nothing: $out"

echo
say "step 4: a broken edit on box b"
inventory "$rows_a2" "$rows_b_broken"
status=0
play step4 && status=1
grep -q 'fatal: \[b\].*failed to validate' "$work/step4.out" || status=1
grep -q "(U+00E9) in line2 vanishes on the display" "$work/step4.out" || status=1
[ "$(recap step4 a changed)" = 0 ] && [ "$(recap step4 b failed)" = 1 ] || status=1
check "$status" "step 4: box b's file refused with marquell-check's warning, box a unchanged"
grep -o 'warning: [^"]*vanishes[^"]*' "$work/step4.out" | tail -n 1 | sed 's/^/    marquell-check: /' || true
sleep 5
status=0
cmp -s <(ssh_box b 'cat /etc/marquell/marquell.ini') "$work/ref/b-1/marquell.ini" || status=1
out=$(received b 1 "$work/ref/b-1/ttyS1") || status=1
check "$status" "box b kept its file and its display got nothing: $out"
status=0; out=$(received a 1 "$work/ref/a-1/ttyS1" "$work/ref/a-3/ttyS1") || status=1
check "$status" "box a's display got nothing: $out"

echo
say "step 5: the same edit, with box b letting warnings through"
inventory "$rows_a2" "$rows_b_broken" "marquell_refuse_warnings: false"
status=0
play step5 || status=1
wait_unit_done b
[ "$(recap step5 a changed)" = 0 ] && [ "$(recap step5 b changed)" -gt 0 ] || status=1
check "$status" "step 5: box b took the file (changed=$(recap step5 b changed)), box a did not change"
reference b 5 1
status=0; out=$(received b 1 "$work/ref/b-1/ttyS1" "$work/ref/b-5/ttyS1") || status=1
check "$status" "box b's display painted with it, one whole pass more: $out"
status=0; out=$(received a 1 "$work/ref/a-1/ttyS1" "$work/ref/a-3/ttyS1") || status=1
check "$status" "box a's display got nothing: $out"

echo
say "the whole run took $(($(date +%s) - started)) s"
echo "$passed passed, $failures failed"
[ "$failures" = 0 ]
