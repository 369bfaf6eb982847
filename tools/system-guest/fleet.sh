#!/usr/bin/env bash
# Two sign boxes set up from this machine by the Ansible role in
# contrib/ansible, as an operator with a fleet does it: two Debian 12 guests
# of run.sh's system (sshd reached over the loopback only, through QEMU's
# user network with a forwarded port on 127.0.0.1). Box a has a display on
# a 16550 UART (ttyS1) and one on a USB adapter (QEMU's FT232) that the
# role's udev rule links as /dev/ttyS40; box b has a display on its UART
# that the role links as a board UART (ttyS1 as /dev/ttyS50), and an
# owner's own copy of the package's example rule that links ttyS2 as
# /dev/ttyS51. The host keeps every byte each display received and checks
# it against the same marquell under ttysim. In order:
#
#   0. rows, and an adapter's vendor, that YAML read as numbers and a
#      boolean: the play stops on both boxes before either is reached;
#   1. check mode (--check --diff) on the new boxes: runs to its recap,
#      shows the display lists and the rule, changes nothing;
#   2. the first run: both boxes installed, each display list exactly the
#      inventory's rows padded to 20 columns, painted byte for byte (the
#      adapter and the board UART through the role's links); the owner's
#      rule kept; box b's repaint timer turned on;
#   3. the same inventory again: changed=0 on both boxes, no byte sent;
#   4. check mode on the set-up boxes, with box a's rows edited and a
#      letter the display lacks in box b's: a's difference shown and judged
#      by its marquell-check, b refused with the warning named by display
#      and row; nothing changed, no byte sent;
#   5. box a's rows edited: box a repainted with the new file, box b
#      untouched;
#   6. the broken edit on box b: refused with marquell-check's warning named
#      by display and row, b's file kept and no byte sent; a untouched;
#   7. the same edit with marquell_refuse_warnings false on box b: put in
#      place and painted on b; a untouched;
#   8. marquell_state absent, with the display list removed on box a and
#      kept on box b: nothing of the role's left (on a nothing named
#      marquell at all), the owner's rule and its link kept, no byte sent;
#   9. absent again: changed=0.
#
# It ends with each step's figures per box (the recap, the bytes each
# display has received, the playbook's time).
#
#   tools/system-guest/fleet.sh
#
# As root (chroot, mkfs). The boxes' system is run.sh's Debian 12
# (`run.sh base` makes it once in ~/.cache/marquell/system-guest) with
# openssh-server and python3 added, made once in
# ~/.cache/marquell/system-guest-fleet. Under QEMU's own emulation (TCG) a
# run takes about 8 minutes on a quiet 2-core machine, 13 or more on a busy
# one. MARQUELL_SYSGUEST_KEEP=1 keeps the work
# folder (consoles, the lines' bytes, the playbook's output of each step).
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
# The package for the boxes' architecture, in $work/packages, as the owner
# makes it (tools/package.sh; the tests ran in the package check's build of
# the same source and change no byte of it).
build_package() {
    # shellcheck source=tools/package.sh
    . "$top/tools/package.sh"
    package_source "$top" "$build/source" &&
        DEB_BUILD_OPTIONS=nocheck package_build "$package_dsc" "$build/pkg" amd64 &&
        mkdir -p "$work/packages" &&
        cp "$package_deb" "$work/packages/"
}

build_marquell() {
    say "building the package and the host's tools from the work tree in $build"
    if ! {
        build_package && cmake -S "$top" -B "$build" -DMARQUELL_TESTS=OFF &&
            cmake --build "$build" -j2 --target marquell ttysim
    } >"$work/build.log" 2>&1; then
        tail -n 20 "$work/build.log"
        die "the build failed"
    fi
    compgen -G "$work/packages/marquell_*_amd64.deb" >/dev/null || die "no amd64 package was made"
}

