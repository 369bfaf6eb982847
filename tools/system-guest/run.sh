#!/usr/bin/env bash
# Tries the installed system as a sign owner runs it: Debian 12 with systemd
# and udev in a QEMU guest, marquell's .deb installed, its unit enabled, a
# display on a 16550 UART (the guest's ttyS1) with the attention pulse at
# 1200 baud, and a display on a USB serial adapter (QEMU's FT232, bound by
# ftdi_sio) that the example udev rule, filled in with the adapter's numbers,
# links as /dev/ttyS40. The host reads the UART's line at 1200 baud's pace and
# the adapter's as fast as it comes (QEMU's usb-serial stalls the whole guest
# while its reader lags), and checks every byte each display received.
#
#   tools/system-guest/run.sh [OPTION...] boot [N]    N boots (default 3), adapter in at boot
#   tools/system-guest/run.sh [OPTION...] scenarios   plug, restart, hand run and pull on one boot
#   tools/system-guest/run.sh [OPTION...] policy      what the unit's device policy lets it open
#   tools/system-guest/run.sh [OPTION...] reloads [N] N reloads at random moments of a pass
#                                                     (default 30), then 20 in 10 s
#   tools/system-guest/run.sh [OPTION...] fresh       the package as installed: no display list yet
#   tools/system-guest/run.sh base                    only make the Debian 12 system, once
#   tools/system-guest/run.sh [OPTION...] repaint     the repaint timer, and a login prompt on ttyS1
#   tools/system-guest/run.sh [OPTION...] console     a boot with console=ttyS1: the display there is named
#   tools/system-guest/run.sh [OPTION...] all         the displays on two boots, 1200 and 19200 baud
#   tools/system-guest/run.sh [OPTION...] removal     apt remove during a pulse, a reinstall, apt purge
#
# boot: per boot, whether a stop of the unit came before multi-user.target,
# the times systemd-analyze gives (userspace until multi-user.target, and
# until the boot's jobs were all done), the critical chain, and, once the
# unit is done, how the bytes each display received split into passes of
# marquell (a pass stopped between commands, then whole ones).
# scenarios: the guest boots without the adapter; the adapter is plugged in
# while the boot's pass is in its pulse (QMP device_add), and the repaint
# that follows leaves nothing at warning priority in the unit's journal, the
# cut pass naming what it left at notice priority; `systemctl restart`
# during a pulse; a run by hand beside the unit's; the adapter pulled while a
# pass is in its pulse (device_del), then plugged in again once it is done.
# policy: the unit serves links to the first virtual console (/dev/tty1) and
# to the real-time clock (/dev/rtc0), both opened to everyone by their modes
# for the test, so that only the device policy can refuse them.
# reloads: with a short file (repaint.ini: rows and a contrast, about a
# second on the wire), each trial starts a pass and sends
# `systemctl reload-or-restart` at a random moment from its start to a
# little past its end; a reload is lost when no pass began after it. Then 20
# reloads in 10 s: the unit must not be failed, and a pass after the last
# must paint both displays. Every byte of the boot must split into passes,
# the last one whole. A repaint is nothing wrong: the unit's journal must
# hold nothing at warning priority from the reloads (of the burst's, nothing
# of marquell's own), and the runs a reload ended name what they left at
# notice priority.
# fresh: the guest boots with the unit enabled and the adapter in, but no
# display list, as the package leaves it: every start (the boot's, the
# adapter's repaint, `systemctl enable --now`) must be skipped, not failed,
# with the journal's one line saying what to write, and no display may get a
# byte; once the file is written, a restart paints both displays.
# repaint: the timer is off after the install; with its period cut to 60 s
# by a drop-in and the one command run, each run is followed by the next a
# period after it ends, a repaint due during a run started by hand adds
# nothing, every byte of every run reaches both displays, and the unit's
# journal holds nothing at warning priority from those runs. Then a login
# prompt on ttyS1: marquell-check and marquell's journal name it, and
# neither named anything before.
# console: the guest boots with console=ttyS1 (which also brings a login
# prompt there): marquell-check, as root and as nobody, and the journal of
# the boot's run name ttyS1 and only it.
# all: a boot at 1200 baud with the adapter in (the boot's figures, every
# byte each display received, the line settings read back with stty, the
# UART's pulse against its wire time, the unit's security exposure, the
# policy probe), then one at 19200 baud without it (the pulse against its
# wire time, the adapter plugged in once the boot's pass has reached the
# UART, which at 19200 baud is mostly after that pass, and pulled while a
# later pass serves the UART). Its last lines are the figures: boot to the first byte, the
# pulse's line time against its wire time, plug to paint.
# removal: the unit enabled by the package and the repaint timer by the
# owner; `apt remove` during a pulse must stop both (the run by SIGTERM,
# between commands) and keep the display list and both enabled; a reinstall
# finds both enabled, the timer armed, and paints; `apt purge` leaves no
# marquell unit, link or /etc/marquell.
#
# Options:
#   --from REV       build the package from git revision REV instead of the work tree
#   --unit FILE      install FILE as /etc/systemd/system/marquell.service in the guest
#   --rule FILE      fill in FILE instead of the packaged example udev rule
#   --figures-only   boot: stop each boot once its figures are in, without
#                    waiting for the displays
#   --late-adapter   boot: the adapter comes during the boot, once the boot's
#                    pass sends its pulse, while a stand-in for a slower
#                    system (a unit that takes 30 s to start, as a wait for
#                    the network can) still holds multi-user.target
#   --smp N          virtual processors (default 1)
#   --arch ARCH      amd64 (the default) or arm64: Debian 12 arm64 on QEMU's
#                    virt board (Cortex-A57), the package cross-built, the
#                    UART display on the board's PL011 (ttyAMA0), which the
#                    rule's board line links as /dev/ttyS50, and the
#                    kernel's console on a virtio console (hvc0)
#
# As root (debootstrap, chroot, mkfs). The Debian 12 system (about 600 MB)
# is made once with debootstrap into ~/.cache/marquell/system-guest (arm64:
# system-guest-arm64, its programs run by qemu-user-static, see
# tools/cross.sh) and kept. The guest runs under QEMU's own emulation
# (TCG): a boot takes about a minute, a pass at 1200 baud about two. A boot
# that is timed should run alone on the machine. Not part of CI: a run
# takes 10 to 20 minutes.
# debootstrap takes the Debian mirror that this machine's apt sources name;
# MARQUELL_SYSGUEST_MIRROR=URI takes another.
# MARQUELL_SYSGUEST_KEEP=1 keeps the work folder (the guest's console, each
# line's bytes and times, the guest's journal of each boot).
#
# Exit status: 0 all checks passed, 1 one failed, 2 bad usage.
# The commands in single quotes run in the guest's shell.
# shellcheck disable=SC2016
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/tools/system-guest"
# The adapter as QEMU's usb-serial shows it, and the link the rule makes.
usb_vendor=0403 usb_product=6001 usb_serial=MQ0001 usb_port=40
uart_rate=1200
# The adapter's line is read at this pace: fast enough never to hold QEMU back.
usb_pace=1000000

