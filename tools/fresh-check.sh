#!/usr/bin/env bash
# Tries the README's two commands, its package steps and CI as a new user
# would: on a fresh minbase system made by debootstrap (Debian 12 unless told
# otherwise), as root, with the clone in /root/marquell (mode 0700). Each of
# tools/demo.sh, tools/test.sh, the package and `CI=true bash .ci/run` runs on
# its own fresh copy of the system, in a private mount and process namespace with a private /dev that
# holds no serial device of this machine. Prints per command whether it
# passed and how long it took.
#
#   tools/fresh-check.sh [--system NAME] [demo] [test] [package] [ci]    as root, by hand
#
# package: step 1 of the README's "Paint a sign", typed as written (its
# questions answered yes), must build the package and install it, and the
# package must make /etc/marquell and write no display list there.
# With no command it runs demo, test and ci. NAME is one of
#   bookworm  Debian 12 (the default; CI's system)
#   bullseye  Debian 11
#   jammy     Ubuntu 22.04, with universe (where libgtest-dev is), as installed
#   noble     Ubuntu 24.04, likewise
#
# It checks the committed HEAD of this checkout (a `git clone`), not
# uncommitted changes. The base system is made once with debootstrap and
# kept; downloaded packages are kept beside it, so later runs fetch less.
#   MARQUELL_FRESH_CACHE   where they are kept (default ~/.cache/marquell/fresh)
#   MARQUELL_FRESH_MIRROR  the mirror (default http://deb.debian.org/debian for
#                          Debian, http://archive.ubuntu.com/ubuntu for Ubuntu)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${MARQUELL_FRESH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/marquell/fresh}

system=bookworm
if [ "${1:-}" = --system ]; then
    system=${2:-}
    shift 2 || shift
fi
components=main
case $system in
    bookworm) label="Debian 12" ;;
    bullseye) label="Debian 11" ;;
    jammy) label="Ubuntu 22.04" components=main,universe ;;
    noble) label="Ubuntu 24.04" components=main,universe ;;
    *) echo "fresh-check: unknown system '$system': give bookworm, bullseye, jammy or noble" >&2; exit 2 ;;
esac
if [ "$components" = main ]; then
    mirror=${MARQUELL_FRESH_MIRROR:-http://deb.debian.org/debian}
else
    mirror=${MARQUELL_FRESH_MIRROR:-http://archive.ubuntu.com/ubuntu}
fi

[ $# -gt 0 ] || set -- demo test ci
for name in "$@"; do
    case $name in
        demo | test | package | ci) ;;
        *) echo "fresh-check: unknown command '$name': give demo, test, package or ci" >&2; exit 2 ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-check: run it as root (debootstrap, chroot and mounts need root)" >&2
    exit 1
fi
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
need_packages debootstrap git curl

archives=$cache/$system-archives
mkdir -p "$cache/logs" "$archives/partial"

# Debian's keys come with debootstrap; Ubuntu's are taken from the mirror's
# own keyring package, pinned by its checksum (the package whose keyring
# holds Ubuntu's 2018 archive key, F6ECB3762474EDA9D21B7022871920D1991BC93C).
keyring=()
if [ "$components" != main ]; then
    ubuntu_keyring_deb=pool/main/u/ubuntu-keyring/ubuntu-keyring_2023.11.28.1_all.deb
    ubuntu_keyring_sha256=36de43b15853ccae0028e9a767613770c704833f82586f28eb262f0311adb8a8
    keyring=(--keyring="$cache/ubuntu-archive-keyring.gpg")
    if [ ! -s "$cache/ubuntu-archive-keyring.gpg" ]; then
        if ! curl -fsS -o "$cache/ubuntu-keyring.deb" "$mirror/$ubuntu_keyring_deb" ||
            ! echo "$ubuntu_keyring_sha256  $cache/ubuntu-keyring.deb" | sha256sum --quiet -c; then
            echo "fresh-check: cannot fetch a trusted $mirror/$ubuntu_keyring_deb" >&2
            exit 1
        fi
        dpkg-deb --fsys-tarfile "$cache/ubuntu-keyring.deb" |
            tar -xO ./usr/share/keyrings/ubuntu-archive-keyring.gpg >"$cache/ubuntu-archive-keyring.gpg"
    fi
fi

base=$cache/$system-minbase
if [ ! -x "$base/usr/bin/apt-get" ]; then
    echo "== debootstrap: $label minbase in $base =="
    rm -rf "$base.new"
    # This debootstrap may predate the release; its scripts are all alike.
    script=/usr/share/debootstrap/scripts/$system
    [ -e "$script" ] || script=/usr/share/debootstrap/scripts/gutsy
    debootstrap --variant=minbase --components="$components" "${keyring[@]}" \
        "$system" "$base.new" "$mirror" "$script" >"$cache/logs/debootstrap-$system.log" 2>&1 ||
        { tail -n 20 "$cache/logs/debootstrap-$system.log"; echo "fresh-check: debootstrap failed" >&2; exit 1; }
    mv "$base.new" "$base"
fi
commit=$(git -C "$top" rev-parse HEAD)
git -C "$top" diff --quiet HEAD || echo "note: uncommitted changes are not checked"

# Runs in the new namespaces: the system's /proc, /sys and a private /dev,
# then the command in the chroot as root, with a login's plain environment.
inside='set -eu
root=$1 archives=$2 command=$3
mount --bind "$root" "$root"            # ttysim needs / to be a mount point
mount --bind "$archives" "$root/var/cache/apt/archives"
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
mount -t tmpfs -o nosuid,mode=0755 tmpfs "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 0666 "$root/dev/$name" c "$major" "$minor"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o nosuid,nodev,mode=1777 tmpfs "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/marquell && $command" </dev/null'

# Runs one command on a fresh copy of the base system; logs to $cache/logs.
results=()
failed=0
check() {
    local name=$1 command=$2
    local root=$cache/root-$system-$name log=$cache/logs/$system-$name.log
    rm -rf "$root"
    cp -a "$base" "$root"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    git clone --quiet "$top" "$root/root/marquell"
    git -C "$root/root/marquell" checkout --quiet --detach "$commit"
    echo "== $name: $command (log: $log) =="
    local start=$SECONDS rc=0
    unshare --mount --pid --fork --propagation private \
        bash -c "$inside" fresh-check "$root" "$archives" "$command" >"$log" 2>&1 || rc=$?
    local seconds=$((SECONDS - start))
    if [ "$rc" -eq 0 ]; then
        results+=("passed  ${seconds} s  $command")
        rm -rf "$root"
    else
        tail -n 30 "$log"
        results+=("FAILED  ${seconds} s  $command (status $rc; log $log, system kept in $root)")
        failed=1
    fi
}

for name in "$@"; do
    case $name in
        demo) check demo tools/demo.sh ;;
        test) check test tools/test.sh ;;
        package)
            # The README's first block, from its start up to the install.
            check package "sed -n '/^## Paint a sign/,/^apt install/p' README.md |
                sed '1,/^...sh\$/d' >/root/step1.sh && cat /root/step1.sh &&
                yes | bash -ex /root/step1.sh && dpkg -s marquell >/dev/null &&
                test -d /etc/marquell && test ! -e /etc/marquell/marquell.ini" ;;
        ci) check ci "CI=true bash .ci/run" ;;
    esac
done

echo
echo "== fresh $label minbase ($system), clone in /root/marquell, commit ${commit:0:12} =="
printf '%s\n' "${results[@]}"
exit "$failed"