# --- a box --------------------------------------------------------------------
# make_box NAME: its disk, with this run's key for root and host keys of
# its own. Box b also has the owner's copy of the package's example rule,
# its board line linking ttyS2 as /dev/ttyS51 as the rule's comments say
# to, and the repaint timer's period set to a day, so that no repaint comes
# during the run once the role turns the timer on.
make_box() {
    local name=$1 root=$work/root-$1
    cp -a "$fleet_base" "$root"
    echo "sign-$name" >"$root/etc/hostname"
    echo '/dev/vda / ext4 rw,errors=remount-ro 0 1' >"$root/etc/fstab"
    install -d -m 0700 "$root/root/.ssh"
    install -m 0600 "$work/id.pub" "$root/root/.ssh/authorized_keys"
    chroot "$root" ssh-keygen -A >/dev/null
    if [ "$name" = b ]; then
        sed 's/^#KERNEL=="ttyAMA0", ENV{.MARQUELL_PORT}="50"$/KERNEL=="ttyS2", ENV{.MARQUELL_PORT}="51"/' \
            "$top/packaging/70-marquell-adapter.rules" >"$work/owner.rules"
        grep -q '^KERNEL=="ttyS2"' "$work/owner.rules" || die "could not fill in the owner's rule"
        cp "$work/owner.rules" "$root/etc/udev/rules.d/70-marquell-adapter.rules"
        mkdir -p "$root/etc/systemd/system/marquell-repaint.timer.d"
        printf '[Timer]\nOnUnitInactiveSec=\nOnUnitInactiveSec=1d\n' \
            >"$root/etc/systemd/system/marquell-repaint.timer.d/period.conf"
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
rows_b1='["Hall B", "Closed today"]'
rows_b_broken='["Hall B", "Café closed"]'
# inventory: writes $work/inventory.yml from rows_a, rows_b, vendor_a and
# the YAML lines more_a and more_b (at a host's indent).
vendor_a='"0403"' more_a="" more_b=""
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
  hosts:
    a:
      ansible_port: $port_a
      marquell_displays:
        - {port: 1, contrast: 60, rows: $rows_a}
        - {port: 40, rows: ["USB adapter", "FT232 as ttyS40"]}
      marquell_adapters: [{vendor: $vendor_a, product: "6001", serial: "$usb_serial", port: 40}]
$(sed 's/^/      /' <<<"$more_a")
    b:
      ansible_port: $port_b
      marquell_displays:
        - {port: 50, attention: true, rows: $rows_b}
      marquell_board_uarts: [{kernel: "ttyS1", port: 50}]
      marquell_repaint_timer: true
$(sed 's/^/      /' <<<"$more_b")
EOF
}

# play STEP [ARG...]: runs the playbook; its output in $work/STEP.out, its
# time in $work/STEP.time; returns its status.
play() {
    local step=$1 t0 status=0
    shift
    t0=$(date +%s)
    (cd "$top/contrib/ansible" && ANSIBLE_NOCOLOR=1 ANSIBLE_PIPELINING=1 \
        ansible-playbook -i "$work/inventory.yml" site.yml "$@") >"$work/$step.out" 2>&1 || status=$?
    echo "$(($(date +%s) - t0))" >"$work/$step.time"
    say "$step: ansible-playbook took $(cat "$work/$step.time") s, exit status $status; recap:"
    sed -n '/^PLAY RECAP/,$p' "$work/$step.out" | grep -E '^[ab] ' | sed 's/^/    /'
    grep -E '^(fatal|failed):' "$work/$step.out" | cut -c 1-300 | sed 's/^/    /' || true
    return "$status"
}

recap() {  # recap STEP HOST FIELD: a number of the play's recap
    sed -n "s/^$2 *:.* $3=\([0-9]*\).*/\1/p" "$work/$1.out"
}