from="" unit="" rule="" figures_only=no late=no smp=1 arch=amd64
usage() {
    sed -n '/^#   tools/,/^# As root/p' "$0" | sed 's/^# \{0,1\}//' | grep -v '^As root' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
        --from) from=${2:?}; shift 2 ;;
        --unit) unit=$(realpath "${2:?}"); shift 2 ;;
        --rule) rule=$(realpath "${2:?}"); shift 2 ;;
        --figures-only) figures_only=yes; shift ;;
        --late-adapter) late=yes; shift ;;
        --smp) smp=${2:?}; shift 2 ;;
        --arch) arch=${2:?}; shift 2 ;;
        -*) usage ;;
        *) break ;;
    esac
done
what=${1:-}
ini=$here/marquell.ini
case $what in
    boot) boots=${2:-3} ;;
    scenarios | policy | fresh | base | repaint | console | all | removal) boots=1 ;;
    reloads) boots=${2:-30} ini=$here/repaint.ini ;;
    *) usage ;;
esac
[[ $boots =~ ^[1-9][0-9]*$ ]] || usage
if [ "$(id -u)" -ne 0 ]; then
    echo "system-guest: run it as root (debootstrap, chroot and mkfs need root)" >&2
    exit 2
fi
# What differs between the architectures: the Debian system and its kernel,
# QEMU's machine, where the kernel's console goes, and the UART the display
# is on (uart_port: the port in the display list; uart_kernel: the kernel's
# name for the UART, which the rule's board line links as /dev/ttyS<port>).
# shellcheck disable=SC2054 # the commas separate QEMU's options
case $arch in
    amd64)
        cache_name=system-guest qemu_package=qemu-system-x86
        uart_port=1 uart_kernel="" uart_text="16550 on ttyS1"
        qemu_machine=(qemu-system-x86_64 -accel tcg)
        qemu_console=(-serial "file:@BOOT@/console")
        console=ttyS0
        qemu_uart=(-chardev socket,id=uart,fd=101 -device isa-serial,index=1,chardev=uart)
        ;;
    arm64)
        cache_name=system-guest-arm64 qemu_package=qemu-system-arm
        uart_port=50 uart_kernel=ttyAMA0 uart_text="PL011 as ttyS50"
        qemu_machine=(qemu-system-aarch64 -M virt -cpu cortex-a57 -accel tcg)
        qemu_console=(-chardev "file,id=console,path=@BOOT@/console" -device virtconsole,chardev=console)
        console=hvc0
        qemu_uart=(-chardev socket,id=uart,fd=101 -serial chardev:uart)
        ;;
    *) usage ;;
esac
cache="${XDG_CACHE_HOME:-$HOME/.cache}/marquell/$cache_name"
# shellcheck source=tools/package.sh
. "$top/tools/package.sh"
need_packages debootstrap "$qemu_package" e2fsprogs socat git cmake make g++ libgtest-dev dpkg-dev
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    # shellcheck source=tools/cross.sh
    . "$top/tools/cross.sh"
    cross_prepare "$arch"
fi

work=$(mktemp -d)
cleanup() {
    [ -z "${wire_pid:-}" ] || kill "$wire_pid" 2>/dev/null || true
    if [ -n "${MARQUELL_SYSGUEST_KEEP:-}" ]; then
        echo "system-guest: work folder kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

tool=system-guest
# shellcheck source=tools/checks.sh
. "$top/tools/checks.sh"

# --- the Debian 12 system, made once ---------------------------------------
base=$cache/bookworm
make_base() {
    [ -x "$base/usr/bin/systemctl" ] && compgen -G "$base/boot/initrd.img-*" >/dev/null && return 0
    # The machine's own Debian mirror, as its apt sources name it.
    local mirror=${MARQUELL_SYSGUEST_MIRROR:-$(apt_mirror Debian)}
    [ -n "$mirror" ] ||
        die "this machine's apt sources name no Debian mirror: set MARQUELL_SYSGUEST_MIRROR to one"
    say "debootstrap: Debian 12 with systemd, udev and Debian's kernel into $base (once), from $mirror"
    mkdir -p "$cache"
    rm -rf "$base.new"
    debootstrap --arch="$arch" --variant=minbase --include=systemd-sysv,udev,dbus,kmod,procps,initramfs-tools \
        bookworm "$base.new" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log"; die "debootstrap failed (log: $cache/debootstrap.log)"; }
    # The kernel comes after, with an initramfs of the guest's disk drivers
    # only: all of the kernel's storage drivers take most of an hour to
    # gather under qemu-user, these a few minutes. And the virtio console's,
    # where the kernel's console is one (arm64): without a console the
    # initramfs cannot hand over to systemd.
    echo MODULES=list >"$base.new/etc/initramfs-tools/conf.d/sysguest"
    printf '%s\n' virtio_pci virtio_blk ext4 virtio_console >>"$base.new/etc/initramfs-tools/modules"
    chroot "$base.new" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "linux-image-$arch" >>"$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log"; die "could not install Debian's kernel (log: $cache/debootstrap.log)"; }
    rm -f "$base.new"/var/cache/apt/archives/*.deb
    mv "$base.new" "$base"
}

# --- marquell: the package, and the same sources for the host's tools ------
build_marquell() {
    local src=$top
    if [ -n "$from" ]; then
        src=$work/src
        mkdir -p "$src"
        git -C "$top" archive "$from" | tar -x -C "$src" || die "cannot take revision $from"
    fi
    local build=$work/build
    say "building the package and the host's tools from ${from:-the work tree}"
    # The package as the owner makes it (the tests ran in the build of the
    # same source elsewhere; they change no byte of the package).
    if ! { package_source "$src" "$build/source" &&
        DEB_BUILD_OPTIONS=nocheck package_build "$package_dsc" "$build/pkg" "$arch"; } >"$work/build.log" 2>&1; then
        tail -n 20 "$work/build.log"
        die "the package could not be built (log: $work/build.log)"
    fi
    deb=$package_deb
    if ! {
        cmake -S "$src" -B "$build/host" -DCMAKE_BUILD_TYPE=Release -DMARQUELL_TESTS=OFF &&
            cmake --build "$build/host" -j2 --target marquell ttysim &&
            cmake -S "$top" -B "$build/reader" -DCMAKE_BUILD_TYPE=Release -DMARQUELL_TESTS=OFF &&
            cmake --build "$build/reader" -j2 --target wire_reader
    } >"$work/build.log" 2>&1; then
        tail -n 20 "$work/build.log"
        die "the build failed"
    fi
    host_marquell=$build/host/marquell
    ttysim=$build/host/ttysim
    wire_reader=$build/reader/wire_reader
}

# The display list the guest gets, with the UART display on uart_port at
# uart_rate.
guest_ini() {
    sed -e "s/^baudrate=.*/baudrate=$uart_rate/" -e "s/^lcd=1\$/lcd=$uart_port/" \
        -e "s/16550 on ttyS1/$uart_text/" -e "s/at 1200 baud/at $uart_rate baud/" "$ini"
}

# The bytes each display must receive from one whole pass, from the same
# marquell and file on simulated ports.
reference() {
    rm -rf "$work/ref"
    mkdir -p "$work/ref"
    guest_ini >"$work/ref/marquell.ini"
    (cd "$work/ref" && "$ttysim" --dir "$work/ref" --timeout 600 "$uart_port" "$usb_port" -- "$host_marquell") \
        >"$work/ref/report" || die "ttysim could not run the reference pass"
}

