#!/usr/bin/env bash
# Tries the README's two commands, its package steps and CI as a new user
# would: on a fresh minbase system made by debootstrap (Debian 12 unless told
# otherwise), as root, with the clone in /root/marquell (mode 0700). Each of
# tools/demo.sh, tools/test.sh, the package and `CI=true bash .ci/run` runs on
# its own fresh copy of the system, in a private mount and process namespace with a private /dev that
# holds no serial device of this machine. Prints per command whether it
# passed and how long it took.
#
#   tools/fresh-check.sh [--system NAME] [demo] [test] [package] [autopkgtest] [ci]    as root, by hand
#
# package: step 1 of the README's "Paint a sign", typed as written (its
# questions answered yes: apt-get build-dep ./, dpkg-buildpackage -us -uc -b,
# apt install of the package), must build the package with nothing but what
# the README installs, and install it: /etc/marquell without a display list,
# marquell.service enabled, the repaint timer not. Then, on the system as an
# owner's (with systemd), a display list written and the timer enabled,
# apt remove must keep both and the file, and apt purge must leave no
# marquell link under /etc/systemd/system and no /etc/marquell.
# autopkgtest: the package's tests (debian/tests) with autopkgtest on this
# machine, the fresh system the testbed (autopkgtest-virt-chroot, in the
# same private namespaces), the package made here from the same commit
# (tools/package.sh).
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
#   MARQUELL_FRESH_MIRROR  the mirror; by default the one this machine's apt
#                          sources name for the system's distribution (Debian
#                          or Ubuntu): a Debian machine has no Ubuntu mirror,
#                          so jammy and noble need it set there
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cache=${MARQUELL_FRESH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/marquell/fresh}

system=bookworm
if [ "${1:-}" = --system ]; then
    system=${2:-}
    shift 2 || shift
fi
components=main origin=Debian
case $system in
    bookworm) label="Debian 12" ;;
    bullseye) label="Debian 11" ;;
    jammy) label="Ubuntu 22.04" components=main,universe origin=Ubuntu ;;
    noble) label="Ubuntu 24.04" components=main,universe origin=Ubuntu ;;
    *) echo "fresh-check: unknown system '$system': give bookworm, bullseye, jammy or noble" >&2; exit 2 ;;
esac

[ $# -gt 0 ] || set -- demo test ci
for name in "$@"; do
    case $name in
        demo | test | package | autopkgtest | ci) ;;
        *) echo "fresh-check: unknown command '$name': give demo, test, package, autopkgtest or ci" >&2; exit 2 ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-check: run it as root (debootstrap, chroot and mounts need root)" >&2
    exit 1
fi
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
need_packages debootstrap git curl
# The mirror, needed only to make the base system: the one this machine's
# apt sources name.
find_mirror() {
    [ -z "${mirror:-}" ] || return 0
    mirror=${MARQUELL_FRESH_MIRROR:-$(apt_mirror "$origin")}
    if [ -z "$mirror" ]; then
        echo "fresh-check: this machine's apt sources name no $origin mirror: set MARQUELL_FRESH_MIRROR to one" >&2
        exit 2
    fi
}

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
        find_mirror
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
    find_mirror
    echo "== debootstrap: $label minbase in $base, from $mirror =="
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
# then the command in the chroot as root, with a login's plain environment;
# or, where is host, on this machine (autopkgtest, which drives the chroot
# itself).
inside='set -eu
root=$1 archives=$2 command=$3 where=$4
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
path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
if [ "$where" = host ]; then
    exec /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb PATH=$path /bin/bash -c "$command" </dev/null
fi
exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb PATH=$path \
    /bin/bash -c "cd /root/marquell && $command" </dev/null'