# The bytes each display's line has received so far.
lines_now() {
    echo "a: ttyS1 $(wc -c <"$work/a/ttyS1"), ttyS40 $(wc -c <"$work/a/ttyS40"); b: ttyS1 $(wc -c <"$work/b/ttyS1")"
}

# figures STEP WHAT: a row of the closing table per box.
figures=()
figures() {
    local host
    for host in a b; do
        figures+=("$(printf '%-40s %s  %4s s  ok=%-3s changed=%-2s failed=%s' "$1 $2" "$host" "$(cat "$work/$1.time")" \
            "$(recap "$1" "$host" ok)" "$(recap "$1" "$host" changed)" "$(recap "$1" "$host" failed)")")
    done
    figures+=("    bytes received so far: $(lines_now)")
}

# reference NAME STEP FILE PORT...: the bytes each port must receive from one
# pass over FILE, from the host's marquell under ttysim.
reference() {
    local name=$1 dir=$work/ref/$1-$2 file=$3
    shift 3
    mkdir -p "$dir"
    cp "$file" "$dir/marquell.ini"
    (cd "$dir" && "$build/ttysim" --dir "$dir" --timeout 600 "$@" -- "$build/marquell") >"$dir/report" ||
        die "ttysim could not run the reference pass for box $name"
}