# --- the guest's disk --------------------------------------------------------
make_disk() {
    local root=$work/root
    say "laying out the guest's system with $(basename "$deb")"
    cp -a "$base" "$root"
    echo sysguest >"$root/etc/hostname"
    echo '/dev/vda / ext4 rw,errors=remount-ro 0 1' >"$root/etc/fstab"
    cp "$deb" "$root/tmp/marquell.deb"
    # As an owner installs it; what it depends on is in the system already.
    chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        /tmp/marquell.deb >"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log"; die "apt-get could not install the package"; }
    rm "$root/tmp/marquell.deb"
    [ "$what" != removal ] || cp "$deb" "$root/root/marquell.deb"
    chroot "$root" systemctl enable marquell.service >/dev/null 2>&1
    [ -z "$unit" ] || cp "$unit" "$root/etc/systemd/system/marquell.service"
    if [ "$what" = fresh ]; then
        guest_ini >"$root/root/marquell.ini"
    else
        guest_ini >"$root/etc/marquell/marquell.ini"
    fi
    # The example rule with the adapter's numbers, as its own steps say, and
    # the board's UART by its name where the display is on one.
    local board=""
    [ -z "$uart_kernel" ] ||
        board="s/^#KERNEL==\"[^\"]*\", ENV{.MARQUELL_PORT}=\"[0-9]*\"/KERNEL==\"$uart_kernel\", ENV{.MARQUELL_PORT}=\"$uart_port\"/"
    sed -e "s/ATTRS{idVendor}==\"[^\"]*\"/ATTRS{idVendor}==\"$usb_vendor\"/" \
        -e "$board" \
        -e "s/ATTRS{idProduct}==\"[^\"]*\"/ATTRS{idProduct}==\"$usb_product\"/" \
        -e "s/ATTRS{serial}==\"[^\"]*\"/ATTRS{serial}==\"$usb_serial\"/" \
        -e "/^ATTRS{idVendor}/s/ENV{.MARQUELL_PORT}=\"[0-9]*\"/ENV{.MARQUELL_PORT}=\"$usb_port\"/" \
        "${rule:-$root/usr/share/doc/marquell/70-marquell-adapter.rules}" \
        >"$root/etc/udev/rules.d/70-marquell-adapter.rules"
    grep -q "ATTRS{serial}==\"$usb_serial\"" "$root/etc/udev/rules.d/70-marquell-adapter.rules" ||
        die "could not fill in the adapter's numbers in the udev rule"
    [ -z "$uart_kernel" ] || grep -q "^KERNEL==\"$uart_kernel\"" "$root/etc/udev/rules.d/70-marquell-adapter.rules" ||
        die "could not fill in the board's UART in the udev rule"
    # The host's hands in the guest: no ordering, so the boot is as without it.
    install -m 0755 "$here/agent.sh" "$root/usr/local/sbin/sysguest-agent"
    cat >"$root/etc/systemd/system/sysguest-agent.service" <<'EOF'
[Unit]
Description=Runs the test host's commands
DefaultDependencies=no
[Service]
ExecStart=/usr/local/sbin/sysguest-agent
[Install]
WantedBy=multi-user.target
EOF
    chroot "$root" systemctl enable sysguest-agent.service >/dev/null 2>&1
    if [ "$late" = yes ]; then
        cat >"$root/etc/systemd/system/sysguest-slow.service" <<'EOF'
[Unit]
Description=Stands in for a unit that is slow to start
[Service]
Type=oneshot
ExecStart=/bin/sleep 30
[Install]
WantedBy=multi-user.target
EOF
        chroot "$root" systemctl enable sysguest-slow.service >/dev/null 2>&1
    fi
    kernel=$(echo "$root"/boot/vmlinuz-*)
    initrd=$(echo "$root"/boot/initrd.img-*)
    cp "$kernel" "$work/vmlinuz"
    cp "$initrd" "$work/initrd.img"
    mkfs.ext4 -q -F -L root -d "$root" "$work/disk.img" 3G || die "mkfs.ext4 could not make the disk"
    rm -rf "$root"
}

# --- one boot ----------------------------------------------------------------
# start_guest N ADAPTER: boots the guest (the adapter in when ADAPTER is yes)
# under wire_reader, which takes the UART's line as port 1 and the adapter's
# as port 2, and connects to the guest's agent.
start_guest() {
    local n=$1 adapter=$2
    boot_dir=$work/boot$n
    mkdir -p "$boot_dir/lines"
    boot_started=$(date +%s.%N)
    # shellcheck disable=SC2054 # the commas separate QEMU's options
    local qemu=("${qemu_machine[@]}" -smp "$smp" -m 1024 -nodefaults -no-user-config
        -display none -no-reboot -kernel "$work/vmlinuz" -initrd "$work/initrd.img"
        -append "${kernel_extra:+$kernel_extra }root=/dev/vda rw console=$console quiet"
        -drive "file=$work/disk.img,format=raw,if=none,id=disk" -device virtio-blk-pci,drive=disk
        -device virtio-serial-pci "${qemu_console[@]//@BOOT@/$boot_dir}" "${qemu_uart[@]}"
        -device qemu-xhci,id=xhci -chardev socket,id=usbline,fd=102
        -chardev "socket,id=agent,path=$boot_dir/agent.sock,server=on,wait=off"
        -device virtserialport,chardev=agent,name=sysguest.agent
        -qmp "unix:$boot_dir/qmp.sock,server=on,wait=off")
    [ "$adapter" = no ] || qemu+=(-device "$adapter_device")
    "$wire_reader" --dir "$boot_dir/lines" --timeout 3600 "1:$uart_rate" "2:$usb_pace" -- "${qemu[@]}" \
        >"$boot_dir/qemu.log" 2>&1 &
    wire_pid=$!
    for _ in $(seq 100); do
        [ -S "$boot_dir/agent.sock" ] && break
        sleep 0.1
    done
    [ -S "$boot_dir/agent.sock" ] || { cat "$boot_dir/qemu.log"; die "QEMU did not start"; }
    coproc AGENT { socat - "UNIX-CONNECT:$boot_dir/agent.sock"; }
    guest_wait=600
    guest true || die "the guest's agent did not answer within $guest_wait s (console: $boot_dir/console)"
    guest_wait=900
}

# guest COMMAND: runs COMMAND in the guest as root; prints its output and
# returns its status.
guest() {
    # The coprocess's descriptors are closed in subshells: encode first.
    local line
    line=$(printf '%s' "$*" | base64 -w0)
    printf '%s\n' "$line" >&"${AGENT[1]}"
    while IFS= read -r -t "$guest_wait" line <&"${AGENT[0]}"; do
        if [[ $line == "@@rc "* ]]; then
            return "${line#@@rc }"
        fi
        printf '%s\n' "$line"
    done
    say "no answer from the guest to '$*' within $guest_wait s"
    return 125
}

# qmp COMMAND-JSON: sends one command to QEMU's monitor; fails on an error.
qmp() {
    local out
    out=$({ echo '{"execute":"qmp_capabilities"}'; echo "$1"; sleep 1; } |
        socat -t 2 - "UNIX-CONNECT:$boot_dir/qmp.sock")
    echo "$out" >>"$boot_dir/qmp.log"
    ! grep -q '"error"' <<<"$out"
}

stop_guest() {
    guest 'systemctl poweroff --no-block' >/dev/null || true
    local status=0
    wait "$wire_pid" || status=$?
    wire_pid=""
    kill "$AGENT_PID" 2>/dev/null || true
    [ "$status" = 0 ] || { tail -n 5 "$boot_dir/qemu.log"; say "QEMU ended with status $status"; }
}

