#!/usr/bin/env bash
# Tries the README's two commands and CI as a new user would: on a fresh
# Debian 12 minbase system, as root, with the clone in /root/marquell (mode
# 0700). Each of tools/demo.sh, tools/test.sh and `CI=true bash .ci/run` runs
# on its own fresh copy of the system, in a private mount and process
# namespace with a private /dev that holds no serial device of this machine.
# Prints per command whether it passed and how long it took.
#
#   tools/fresh-check.sh [demo] [test] [ci]    as root, by hand; not part of CI
#
# With no argument it runs all three.
#
# It checks the committed HEAD of this checkout (a `git clone`), not
# uncommitted changes. The base system is made once with debootstrap and
# kept; downloaded packages are kept beside it, so later runs fetch less.
#   MARQUELL_FRESH_CACHE   where they are kept (default ~/.cache/marquell/fresh)
#   MARQUELL_FRESH_MIRROR  the Debian mirror (default http://deb.debian.org/debian)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${MARQUELL_FRESH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/marquell/fresh}
mirror=${MARQUELL_FRESH_MIRROR:-http://deb.debian.org/debian}

[ $# -gt 0 ] || set -- demo test ci
for name in "$@"; do
    case $name in
        demo | test | ci) ;;
        *) echo "fresh-check: unknown command '$name': give demo, test or ci" >&2; exit 2 ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-check: run it as root (debootstrap, chroot and mounts need root)" >&2
    exit 1
fi
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
need_packages debootstrap git

mkdir -p "$cache/logs" "$cache/archives/partial"
base=$cache/bookworm-minbase
if [ ! -x "$base/usr/bin/apt-get" ]; then
    echo "== debootstrap: Debian 12 minbase in $base =="
    rm -rf "$base.new"
    debootstrap --variant=minbase bookworm "$base.new" "$mirror" >"$cache/logs/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/logs/debootstrap.log"; echo "fresh-check: debootstrap failed" >&2; exit 1; }
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
    local root=$cache/root-$name log=$cache/logs/$name.log
    rm -rf "$root"
    cp -a "$base" "$root"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    git clone --quiet "$top" "$root/root/marquell"
    git -C "$root/root/marquell" checkout --quiet --detach "$commit"
    echo "== $name: $command (log: $log) =="
    local start=$SECONDS rc=0
    unshare --mount --pid --fork --propagation private \
        bash -c "$inside" fresh-check "$root" "$cache/archives" "$command" >"$log" 2>&1 || rc=$?
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
        ci) check ci "CI=true bash .ci/run" ;;
    esac
done

echo
echo "== fresh Debian 12 minbase, clone in /root/marquell, commit ${commit:0:12} =="
printf '%s\n' "${results[@]}"
exit "$failed"