box_file() {  # box_file NAME: the box's display list, into $work/NAME.ini
    ssh_box "$1" 'cat /etc/marquell/marquell.ini' >"$work/$1.ini"
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

# What the boxes' lines held when a step began; unchanged() says whether
# they hold just that now.
held() {
    cp "$work/a/ttyS1" "$work/held-a1"
    cp "$work/a/ttyS40" "$work/held-a40"
    cp "$work/b/ttyS1" "$work/held-b1"
}
unchanged() {
    sleep 5
    cmp -s "$work/a/ttyS1" "$work/held-a1" && cmp -s "$work/a/ttyS40" "$work/held-a40" &&
        cmp -s "$work/b/ttyS1" "$work/held-b1"
}

# What the role leaves on a box it has not set up: no package, no display
# list, no rule of its own, no kept package.
untouched_box() {
    ssh_box "$1" '! dpkg-query -W marquell >/dev/null 2>&1 && [ ! -e /etc/marquell ] &&
        [ ! -e /etc/udev/rules.d/70-marquell-ansible.rules ] && [ ! -e /var/cache/marquell ]'
}

# The owner's rule on box b as it was made, and its link.
owner_rule_kept() {
    cmp -s <(ssh_box b 'cat /etc/udev/rules.d/70-marquell-adapter.rules') "$work/owner.rules" &&
        [ "$(ssh_box b 'readlink /dev/ttyS51')" = ttyS2 ]
}

# --- the run -------------------------------------------------------------------
make_fleet_base
build_marquell
ssh-keygen -q -t ed25519 -N '' -f "$work/id"
say "laying out the two boxes' disks"
make_box a
make_box b
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
status=0
owner_rule_kept || status=1
check "$status" "box b's own rule links ttyS2 as /dev/ttyS51 before the role comes"
touch "$work/a/ttyS1" "$work/a/ttyS40" "$work/b/ttyS1"

echo
say "step 0: rows and a vendor that YAML read as numbers and a boolean"
rows_a=$rows_a1 rows_b='["Hall B", 14:00, 3.50, yes]' vendor_a=0403
inventory
status=0
play step0 && status=1
for want in "host a: adapter 1 (marquell_adapters[0]), vendor: YAML read the number 259, not text: quote it" \
    "host b: display 1 (marquell_displays[0]), rows[1]: YAML read the number 840, not text: quote it" \
    "host b: display 1 (marquell_displays[0]), rows[2]: YAML read the number 3.5, not text: quote it" \
    "host b: display 1 (marquell_displays[0]), rows[3]: YAML read the boolean true, not text: quote it"; do
    grep -qF "$want" "$work/step0.out" || { say "missing: $want"; status=1; }
done
# The checks' one task ran on each box, on the controller; nothing reached a box.
[ "$(recap step0 a ok)" = 1 ] && [ "$(recap step0 b ok)" = 1 ] || status=1
grep -q UNREACHABLE "$work/step0.out" && status=1
untouched_box a && untouched_box b || status=1
check "$status" "step 0: the play stopped on both boxes before either was reached, each value named; nothing on either box"
grep -o 'host b: display 1 (marquell_displays\[0\]), rows\[1\][^"]*' "$work/step0.out" | sed 's/^/    /'
figures step0 "(unquoted values)"

echo
say "step 1: check mode on the new boxes"
rows_a=$rows_a1 rows_b=$rows_b1 vendor_a='"0403"'
inventory
status=0
play step1 --check --diff || status=1
[ "$(recap step1 a failed)" = 0 ] && [ "$(recap step1 b failed)" = 0 ] || status=1
grep -q '^+line2="Doors 9:00          "$' "$work/step1.out" || status=1
grep -q '^+line2="Closed today        "$' "$work/step1.out" || status=1
grep -q '^+KERNEL=="ttyS1", ENV{.MARQUELL_ANSIBLE_PORT}="50"$' "$work/step1.out" || status=1
[ "$(grep -c 'check mode: would install marquell_.*_amd64.deb' "$work/step1.out")" = 2 ] || status=1
[ "$(grep -c 'check mode: the package is not installed yet' "$work/step1.out")" = 2 ] || status=1
check "$status" "step 1: ran to its recap on both new boxes, showing the display lists padded and the rule"
status=0
untouched_box a && untouched_box b || status=1
[ "$(lines_now)" = "a: ttyS1 0, ttyS40 0; b: ttyS1 0" ] || status=1
check "$status" "step 1: nothing changed on either box, no byte sent"
figures step1 "(check mode, new boxes)"

echo
say "step 2: the first run"
status=0
play step2 || status=1
wait_unit_done a
wait_unit_done b
check "$status" "step 2: the playbook succeeded on both boxes"
cat >"$work/a-2.want" <<'EOF'
# Written by Ansible from the inventory's marquell_displays: edit the texts there.
baudrate=19200

lcd=1
cmd_contrast=60
line1="Hall A              "
line2="Doors 9:00          "
line3="                    "
line4="Welcome             "

lcd=40
line1="USB adapter         "
line2="FT232 as ttyS40     "
line3="                    "
line4="                    "
EOF
cat >"$work/b-2.want" <<'EOF'
# Written by Ansible from the inventory's marquell_displays: edit the texts there.
baudrate=19200

lcd=50
cmd_attention=1
line1="Hall B              "
line2="Closed today        "
line3="                    "
line4="                    "
EOF
box_file a
box_file b
status=0
cmp -s "$work/a.ini" "$work/a-2.want" && cmp -s "$work/b.ini" "$work/b-2.want" || status=1
check "$status" "step 2: each box's display list is the inventory's rows, padded to 20 columns"
reference a 2 "$work/a-2.want" 1 40
reference b 2 "$work/b-2.want" 50
status=0; out=$(received a 1 "$work/ref/a-2/ttyS1") || status=1
check "$status" "box a's UART display painted byte for byte, padding and all: $out"
status=0; out=$(received a 40 "$work/ref/a-2/ttyS40") || status=1
check "$status" "box a's adapter display (the role's link /dev/ttyS40) painted byte for byte: $out"
status=0; out=$(received b 1 "$work/ref/b-2/ttyS50") || status=1
check "$status" "box b's UART display (the role's board UART link /dev/ttyS50, attention pulse) painted byte for byte: $out"
status=0
[ "$(ssh_box b 'readlink /dev/ttyS50; systemctl is-enabled marquell-repaint.timer; systemctl is-active marquell-repaint.timer' |
    xargs)" = "ttyS1 enabled active" ] || status=1
[ "$(ssh_box a 'systemctl is-enabled marquell-repaint.timer' || true)" = disabled ] || status=1
check "$status" "box b's UART linked by the role and its repaint timer turned on; box a's timer left as it was"
status=0
owner_rule_kept || status=1
check "$status" "box b's own rule unchanged beside the role's, and its link /dev/ttyS51 still there"
figures step2 "(first run)"

echo
say "step 3: the same inventory again"
held
status=0
play step3 || status=1
[ "$(recap step3 a changed)" = 0 ] && [ "$(recap step3 b changed)" = 0 ] || status=1
unchanged || status=1
check "$status" "step 3: changed=0 on both boxes, and no byte sent to any display"
figures step3 "(again)"

echo
say "step 4: check mode on the set-up boxes: box a's rows edited, a letter the display lacks in box b's"
rows_a=$rows_a2 rows_b=$rows_b_broken
inventory
held
status=0
play step4 --check --diff && status=1
[ "$(recap step4 a failed)" = 0 ] && [ "$(recap step4 a changed)" -gt 0 ] || status=1
grep -q '^-line2="Doors 9:00          "$' "$work/step4.out" && grep -q '^+line2="Doors 10:30         "$' "$work/step4.out" ||
    status=1
sed -n '/^TASK \[marquell : Judge the new display list/,/^$/p' "$work/step4.out" | grep -q '^ok: \[a\]' || status=1
check "$status" "step 4: box a's edit shown line by line and judged by its marquell-check"
status=0
grep -q "^fatal: \[b\].*marquell: host b: display 1 (marquell_displays\[0\], port 50), rows\[1\]: warning: 'é' (U+00E9) in line2" \
    "$work/step4.out" || status=1
box_file a
box_file b
cmp -s "$work/a.ini" "$work/a-2.want" && cmp -s "$work/b.ini" "$work/b-2.want" || status=1
unchanged || status=1
check "$status" "step 4: box b refused in check mode with the warning named by display and row; no file changed, no byte sent"
figures step4 "(check mode, set-up boxes)"

echo
say "step 5: box a's rows edited"
rows_a=$rows_a2 rows_b=$rows_b1
inventory
status=0
play step5 || status=1
wait_unit_done a
[ "$(recap step5 b changed)" = 0 ] && [ "$(recap step5 a changed)" -gt 0 ] || status=1
check "$status" "step 5: box a changed (changed=$(recap step5 a changed)), box b did not"
box_file a
reference a 5 "$work/a.ini" 1 40
status=0
grep -q '^line2="Doors 10:30         "$' "$work/a.ini" || status=1
out=$(received a 1 "$work/ref/a-2/ttyS1" "$work/ref/a-5/ttyS1") || status=1
check "$status" "box a's UART display repainted with the new rows, one whole pass more: $out"
status=0; out=$(received a 40 "$work/ref/a-2/ttyS40" "$work/ref/a-5/ttyS40") || status=1
check "$status" "box a's adapter display served again in that pass: $out"
status=0; out=$(received b 1 "$work/ref/b-2/ttyS50") || status=1
check "$status" "box b's display got nothing: $out"
figures step5 "(a's rows edited)"

echo
say "step 6: the broken edit on box b"
rows_a=$rows_a2 rows_b=$rows_b_broken
inventory
held
status=0
play step6 && status=1
grep -q "^fatal: \[b\].*marquell: host b: display 1 (marquell_displays\[0\], port 50), rows\[1\]: warning: 'é' (U+00E9) in line2" \
    "$work/step6.out" || status=1
[ "$(recap step6 a changed)" = 0 ] && [ "$(recap step6 b failed)" = 1 ] || status=1
check "$status" "step 6: box b's file refused with marquell-check's warning named by display and row, box a unchanged"
grep -o "marquell: host b: display 1 [^\"]*warning[^\"]*" "$work/step6.out" | head -n 1 | sed 's/^/    /'
status=0
box_file b
cmp -s "$work/b.ini" "$work/b-2.want" || status=1
unchanged || status=1
check "$status" "box b kept its file, and no display got a byte"
figures step6 "(b's broken edit)"

echo
say "step 7: the same edit, with box b letting warnings through"
more_b="marquell_refuse_warnings: false"
inventory
status=0
play step7 || status=1
wait_unit_done b
[ "$(recap step7 a changed)" = 0 ] && [ "$(recap step7 b changed)" -gt 0 ] || status=1
grep -q "marquell: host b: display 1 (marquell_displays\[0\], port 50), rows\[1\]: warning: 'é'" "$work/step7.out" || status=1
check "$status" "step 7: box b took the file (changed=$(recap step7 b changed)) with its warning shown, box a did not change"
box_file b
reference b 7 "$work/b.ini" 50
status=0; out=$(received b 1 "$work/ref/b-2/ttyS50" "$work/ref/b-7/ttyS50") || status=1
check "$status" "box b's display painted with it, one whole pass more: $out"
status=0; out=$(received a 1 "$work/ref/a-2/ttyS1" "$work/ref/a-5/ttyS1") || status=1
check "$status" "box a's display got nothing: $out"
figures step7 "(b's warnings let through)"

echo
say "step 8: marquell_state absent; box a's display list removed too, box b's kept"
cp "$work/b.ini" "$work/b-kept.ini"
more_a=$'marquell_state: absent\nmarquell_remove_display_list: true' more_b="marquell_state: absent"
inventory
held
status=0
play step8 || status=1
[ "$(recap step8 a changed)" -gt 0 ] && [ "$(recap step8 b changed)" -gt 0 ] || status=1
check "$status" "step 8: the playbook succeeded on both boxes"
# What could be left of the role: the package, a unit enabled or loaded, a
# link of the role's, its rule, its kept package.
# shellcheck disable=SC2016
gone='! dpkg-query -W -f "\${Status}\n" marquell 2>/dev/null | grep -q "^install ok" &&
    [ -z "$(find /etc/systemd/system -name "marquell*" ! -path "*/marquell-repaint.timer.d*")" ] &&
    [ "$(systemctl show -P LoadState marquell.service marquell-repaint.timer | xargs)" = "not-found not-found" ] &&
    [ ! -e /etc/udev/rules.d/70-marquell-ansible.rules ] && [ ! -e /var/cache/marquell ] &&
    [ ! -e /dev/ttyS40 ] && [ ! -e /dev/ttyS50 ]'
status=0
ssh_box a "$gone" || status=1
ssh_box b "$gone" || status=1
check "$status" "step 8: on both boxes no package, no unit, no rule, link or kept package of the role's"
status=0
left=$(ssh_box a 'find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run \) -prune -o -name "*marquell*" -print')
[ -z "$left" ] || status=1
check "$status" "step 8: box a has no file named marquell left at all${left:+: $left}"
status=0
cmp -s <(ssh_box b 'cat /etc/marquell/marquell.ini') "$work/b-kept.ini" || status=1
owner_rule_kept || status=1
check "$status" "step 8: box b kept its display list, its own rule and that rule's link /dev/ttyS51"
status=0
unchanged || status=1
check "$status" "step 8: no display got a byte"
figures step8 "(absent)"

echo
say "step 9: absent again"
status=0
play step9 || status=1
[ "$(recap step9 a changed)" = 0 ] && [ "$(recap step9 b changed)" = 0 ] || status=1
check "$status" "step 9: changed=0 on both boxes"
figures step9 "(absent again)"

echo
say "each step's figures per box (the recap; bytes each display has received so far)"
printf '  %s\n' "${figures[@]}"
say "the whole run took $(($(date +%s) - started)) s"
echo "$passed passed, $failures failed"
[ "$failures" = 0 ]