# shown INDENT COMMAND: runs COMMAND in the guest and prints its output
# indented. (A pipeline from guest would run it in a subshell, which has no
# descriptors of the coprocess.)
shown() {
    local status=0
    guest "$2" >"$work/shown" || status=$?
    sed "s/^/$1/" "$work/shown"
    return "$status"
}

# Seconds since the guest's kernel started, by its clock.
guest_now() {
    guest 'cut -d" " -f1 /proc/uptime'
}

# Waits until the unit has no run in progress and no restart pending.
wait_unit_done() {
    guest 'for i in $(seq 1800); do
        s=$(systemctl show -P ActiveState marquell.service)
        j=$(systemctl list-jobs --no-legend marquell.service | wc -l)
        [ "$s" != active ] && [ "$s" != activating ] && [ "$s" != deactivating ] &&
            [ "$s" != reloading ] && [ "$j" = 0 ] && exit 0
        sleep 1
    done; exit 1' || say "the unit was still busy after 30 minutes"
}

# Waits until the unit's current pass has been sending its pulse for a while.
wait_in_pulse() {
    guest 'for i in $(seq 600); do
        id=$(systemctl show -P InvocationID marquell.service)
        [ -n "$id" ] && journalctl -b _SYSTEMD_INVOCATION_ID="$id" -o cat | grep -q "^lcd = '"$uart_port"'$" && exit 0
        sleep 0.5
    done; exit 1' || say "no pass reached the UART display"
    sleep "${1:-15}"
}

# plug: puts the adapter in and waits for its link.
plug() {
    local t
    t=$(guest_now)
    plugged_at=$(date +%s.%N)
    qmp "{\"execute\":\"device_add\",\"arguments\":{$adapter_json}}" || die "device_add failed"
    guest 'for i in $(seq 300); do [ -e /dev/ttyS40 ] && exit 0; sleep 0.2; done; exit 1' ||
        die "no /dev/ttyS$usb_port after the plug"
    echo "  plugged at ${t}s: $(guest 'ls -l /dev/ttyS40 | sed "s/.* \/dev/\/dev/"')"
}

# --- reading what happened -------------------------------------------------
# figures N: the boot's times and whether its boot waited for the unit.
figures() {
    local n=$1
    guest 'timeout 600 systemctl is-system-running --wait' >/dev/null || true
    guest 'systemd-analyze' >"$boot_dir/analyze" 2>&1 || true
    guest 'systemd-analyze critical-chain --no-pager' >"$boot_dir/chain" 2>&1 || true
    guest 'journalctl -b -o short-monotonic --no-pager' >"$boot_dir/journal" 2>&1 || true
    local userspace finished multi stop stopped reached done_at
    userspace=$(sed -n 's/.* + \([^+]*\) (userspace).*/\1/p' "$boot_dir/analyze")
    finished=$(sed -n 's/^Startup finished in .* = \(.*\)$/\1/p' "$boot_dir/analyze")
    multi=$(sed -n 's/^[a-z-]*.target reached after \(.*\) in userspace.*/\1/p' "$boot_dir/analyze")
    # The guest's monotonic times of the events, from the journal.
    stamp() {
        awk -v re="$1" '$0 ~ re && match($0, /^\[ *[0-9.]+\]/) {
            t = substr($0, 2, RLENGTH - 2); gsub(/ /, "", t); print t; exit }' "$boot_dir/journal"
    }
    stop=$(stamp 'systemd\[1\]: Stopping marquell.service')
    stopped=$(stamp 'systemd\[1\]: Stopped marquell.service')
    reached=$(stamp 'systemd\[1\]: Reached target multi-user.target')
    done_at=$(stamp 'systemd\[1\]: Startup finished')
    # A stop of the unit that began before the boot's jobs were done held
    # them until marquell had drained its line.
    local waited=no status=0
    if [ -n "$stop" ] && [ -n "$done_at" ] && awk -v s="$stop" -v d="$done_at" 'BEGIN { exit !(s < d) }'; then
        waited="stop ${stop}-${stopped:-?}s"
        status=1
    fi
    [ -n "$done_at" ] || status=1
    check "$status" "boot $n: the boot did not wait for the unit (multi-user.target at ${reached:-?}s, boot done at ${done_at:-?}s, unit stopped: $waited)"
    printf '%-5s %-28s %-18s %-18s %-18s\n' "$n" "$waited" "${multi:--}" "${userspace:--}" "${finished:--}" \
        >>"$work/table"
    echo "boot $n: systemd-analyze:"
    sed 's/^/    /' "$boot_dir/analyze"
    echo "boot $n: critical chain of multi-user.target:"
    grep -v '^The time' "$boot_dir/chain" | grep -v '^$' | sed 's/^/    /'
    echo "boot $n: what systemd did with the unit (guest's seconds since boot):"
    grep -E 'systemd\[1\]: .*(marquell|Reached target (multi-user|graphical)|Startup finished)|ttyUSB0$' \
        "$boot_dir/journal" | sed 's/^/    /' || true
}

# passes LINE REF: how the bytes of LINE split into passes, each the start
# of REF's bytes (a pass stopped between commands) or all of them; the last
# must be whole. Prints e.g. "2 passes: cut after 4212 of 10182 bytes, whole".
passes() {
    [ -s "$1" ] || { echo "nothing"; return 1; }
    awk -v reflen="$(wc -c <"$2")" '
        FNR == NR { ref[n++] = $1; next }
        {
            # A pass may start here: at the first byte, or where one ended or was cut.
            start = (i == 0); sdesc = ""
            for (j in st) if (j + 0 > 0) {
                d = desc[j] (j + 0 == reflen ? "whole" : "cut after " j " of " reflen " bytes") ", "
                if (!start || length(d) < length(sdesc)) sdesc = d
                start = 1
            }
            k = 0
            for (j in st) if (j + 0 < reflen && ref[j + 0] == $1) { nd[j + 1] = desc[j]; k++ }
            if (start && ref[0] == $1 && !(1 in nd)) { nd[1] = sdesc; k++ }
            delete st; delete desc
            for (j in nd) { st[j] = 1; desc[j] = nd[j] }
            delete nd
            i++
            if (k == 0) { print "byte " i " fits no pass"; bad = 1; exit }
        }
        END {
            if (bad) exit 1
            if (!(reflen in st)) { print "the last pass is not whole"; exit 1 }
            s = desc[reflen] "whole"; c = split(s, parts, ", ")
            print c (c == 1 ? " pass: " : " passes: ") s
        }' <(od -An -v -tx1 -w1 "$2") <(od -An -v -tx1 -w1 "$1")
}

# check_lines N: every byte each display received in boot N, in passes.
check_lines() {
    local n=$1 out status
    status=0
    out=$(passes "$boot_dir/lines/ttyS1" "$work/ref/ttyS$uart_port") || status=$?
    check "$status" "boot $n: the UART display (ttyS$uart_port) received $out"
    status=0
    out=$(passes "$boot_dir/lines/ttyS2" "$work/ref/ttyS$usb_port") || status=$?
    check "$status" "boot $n: the adapter's display (ttyS$usb_port) received $out"
}

# report_unit [FROM]: what the unit did, from FROM seconds after the boot on.
report_unit() {
    echo "  the unit's passes (journal):"
    shown '    ' "journalctl -b -u marquell.service -o short-monotonic --no-pager |
        grep -E 'Loading Entries|opened at|Open\(\) failed|Stopped by|Done|SendByte|Started|Stopp|Reload|Scheduled' |
        awk -v from=${1:-0} 'match(\$0, /[0-9.]+\]/) && substr(\$0, RSTART, RLENGTH - 1) + 0 >= from'" ||
        true
}