# Runs one command on a fresh copy of the base system; logs to $cache/logs.
# With where host, the command runs on this machine, @ROOT@ in it standing
# for the system's folder.
results=()
failed=0
check() {
    local name=$1 command=$2 where=${3:-root}
    local root=$cache/root-$system-$name log=$cache/logs/$system-$name.log
    command=${command//@ROOT@/$root}
    rm -rf "$root"
    cp -a "$base" "$root"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    git clone --quiet "$top" "$root/root/marquell"
    git -C "$root/root/marquell" checkout --quiet --detach "$commit"
    echo "== $name: ${command%%$'\n'*} (log: $log) =="
    local start=$SECONDS rc=0
    unshare --mount --pid --fork --propagation private \
        bash -c "$inside" fresh-check "$root" "$archives" "$command" "$where" >"$log" 2>&1 || rc=$?
    local seconds=$((SECONDS - start))
    if [ "$rc" -eq 0 ]; then
        results+=("passed  ${seconds} s  $name")
        rm -rf "$root"
    else
        tail -n 30 "$log"
        results+=("FAILED  ${seconds} s  $name (status $rc; log $log, system kept in $root)")
        failed=1
    fi
}

# package: the README's first block, from its start up to the install, as
# written; what the package must have done; lintian; a second build of the
# same commit elsewhere; then the owner's file and timer, a removal and a
# purge.
read -r -d '' package_steps <<'EOF' || true
set -e
sed -n '/^## Paint a sign/,/^apt install/p' README.md | sed '1,/^...sh$/d' >/root/step1.sh
cat /root/step1.sh
start=$SECONDS
yes | bash -ex /root/step1.sh
echo "step 1: $((SECONDS - start)) s"
wants=/etc/systemd/system
dpkg -s marquell >/dev/null
test -d /etc/marquell && test ! -e /etc/marquell/marquell.ini
test -L $wants/multi-user.target.wants/marquell.service
test ! -e $wants/timers.target.wants/marquell-repaint.timer
echo "installed: no display list, the unit enabled, the timer not"
echo "the package: $(ls ../marquell_*.deb), Depends: $(dpkg-deb -f ../marquell_*_"$(dpkg --print-architecture)".deb Depends)"
# lintian as CI runs it: Debian 12's (an older one does not know the
# package's Standards-Version).
if grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release; then
    apt-get install -y -qq --no-install-recommends lintian >/dev/null
    lintian --fail-on error,warning --display-info --pedantic ../marquell_*.changes
    echo "lintian: no errors or warnings"
fi
mkdir -p /srv/another/folder
cp -a /root/marquell /srv/another/folder/
start=$SECONDS
(cd /srv/another/folder/marquell && umask 0002 &&
    DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b >/root/second-build.log 2>&1)
for deb in ../marquell*.deb; do
    cmp "$deb" "/srv/another/folder/${deb#../}"
done
echo "a second build, elsewhere, without the tests ($((SECONDS - start)) s): the same bytes"
apt-get install -y -qq --no-install-recommends systemd >/dev/null
cp /usr/share/doc/marquell/marquell.ini /etc/marquell/
systemctl enable marquell-repaint.timer
apt-get remove -y marquell
test -e /etc/marquell/marquell.ini
test -L $wants/multi-user.target.wants/marquell.service
test -L $wants/timers.target.wants/marquell-repaint.timer
echo "removed: the display list and both links kept"
apt-get purge -y marquell
test ! -e /etc/marquell
test -z "$(find /etc/systemd -name '*marquell*')"
echo "purged: no /etc/marquell, nothing named marquell under /etc/systemd"
EOF
for name in "$@"; do
    case $name in
        demo) check demo tools/demo.sh ;;
        test) check test tools/test.sh ;;
        package) check package "$package_steps" ;;
        autopkgtest)
            # The package of the same commit, made on this machine; the
            # testbed is the fresh system, driven by autopkgtest-virt-chroot.
            pkg=$cache/autopkgtest-$system
            rm -rf "$pkg"
            git clone --quiet "$top" "$pkg/clone"
            git -C "$pkg/clone" checkout --quiet --detach "$commit"
            need_packages autopkgtest
            echo "== making the package of ${commit:0:12} on this machine (log: $pkg/build.log) =="
            # shellcheck source=tools/package.sh
            . "$top/tools/package.sh"
            { package_source "$pkg/clone" "$pkg" && DEB_BUILD_OPTIONS=nocheck package_build "$package_dsc" "$pkg"; } \
                >"$pkg/build.log" 2>&1 || { tail -n 20 "$pkg/build.log"; exit 1; }
            check autopkgtest "autopkgtest --output-dir '$pkg/out' '$package_dsc' '$package_deb' -- chroot @ROOT@" host ;;
        ci) check ci "CI=true bash .ci/run" ;;
    esac
done

echo
echo "== fresh $label minbase ($system), clone in /root/marquell, commit ${commit:0:12} =="
printf '%s\n' "${results[@]}"
exit "$failed"