# --- the runs --------------------------------------------------------------
run_boots() {
    printf '%-5s %-28s %-18s %-18s %-18s\n' boot "unit stopped during boot" "default target after" \
        "userspace" "boot finished" >"$work/table"
    local n
    for n in $(seq "$boots"); do
        if [ "$late" = yes ]; then
            say "boot $n of $boots: the adapter comes while the boot's pass sends its pulse"
            start_guest "$n" no
            wait_in_pulse 2
            plug
        else
            say "boot $n of $boots: the adapter in at boot"
            start_guest "$n" yes
        fi
        figures "$n"
        if [ "$figures_only" = no ]; then
            wait_unit_done
            report_unit
        fi
        stop_guest
        [ "$figures_only" = yes ] || check_lines "$n"
    done
    echo
    cat "$work/table"
}

run_scenarios() {
    local from
    say "boot without the adapter"
    start_guest 1 no
    figures 1
    echo
    say "plug: the adapter comes while the boot's pass sends its pulse"
    from=$(guest_now)
    wait_in_pulse 15
    plug
    wait_unit_done
    report_unit "$from"
    # The plug's reload cut the boot's pass: a repaint, not a failure.
    check_no_warnings "$from" "$(guest_now)" "the plug" 1
    echo
    say "restart: systemctl restart while a pass sends its pulse"
    from=$(guest_now)
    guest 'systemctl start marquell.service'
    wait_in_pulse 15
    guest 'start=$(cut -d" " -f1 /proc/uptime); systemctl restart marquell.service;
        echo "  systemctl restart took $(echo "$(cut -d" " -f1 /proc/uptime) $start" | awk "{ print \$1 - \$2 }") s"'
    wait_unit_done
    report_unit "$from"
    echo
    say "hand run: marquell by hand beside the unit's pass"
    from=$(guest_now)
    guest 'systemctl start marquell.service'
    wait_in_pulse 5
    guest 'cd /etc/marquell && { time marquell; } >/root/hand.log 2>&1'
    echo "  the run by hand:"
    shown '    ' 'grep -E "opened at|Open\(\) failed|Done|real" /root/hand.log' || true
    wait_unit_done
    report_unit "$from"
    echo
    say "pull: the adapter pulled while a pass sends its pulse, then plugged in once it is done"
    from=$(guest_now)
    guest 'systemctl start marquell.service'
    wait_in_pulse 15
    echo "  pulled at $(guest_now)s"
    qmp '{"execute":"device_del","arguments":{"id":"adapter"}}' || die "device_del failed"
    guest 'for i in $(seq 100); do [ -e /dev/ttyS40 ] || exit 0; sleep 0.2; done; exit 1' ||
        die "/dev/ttyS$usb_port still there after the pull"
    wait_unit_done
    qmp "{\"execute\":\"device_add\",\"arguments\":{$adapter_json}}" || die "device_add failed"
    sleep 5
    wait_unit_done
    report_unit "$from"
    shown '  ' 'systemctl status marquell.service --no-pager | sed -n 1,4p' || true
    stop_guest
    echo
    check_lines 1
}

run_policy() {
    say "boot with the adapter in; the unit serves links to /dev/tty1 and /dev/rtc0"
    start_guest 1 yes
    guest 'timeout 600 systemctl is-system-running --wait' >/dev/null || true
    wait_unit_done
    policy_probe
    stop_guest
}

# policy_probe: whether the unit opens links to /dev/tty1 and /dev/rtc0 (it
# must not), and root by hand outside it does. It leaves the probe's file in
# /etc/marquell.
policy_probe() {
    shown '  ' 'chmod 0666 /dev/tty1 /dev/rtc0 && ln -sfn tty1 /dev/ttyS41 && ln -sfn rtc0 /dev/ttyS42 &&
        for n in 41 42; do
            printf "lcd=%s\nline1=\"a\"\nline2=\"b\"\nline3=\"c\"\nline4=\"d\"\n" $n
        done | sed "1i baudrate=1200" >/etc/marquell/marquell.ini && ls -lL /dev/ttyS41 /dev/ttyS42'
    guest 'systemctl restart marquell.service'
    wait_unit_done
    local report status port
    report=$(guest 'journalctl -b -u marquell.service -o cat --no-pager | tail -n 12')
    printf '%s\n' "$report" | sed 's/^/    /'
    for port in 41 42; do
        status=0
        grep -q "\"/dev/ttyS$port\" opened" <<<"$report" && status=1
        check "$status" "the unit did not open /dev/ttyS$port ($(guest "readlink /dev/ttyS$port"))"
    done
    echo "  the same file by hand, as root, outside the unit:"
    shown '    ' 'cd /etc/marquell && marquell 2>&1 | grep -E "opened|failed"' || true
}

# --- all: the displays at two rates, with the figures ----------------------
# on_line N PORT FROM: seconds from boot N's start (QEMU's) to the first byte
# line PORT carried after FROM seconds; "-" when none came.
on_line() {
    awk -v from="${3:-0}" '$1 / 1e6 >= from { printf "%.1f", $1 / 1e6; found = 1; exit }
        END { if (!found) printf "-" }' "$work/boot$1/lines/ttyS$2.times"
}

# pulse_figure N: the UART display's last pass on boot N, which passes found
# whole: its line time against the wire time of its bytes, within 1 %.
pulse_figure() {
    local n=$1 bits reflen out status=0
    bits=$("$wire_reader" --line "$uart_rate" | awk '{ print $1 }')
    reflen=$(wc -c <"$work/ref/ttyS$uart_port")
    out=$(awk -v n="$reflen" -v r="$uart_rate" -v bits="$bits" '{ t[NR] = $1 }
        END {
            if (NR < n) { print "fewer bytes than a pass"; exit 1 }
            line = (t[NR] - t[NR - n + 1]) / 1e6 + bits / r; wire = n * bits / r
            printf "%d bytes at %d baud: line %.3f s, wire %.3f s, %.4f of it\n", n, r, line, wire, line / wire
            exit !(line >= wire * 0.99 && line <= wire * 1.01)
        }' "$boot_dir/lines/ttyS1.times") || status=$?
    check "$status" "boot $n: the UART display's last pass, $out (0.99 to 1.01)"
    echo "$(printf '%-5s' "$n") pulse on ttyS$uart_port: $out" >>"$work/figures"
}

# line_settings PORT: the port's settings after the unit's run, as stty reads
# them back: raw 8N2 at the display list's rate, no flow control.
line_settings() {
    local text word status=0
    text=" $(guest "stty -a -F /dev/ttyS$1 | tr '\n' ' '; echo") "
    for word in "speed $uart_rate baud;" cs8 cstopb -parenb -crtscts -ixon -icanon -isig -echo -opost; do
        [[ "$text" == *" $word "* ]] || { status=1; echo "  /dev/ttyS$1 lacks '$word': $text"; }
    done
    check "$status" "/dev/ttyS$1 after the run: $(grep -o 'speed [0-9]* baud' <<<"$text"), cs8 cstopb -parenb, raw, no flow control"
}

# failures_since FROM [WHAT]: how many lines of the unit's journal of this
# boot from FROM seconds after the boot on are failures to send (send) or
# any failure (the default).
failures_since() {
    local lines='SendByte\(\) failed'
    [ "${2:-}" = send ] || lines="$lines|Open\\(\\) failed|Could not open"
    guest "journalctl -b -u marquell.service -o short-monotonic --no-pager |
        awk -v from=$1 'match(\$0, /[0-9.]+\]/) && substr(\$0, RSTART, RLENGTH - 1) + 0 >= from' |
        grep -cE '$lines'" || true
}

# journal_between FROM TO [JOURNALCTL-ARG...]: the unit's journal lines from
# FROM to TO (the guest's seconds since boot).
journal_between() {
    local from=$1 to=$2
    shift 2
    guest "journalctl -b -u marquell.service $* -o short-monotonic --no-pager |
        awk -v from=$from -v to=$to 'match(\$0, /[0-9.]+\]/) { t = substr(\$0, RSTART, RLENGTH - 1) + 0 }
            t >= from && t <= to'" || true
}

# check_no_warnings FROM TO WHAT MIN [JOURNALCTL-ARG...]: repaints are
# nothing wrong, so the unit's journal holds nothing at warning priority from
# FROM to TO (with -t marquell: nothing of marquell's own); the runs a
# repaint ended said so at notice priority, at least MIN of them.
check_no_warnings() {
    local from=$1 to=$2 what=$3 min=$4 out notices status=0
    shift 4
    out=$(journal_between "$from" "$to" -p warning "$@")
    # Not in a pipeline: a subshell has no descriptors of the coprocess.
    notices=$(journal_between "$from" "$to" -p notice -t marquell)
    notices=$(grep -c "left to the next run (stopped by SIGHUP)" <<<"$notices" || true)
    [ -z "$out" ] && [ "$notices" -ge "$min" ] || status=1
    check "$status" "$what: journalctl -u marquell -p warning $* shows nothing from ${from}s to ${to}s; runs a repaint ended that named the displays left to the next run at notice priority: $notices${out:+; it shows: $out}"
}

run_all() {
    local first count plugged
    : >"$work/figures"
    say "boot 1: the displays at $uart_rate baud, the adapter in at boot"
    start_guest 1 yes
    figures 1
    wait_unit_done
    report_unit
    shown '  ' "ls -l /dev/ttyS$uart_port /dev/ttyS$usb_port; ls -l /dev/${uart_kernel:-ttyS$uart_port}" || true
    count=$(failures_since 0 send)
    check "$([ "$count" = 0 ]; echo $?)" "boot 1: no failure to send in the unit's journal ($count)"
    line_settings "$uart_port"
    line_settings "$usb_port"
    echo "  systemd-analyze security marquell.service:"
    shown '    ' 'systemd-analyze security --no-pager marquell.service | tail -n 1' || true
    policy_probe
    # The owner changes the rate; the next boot paints at it.
    uart_rate=19200
    guest "base64 -d >/etc/marquell/marquell.ini <<<$(guest_ini | base64 -w0)" || die "cannot write the display list"
    stop_guest
    uart_rate=1200
    check_lines 1
    pulse_figure 1
    echo "1     boot to first byte: UART $(on_line 1 1) s, adapter $(on_line 1 2) s (from QEMU's start)" \
        >>"$work/figures"
    echo
    uart_rate=19200
    reference
    say "boot 2: the displays at $uart_rate baud, the adapter plugged in, then pulled"
    start_guest 2 no
    figures 2
    wait_in_pulse 1
    plug
    plugged=$(awk -v p="$plugged_at" -v b="$boot_started" 'BEGIN { print p - b }')
    wait_unit_done
    report_unit
    count=$(failures_since 0 send)
    check "$([ "$count" = 0 ]; echo $?)" "boot 2: no failure to send in the unit's journal before the pull ($count)"
    say "pull: the adapter pulled while a pass sends its pulse"
    first=$(guest_now)
    guest 'systemctl start marquell.service'
    wait_in_pulse 0
    echo "  pulled at $(guest_now)s"
    qmp '{"execute":"device_del","arguments":{"id":"adapter"}}' || die "device_del failed"
    wait_unit_done
    report_unit "$first"
    count=$(failures_since "$first")
    check "$([ "${count:-0}" -gt 0 ]; echo $?)" "boot 2: the pull ended the adapter's display with its reason ($count failure lines)"
    stop_guest
    check_lines 2
    pulse_figure 2
    echo "2     boot to first byte: UART $(on_line 2 1) s; plug to paint: $(on_line 2 2 "$plugged" |
        awk -v p="$plugged" '$1 == "-" { print; next } { printf "%.1f", $1 - p }') s (to the first byte on the adapter's line)" \
        >>"$work/figures"
    echo
    echo "figures ($arch, TCG):"
    cat "$work/figures"
}

# run_reloads TRIALS: reloads at random moments of a pass, then a burst.
run_reloads() {
    say "boot with the adapter in; $1 reloads at random moments of a pass, then 20 in 10 s"
    start_guest 1 yes
    guest 'timeout 600 systemctl is-system-running --wait' >/dev/null || true
    wait_unit_done
    local pass_ms trial lost=0 late=0 out
    local from
    from=$(guest_now)
    pass_ms=$(guest 'start=$(date +%s%N); systemctl start marquell.service
        while [ "$(systemctl show -P ActiveState marquell.service)" != inactive ]; do sleep 0.01; done
        echo $((($(date +%s%N) - start) / 1000000))')
    echo "  a pass takes ${pass_ms} ms here (start to inactive, by the guest's clock)"
    for trial in $(seq "$1"); do
        # From the start of a pass to 20 % past its end, so that some reloads
        # land in its last moments or just after it.
        out=$(guest "systemctl start marquell.service; sleep \$(awk 'BEGIN { srand($trial); printf \"%.3f\", rand() * $pass_ms * 1.2 / 1000 }')
            at=\$(cut -d' ' -f1 /proc/uptime); systemctl reload-or-restart marquell.service; echo \$at")
        wait_unit_done
        # The last pass must have begun after the reload and painted both displays.
        if ! guest "journalctl -b -u marquell.service -o short-monotonic --no-pager |
            awk -v at=$out 'match(\$0, /^\\[ *[0-9.]+\\]/) { t = substr(\$0, 2, RLENGTH - 2) + 0 }
                /Loading Entries/ { start = t; opened = 0; done = 0 }
                /opened at/ { opened++ } /Done\\./ { done = 1 }
                END { exit !(start > at && opened == 2 && done) }'"; then
            lost=$((lost + 1))
            echo "  trial $trial: the reload at ${out}s was followed by no whole pass"
        fi
    done
    late=$(guest 'journalctl -b -u marquell.service -o cat --no-pager | grep -c "reload came as the run ended"' ||
        true)
    check "$lost" "$1 reloads at random moments: $lost lost; $late came as a pass ended and were started by the unit's stop step"
    # The moment a reload finds marquell exited but not yet reaped is too
    # short to hit at will: leave the mark such a reload leaves, during a
    # pass, and the pass's end must start a new one.
    local status=1
    guest 'systemctl start marquell.service && : >"/run/marquell/repaint"' ||
        say "the pass ended before the mark could be left"
    wait_unit_done
    guest 'journalctl -b -u marquell.service -o cat --no-pager | tail -n 40 |
        awk "/reload came as the run ended/ { seen = 1; opened = 0; done = 0 }
            seen && /opened at/ { opened++ } seen && /Done\\./ { done = 1 }
            END { exit !(seen && opened == 2 && done) }"' && status=0
    check "$status" "a reload that came as a pass exited: the unit's stop step started a new pass, which painted both displays"
    local burst
    burst=$(guest_now)
    check_no_warnings "$from" "$burst" "the reloads at random moments" 0
    guest 'for i in $(seq 20); do systemctl reload-or-restart marquell.service; sleep 0.5; done'
    wait_unit_done
    local state passes
    state=$(guest 'systemctl show -P ActiveState marquell.service')
    passes=$(guest "journalctl -b -u marquell.service -o short-monotonic --no-pager |
        awk -v from=$burst 'match(\$0, /^\\[ *[0-9.]+\\]/) && substr(\$0, 2, RLENGTH - 2) + 0 >= from' |
        grep -c 'Loading Entries'" || true)
    local status=1
    [ "$state" != failed ] && guest "journalctl -b -u marquell.service -o cat --no-pager | tail -n 40 |
        awk '/Loading Entries/ { opened = 0; done = 0 } /opened at/ { opened++ } /Done\\./ { done = 1 }
            END { exit !(opened == 2 && done) }'" && status=0
    check "$status" "20 reloads in 10 s: the unit is $state, $passes passes began, the last painted both displays"
    # A reload that systemd finds the unit gone for says so itself: only
    # marquell's own lines are looked at here.
    check_no_warnings "$burst" "$(guest_now)" "the burst" 0 -t marquell
    stop_guest
    check_lines 1
}

run_fresh() {
    say "boot with the adapter in, the unit enabled and no display list"
    start_guest 1 yes
    guest 'timeout 600 systemctl is-system-running --wait' >/dev/null || true
    wait_unit_done
    local status=0 enable=0 result lines
    guest 'systemctl enable --now marquell.service' >"$work/enable" 2>&1 || enable=$?
    wait_unit_done
    result=$(guest 'systemctl show -P Result marquell.service')
    guest 'systemctl is-failed --quiet marquell.service' && status=1
    [ "$result" = exec-condition ] || status=1
    check "$status" "the unit's starts were skipped, not failed (Result=$result)"
    check "$enable" "systemctl enable --now: status $enable $(tr '\n' ' ' <"$work/enable")"
    echo "  the unit's journal:"
    shown '    ' 'journalctl -b -u marquell.service -o cat --no-pager' || true
    lines=$(guest 'journalctl -b -u marquell.service -o cat --no-pager | grep -c "no display list yet"')
    status=1
    [ "${lines:-0}" -ge 1 ] && status=0
    check "$status" "each skipped start says in one line what to write ($lines lines)"
    status=0
    for n in 1 2; do
        [ ! -s "$boot_dir/lines/ttyS$n" ] || status=1
    done
    check "$status" "no display got a byte: ttyS1 $(stat -c %s "$boot_dir/lines/ttyS1" 2>/dev/null || echo 0) bytes, the adapter $(stat -c %s "$boot_dir/lines/ttyS2" 2>/dev/null || echo 0)"
    say "the owner writes /etc/marquell/marquell.ini and restarts the unit"
    guest 'cp /root/marquell.ini /etc/marquell/marquell.ini && systemctl restart marquell.service'
    wait_unit_done
    report_unit
    stop_guest
    check_lines 1
}

# --- the repaint timer and a port shared with the console --------------------
# The unit's runs in this boot as "START END" guest seconds, one a line: from
# the start job (a timer's or a plug's) to the end of the process.
unit_runs() {
    guest 'journalctl -b -u marquell.service -o short-monotonic --no-pager |
        awk "match(\$0, /^\[ *[0-9.]+\]/) { t = substr(\$0, 2, RLENGTH - 2) + 0 }
            /systemd\[1\]: Starting marquell.service/ { s = t }
            /marquell.service: (Deactivated successfully|Failed with result)/ { print s, t }"'
}

# wait_runs N: until N runs of the unit have ended in this boot.
wait_runs() {
    guest "for i in \$(seq 1800); do
        n=\$(journalctl -b -u marquell.service -o cat | grep -cE '^marquell.service: (Deactivated successfully|Failed with result)')
        [ \"\$n\" -ge $1 ] && exit 0; sleep 1; done; exit 1" || say "fewer than $1 runs ended within 30 minutes"
}

# shared_lines: what marquell-check, run as nobody, and the unit's runs say of
# ports shared with the console or a login prompt.
shared_lines() {
    guest 'runuser -u nobody -- marquell-check /etc/marquell/marquell.ini | grep "is shared with";
        journalctl -b -u marquell.service -o cat | grep "shared with"; exit 0'
}

# check_repaints LINE REF RUNS WHAT: LINE's bytes are RUNS passes of REF, of
# which the last four (the timer's and the one by hand) whole.
check_repaints() {
    local out status=0
    out=$(passes "$1" "$2") || status=$?
    [[ $out == "$3 passes: "*"whole, whole, whole, whole" ]] || status=1
    check "$status" "$4 received $out"
}

run_repaint() {
    local period=60 out status runs before opened_uart opened_adapter
    say "repaint: a fresh install, the adapter in at boot"
    start_guest 1 yes
    figures 1
    wait_unit_done
    runs=$(unit_runs)  # not in a pipeline: a subshell has no descriptors of the coprocess
    before=$(grep -c . <<<"$runs")
    out=$(guest 'systemctl is-enabled marquell-repaint.timer; systemctl is-active marquell-repaint.timer; exit 0')
    [ "$out" = "$(printf 'disabled\ninactive')" ] && status=0 || status=1
    check "$status" "the repaint timer is off after the install: ${out//$'\n'/ }"
    out=$(shared_lines)
    [ -z "$out" ] && status=0 || status=1
    check "$status" "no port named as shared, by marquell-check or the boot's runs ($before): ${out:-none}"
    local from
    from=$(guest_now)
    say "the period cut to $period s by a drop-in, then systemctl enable --now marquell-repaint.timer"
    out=$(guest "mkdir -p /etc/systemd/system/marquell-repaint.timer.d &&
        printf '[Timer]\nOnUnitInactiveSec=${period}s\n' >/etc/systemd/system/marquell-repaint.timer.d/period.conf &&
        systemctl daemon-reload && systemctl enable --now marquell-repaint.timer 2>/dev/null;
        systemctl is-enabled marquell-repaint.timer; systemctl is-active marquell-repaint.timer; exit 0")
    [ "$out" = "$(printf 'enabled\nactive')" ] && status=0 || status=1
    check "$status" "the one command turns the timer on: ${out//$'\n'/ }"
    wait_runs $((before + 2))
    say "a run by hand $((period - 25)) s after a run ended: the timer comes due during it"
    guest "sleep $((period - 25)); systemctl start marquell.service"
    wait_runs $((before + 3))
    wait_runs $((before + 4))
    runs=$(unit_runs)
    echo "  the unit's runs (guest's seconds since boot: start, end; the wait before it):"
    awk 'NR > 1 { w = sprintf("%.1f s after the last ended", $1 - e) } { printf "    %8.1f %8.1f  %s\n", $1, $2, w; e = $2 }' <<<"$runs"
    # The timer's runs each come a period after the one before it ended.
    status=$(awk -v p="$period" -v b="$before" 'NR > 1 { g[NR] = $1 - e } { e = $2 }
        function due(n) { return g[n] >= p && g[n] < p + 10 }
        END { exit !(NR == b + 4 && due(b + 1) && due(b + 2) && due(b + 4)) }' <<<"$runs" && echo 0 || echo 1)
    check "$status" "$((before + 4)) runs; runs $((before + 1)), $((before + 2)) and $((before + 4)) by the timer, each $period to $((period + 10)) s after the one before it ended"
    # The hand's run began before the timer's due time and ended after it.
    status=$(awk -v p="$period" -v n=$((before + 3)) 'NR == n - 1 { due = $2 + p } NR == n { ok = $1 < due && due < $2 }
        END { exit !ok }' <<<"$runs" && echo 0 || echo 1)
    check "$status" "the repaint due $period s after run $((before + 2)) ended fell inside run $((before + 3)) (by hand) and added no run"
    out=$(shared_lines)
    [ -z "$out" ] && status=0 || status=1
    check "$status" "still no port named as shared: ${out:-none}"
    check_no_warnings "$from" "$(guest_now)" "the timer's repaints and the run by hand" 0
    # A boot's run that began before the adapter came did not open it.
    opened_uart=$(guest 'journalctl -b -u marquell.service -o cat | grep -c "^\"/dev/ttyS1\" opened at"; exit 0')
    opened_adapter=$(guest "journalctl -b -u marquell.service -o cat | grep -c '^\"/dev/ttyS$usb_port\" opened at'; exit 0")
    stop_guest
    echo
    check_repaints "$boot_dir/lines/ttyS1" "$work/ref/ttyS1" "$opened_uart" "the UART display (ttyS1), opened by $opened_uart runs,"
    check_repaints "$boot_dir/lines/ttyS2" "$work/ref/ttyS$usb_port" "$opened_adapter" \
        "the adapter's display (ttyS$usb_port), opened by $opened_adapter runs,"
}

run_console() {
    local out status opened
    say "console: a boot with console=ttyS1, the adapter in"
    kernel_extra="console=ttyS1"
    start_guest 1 yes
    figures 1
    wait_unit_done
    shown '  ' 'echo "active consoles: $(cat /sys/class/tty/console/active)";
        echo "serial-getty@ttyS1: $(systemctl is-active serial-getty@ttyS1.service)"' || true
    out=$(shared_lines)
    printf '%s\n' "$out" | sed 's/^/    /'
    grep -q "^/etc/marquell/marquell.ini:3:1: warning: /dev/ttyS1 is shared with the kernel's console (console=ttyS1) and a login prompt (serial-getty@ttyS1.service)" <<<"$out" &&
        ! grep -q 'ttyS40' <<<"$out" && status=0 || status=1
    check "$status" "marquell-check, as nobody, names ttyS1 at 3:1 with its console and prompt, and not ttyS40"
    opened=$(guest 'journalctl -b -u marquell.service -o cat | grep -c "^\"/dev/ttyS1\" opened at"; exit 0')
    [ "$opened" -ge 1 ] && [ "$(grep -c "^marquell: /dev/ttyS1: shared with the kernel's console (console=ttyS1)" <<<"$out")" = "$opened" ] &&
        status=0 || status=1
    check "$status" "each of the $opened runs that served ttyS1 all the same said so once on standard error, in the journal"
    echo "  the unit's runs (journal, without the SendByte() failed lines):"
    shown '    ' 'journalctl -b -u marquell.service -o short-monotonic --no-pager |
        grep -E "Started|Stopp|Reload|opened at|Open\(\) failed|marquell: |Done|Stopped by";
        echo "SendByte() failed: $(journalctl -b -u marquell.service -o cat | grep -cx "SendByte() failed") lines"' ||
        true
    stop_guest
}

# --- removal ---------------------------------------------------------------
# The marquell units systemd knows, and what of marquell is left in /etc.
units_and_files() {
    guest 'systemctl list-unit-files --no-legend "marquell*" | cut -d" " -f1 | xargs;
        find /etc/systemd /etc/marquell -name "*marquell*" 2>/dev/null | xargs; exit 0'
}

run_removal() {
    local out status
    say "removal: the unit enabled by the package, the repaint timer by the owner"
    start_guest 1 no
    guest 'timeout 600 systemctl is-system-running --wait' >/dev/null || true
    guest 'systemctl enable --now marquell-repaint.timer' >/dev/null 2>&1 || true
    wait_unit_done
    say "a run, and apt remove during its pulse"
    guest 'systemctl start marquell.service'
    wait_in_pulse 10
    status=0
    guest 'apt-get remove -y marquell' >"$work/remove" 2>&1 || status=$?
    check "$status" "apt remove marquell: status $status"
    out=$(guest 'systemctl is-active marquell.service marquell-repaint.timer | xargs;
        journalctl -b -u marquell.service -o cat | grep "^Stopped by" | tail -n 1; exit 0')
    [ "$out" = "$(printf 'inactive inactive\nStopped by SIGTERM.')" ] && status=0 || status=1
    check "$status" "the removal stopped the run in its pulse and the timer: ${out//$'\n'/; }"
    out=$(guest 'for f in /etc/marquell/marquell.ini /etc/systemd/system/multi-user.target.wants/marquell.service \
        /etc/systemd/system/timers.target.wants/marquell-repaint.timer; do [ -L "$f" ] || [ -e "$f" ] || echo "$f"; done')
    [ -z "$out" ] && status=0 || status=1
    check "$status" "the display list and the links of both stay after the removal${out:+; missing: $out}"
    say "the package installed again"
    guest 'apt-get install -y /root/marquell.deb' >"$work/reinstall" 2>&1 || true
    out=$(guest 'systemctl is-enabled marquell.service marquell-repaint.timer | xargs;
        systemctl is-active marquell-repaint.timer; exit 0')
    [ "$out" = "$(printf 'enabled enabled\nactive')" ] && status=0 || status=1
    check "$status" "a reinstall finds both enabled and the timer armed: ${out//$'\n'/; }"
    wait_unit_done
    say "apt purge marquell"
    status=0
    guest 'apt-get purge -y marquell' >"$work/purge" 2>&1 || status=$?
    check "$status" "apt purge marquell: status $status"
    out=$(units_and_files)
    [ -z "${out//[[:space:]]/}" ] && status=0 || status=1
    check "$status" "after the purge systemd knows no marquell unit, and no marquell link or /etc/marquell is left${out:+: $out}"
    report_unit
    stop_guest
    # The boot's run, the run stopped between commands, the reinstall's run.
    status=0
    out=$(passes "$boot_dir/lines/ttyS1" "$work/ref/ttyS$uart_port") || status=$?
    [[ $out == "3 passes: whole, cut after "*", whole" ]] || status=1
    check "$status" "the UART display (ttyS$uart_port) received $out"
}

make_base
[ "$what" != base ] || exit 0
build_marquell
reference
adapter_device="usb-serial,id=adapter,bus=xhci.0,chardev=usbline,serial=$usb_serial"
adapter_json="\"driver\":\"usb-serial\",\"id\":\"adapter\",\"bus\":\"xhci.0\",\"chardev\":\"usbline\",\"serial\":\"$usb_serial\""
make_disk
case $what in
    boot) run_boots ;;
    scenarios) run_scenarios ;;
    policy) run_policy ;;
    reloads) run_reloads "$boots" ;;
    fresh) run_fresh ;;
    repaint) run_repaint ;;
    console) run_console ;;
    all) run_all ;;
    removal) run_removal ;;
esac
echo
echo "$passed passed, $failures failed"
[ "$failures" = 0 ]
