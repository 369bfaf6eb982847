#!/usr/bin/env bash
# Makes the Debian package as the README's owner does, with Debian's own
# tools (tools/package.sh: the source package of the work tree, then
# dpkg-buildpackage -us -uc -b), and checks it, installing it only into
# folders of its own:
# - the same bytes twice: a second build of the same source in another
#   folder, at another time (faketime, 400 days on), under another umask,
#   time zone and locale, and without the tests (nocheck), must give the
#   same .deb files byte for byte (cmp; diffoscope shows a difference);
# - lintian on the source and the binary packages: an error or a warning
#   fails; info, pedantic and experimental tags are shown, and overridden
#   ones with the reason their override gives;
# - its metadata (dpkg-deb --info), maintainer scripts and contents
#   (dpkg-deb --contents), the man pages (mandoc -T lint, man --warnings),
#   the boot unit and its repaint timer (systemd-analyze verify), the
#   example display list, the example udev rule (its keys, and udevadm
#   verify where udevadm has it);
# - a `cmake --install` into a private prefix (the source install): no
#   display list, and the owner's kept by a second install;
# - as root, dpkg in throw-away roots laid out as Debian 12's (merged
#   /usr), the maintainer scripts run by this machine's shell with the root
#   in DPKG_ROOT (dpkg --force-script-chrootless) and this machine's systemd
#   out of their sight: an install writes no display list, enables the unit
#   and not the timer; a removal keeps the owner's file and what was
#   enabled, and a reinstall restores it; a purge leaves no marquell link
#   under /etc/systemd/system and no /etc/marquell; upgrades keep the
#   owner's file and choices, also from the previous release (1.0.0, made
#   by cpack, without maintainer scripts, its units in /lib or /usr/lib),
#   and a downgrade back to it loses no file.
# The machine's own package database is never touched.
#
#   tools/package-check.sh [--arch ARCH] [BUILD_DIR]
#
# ARCH is a Debian architecture: this machine's (the default; BUILD_DIR
# defaults to build-pkg), or arm64 or armhf, cross-built with Debian's cross
# toolchain without the tests (BUILD_DIR defaults to build-pkg-ARCH); the
# packaged programs then run under qemu-user. For another architecture it
# must run as root and sets the machine up as tools/cross.sh says. The
# package is left in BUILD_DIR, marquell_VERSION_ARCH.deb, with its debug
# symbols (marquell-dbgsym_VERSION_ARCH.deb) beside it.
#
# Needs cmake, g++, make, dpkg-dev, debhelper, faketime, mandoc, man-db,
# systemd (for systemd-analyze) and lintian, and the build dependencies,
# which a run as root installs itself (apt-get build-dep); .ci/run installs
# the rest. On a difference between the two builds it needs diffoscope
# (diffoscope-minimal), which a run as root installs then.
# Exits non-zero when a check fails or a check examined nothing.
# Checks read `test && ok ... || fail ...`; ok never fails, so fail runs
# exactly when the test does.
# shellcheck disable=SC2015
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
arch=
if [ "${1:-}" = --arch ]; then
    arch=${2:?package-check: --arch needs an architecture}
    shift 2
fi

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
ok() {
    echo "ok: $*"
}
need() {
    command -v "$1" >/dev/null || { echo "package-check: $1 is missing (install $2)" >&2; exit 2; }
}
need cmake cmake
need dpkg dpkg
need dpkg-deb dpkg
need dpkg-buildpackage dpkg-dev
need dpkg-source dpkg-dev
need dpkg-parsechangelog dpkg-dev
need dh debhelper
need faketime faketime
need mandoc mandoc
need man man-db
need readelf binutils
need systemd-analyze systemd
need lintian lintian

host_arch=$(dpkg --print-architecture)
arch=${arch:-$host_arch}
default_build=$top/build-pkg
[ "$arch" = "$host_arch" ] || default_build=$top/build-pkg-$arch
build=$(realpath -m "${1:-$default_build}")
# shellcheck source=tools/package.sh
. "$top/tools/package.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- the source package, and the binary packages built twice ----------------
rm -rf "$build"
package_source "$top" "$build/source"
dsc=$package_dsc
ok "source package: $(basename "$dsc"), $(stat -c %s "${dsc%.dsc}.tar.xz") bytes of source"
tests=with
[ "$arch" = "$host_arch" ] || tests=without
package_build "$dsc" "$build/first" "$arch"
first_seconds=$package_seconds
# Another folder, another time, umask, time zone and locale, and no tests,
# which must change nothing in the package.
second=$build/second/another/folder
(
    umask 0002
    export TZ=Pacific/Chatham LC_ALL=C.UTF-8
    export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }nocheck"
    # shellcheck disable=SC2016 # expanded by the inner shell
    faketime -f +400d bash -c '. "$1/tools/package.sh" && package_build "$2" "$3" "$4" &&
        echo "$package_seconds" >"$3.seconds"' build "$top" "$dsc" "$second" "$arch"
)
echo "info: build times: the first $first_seconds s ($tests the tests), the second $(cat "$second.seconds") s (without them, 400 days on)"
(cd "$build/first" && ls -- *.deb) >"$work/first.debs"
(cd "$second" && ls -- *.deb) >"$work/second.debs"
if [ "$(grep -c "" "$work/first.debs")" -lt 2 ]; then
    fail "the build made $(grep -c "" "$work/first.debs") .deb files, not the package and its debug symbols"
elif ! diff -u "$work/first.debs" "$work/second.debs" >&2; then
    fail "the two builds made different .deb files"
else
    same=yes
    while IFS= read -r name; do
        cmp -s "$build/first/$name" "$second/$name" && continue
        same=no
        fail "$name differs between the two builds:"
        command -v diffoscope >/dev/null || need_packages diffoscope-minimal
        diffoscope --text - "$build/first/$name" "$second/$name" >&2 || true
    done <"$work/first.debs"
    [ "$same" = no ] ||
        ok "the same bytes twice: $(xargs <"$work/first.debs"), across folders, times, umasks and nocheck"
fi
cp "$build"/first/*.deb "$build/"
deb=$build/$(basename "$package_deb")
echo "== $deb: $(stat -c %s "$deb") bytes; $(basename "$build"/marquell-dbgsym_*.deb): $(stat -c %s "$build"/marquell-dbgsym_*.deb) bytes"

# --- lintian ---------------------------------------------------------------
if timeout 300 lintian --fail-on error,warning --display-info --display-experimental --pedantic \
    --show-overrides "$dsc" "$build"/first/marquell_*.changes >"$work/lintian.log" 2>&1; then
    ok "lintian: no errors or warnings in the source and binary packages"
else
    fail "lintian:"
fi
grep -v '^running with root privileges' "$work/lintian.log" | sed 's/^/  lintian: /' || true

# --- the source install's build, and ttysim for the checks below -----------
cmake -S "$top" -B "$build/cmake" -DMARQUELL_TESTS=OFF >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$build/cmake" -j"$(nproc)" >"$work/cmake-build.log" &&
    cmake --build "$build/cmake" -j"$(nproc)" --target ttysim >>"$work/cmake-build.log" ||
    { cat "$work/cmake-build.log"; exit 1; }

# --- metadata --------------------------------------------------------------
field() {
    dpkg-deb --field "$deb" "$1"
}
changelog() {
    dpkg-parsechangelog -l "$top/debian/changelog" -S "$1"
}
# The source package is native: its version is the program's (project() in
# CMakeLists.txt) and the newest debian/changelog entry's.
version=$(changelog Version)
project=$(sed -n 's/^project(marquell VERSION \([0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")
[ "$(field Package)" = marquell ] && ok "Package: marquell" || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] && [ "$version" = "$project" ] &&
    ok "Version: $version, as debian/changelog and CMakeLists.txt" ||
    fail "the package is at $(field Version), debian/changelog at $version, CMakeLists.txt at $project: they must agree"
[ "$(field Architecture)" = "$arch" ] && ok "Architecture: $arch" ||
    fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = utils ] && ok "Section: utils" || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] && ok "Priority: optional" || fail "Priority is '$(field Priority)'"
maintainer=$(field Maintainer)
[[ "$maintainer" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] && [ "$maintainer" = "$(changelog Maintainer)" ] &&
    ok "Maintainer: $maintainer, who signed the newest debian/changelog entry" ||
    fail "Maintainer '$maintainer' is not debian/changelog's '$(changelog Maintainer)'"
depends=$(field Depends)
for lib in libc6 libstdc++6; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends ($depends) lacks $lib: shlibdeps did not run"
done
ok "Depends: $depends"
echo "info: Installed-Size: $(field Installed-Size) KiB"
description=$(field Description)
summary=$(head -n1 <<<"$description")
[ -n "$summary" ] && [ ${#summary} -le 80 ] && [[ "$summary" != *. ]] || fail "bad summary '$summary'"
[ "$(wc -l <<<"$description")" -ge 4 ] && ok "Description: $summary (+$(($(wc -l <<<"$description") - 1)) lines)" ||
    fail "the long description is missing"

dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's#^\./##' | grep -v '^$' | sort >"$work/control.list"
# No conffiles: the display list is the owner's file, not the package's.
printf '%s\n' control md5sums postinst postrm prerm >"$work/control.want"
if diff -u "$work/control.want" "$work/control.list" >"$work/control.diff"; then
    ok "control files: control md5sums postinst postrm prerm (no conffiles)"
else
    fail "control members differ:"; cat "$work/control.diff" >&2
fi

# --- contents --------------------------------------------------------------
dpkg-deb --contents "$deb" >"$work/contents"
# Every file and link, with its mode and owner.
awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $1, $2, $6 }' "$work/contents" | sort -k3 >"$work/files"
unit=$(awk '$3 ~ /systemd\/system\/marquell\.service$/ { print $3 }' "$work/files")
case "$unit" in
    lib/systemd/system/marquell.service | usr/lib/systemd/system/marquell.service) ;;
    *) fail "marquell.service is at '$unit'"; unit=lib/systemd/system/marquell.service ;;
esac
timer=${unit%/marquell.service}/marquell-repaint.timer
{
    echo "-rwxr-xr-x root/root usr/bin/marquell"
    echo "-rwxr-xr-x root/root usr/bin/marquell-check"
    for f in usr/share/man/man1/marquell.1.gz usr/share/man/man1/marquell-check.1.gz \
        usr/share/doc/marquell/README.md usr/share/doc/marquell/marquell.ini \
        usr/share/doc/marquell/70-marquell-adapter.rules \
        usr/share/doc/marquell/copyright usr/share/doc/marquell/changelog.gz \
        usr/share/lintian/overrides/marquell "$unit" "$timer"; do
        echo "-rw-r--r-- root/root $f"
    done
} | sort -k3 >"$work/files.want"
if diff -u "$work/files.want" "$work/files" >"$work/files.diff"; then
    ok "contents: $(wc -l <"$work/files") files, modes and owners as expected"
else
    fail "contents differ (want, have):"; cat "$work/files.diff" >&2
fi
if awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { bad = 1 } END { exit !bad }' "$work/contents"; then
    fail "a folder is not drwxr-xr-x"
fi
# The folder the owner writes the display list into.
awk '$1 ~ /^d/ && $6 == "./etc/marquell/" { found = 1 } END { exit !found }' "$work/contents" &&
    ok "the package makes /etc/marquell and puts no display list in it" ||
    fail "the package has no folder /etc/marquell"

root="$work/root"
mkdir "$root"
dpkg-deb -x "$deb" "$root"
for f in usr/bin/marquell usr/bin/marquell-check; do
    if readelf -S "$root/$f" | grep -q '\.debug_info\|\.symtab'; then
        fail "$f is not stripped"
    fi
done
cmp -s "$root/usr/share/doc/marquell/marquell.ini" "$top/packaging/marquell.ini" &&
    ok "the example display list is packaging/marquell.ini" ||
    fail "the packaged marquell.ini files differ from packaging/marquell.ini"
grep -qx 'ExecStart=/usr/bin/marquell' "$root/$unit" &&
    grep -qx 'WorkingDirectory=/etc/marquell' "$root/$unit" &&
    ok "the unit runs /usr/bin/marquell in /etc/marquell" ||
    fail "the packaged unit does not run /usr/bin/marquell in /etc/marquell"

# --- the example display list reads as examples/marquell.ini ---------------
# The annotations must not change what is read: compare the console report
# and the bytes on every port with those of the plain example, with the
# packaged program. ttysim is not in the package; it is built only now.
ports=$(grep -o 'lcd=[0-9]*' "$top/examples/marquell.ini" | cut -d= -f2 | sort -un | xargs)
for which in plain annotated; do
    mkdir -p "$work/$which/ports"
done
cp "$top/examples/marquell.ini" "$work/plain/"
cp "$top/packaging/marquell.ini" "$work/annotated/"
sim_rc=0
for which in plain annotated; do
    # shellcheck disable=SC2086  # one argument a port
    (cd "$work/$which" && "$build/cmake/ttysim" --dir ports $ports -- "$root/usr/bin/marquell" >report) || sim_rc=$?
done
if [ "$sim_rc" -eq 77 ] && [ -n "${MARQUELL_NS_REQUIRED:-}" ]; then
    fail "no private mount namespace, and MARQUELL_NS_REQUIRED is set: the example's displays were not compared"
elif [ "$sim_rc" -eq 77 ]; then
    echo "skip: no private mount namespace here; the example's displays were not compared"
elif [ "$sim_rc" -ne 0 ]; then
    fail "ttysim failed ($sim_rc) on the example files"
else
    same=1
    cmp -s "$work/plain/report" "$work/annotated/report" || same=0
    for n in $ports; do
        cmp -s "$work/plain/ports/ttyS$n" "$work/annotated/ports/ttyS$n" || same=0
    done
    [ $same -eq 1 ] && ok "packaging/marquell.ini serves the same displays as examples/marquell.ini (ports $ports)" ||
        fail "packaging/marquell.ini and examples/marquell.ini give different reports or bytes"
fi

check_rc=0
"$root/usr/bin/marquell-check" --quiet "$top/packaging/marquell.ini" || check_rc=$?
[ "$check_rc" -eq 0 ] && ok "marquell-check finds no trap in packaging/marquell.ini" ||
    fail "marquell-check packaging/marquell.ini exits $check_rc"

# --- man pages -------------------------------------------------------------
for page in marquell.1 marquell-check.1; do
    packed="$root/usr/share/man/man1/$page.gz"
    if ! zcat "$packed" | cmp -s - "$top/man/$page"; then
        fail "$page.gz is not man/$page"
    fi
    if out=$(mandoc -T lint -W warning "$top/man/$page" 2>&1) && [ -z "$out" ]; then
        ok "mandoc -T lint: $page"
    else
        fail "mandoc -T lint $page:"; echo "$out" >&2
    fi
    # as lintian runs it
    if out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$packed" 2>&1 >/dev/null) && [ -z "$out" ]; then
        ok "man --warnings: $page"
    else
        fail "man --warnings $page:"; echo "$out" >&2
    fi
done
# Every message the program prints about a port is explained in marquell(1).
MANWIDTH=400 man -l "$top/man/marquell.1" 2>/dev/null | col -b >"$work/marquell.1.txt"
grep -oh '"\(Serial_Init:: [^"\\]*\|SendByte() failed\|Could not open port [^\\]*\)' "$top"/src/*.cpp "$top"/src/*.h |
    sed 's/^"//' | sort -u >"$work/messages"
[ -s "$work/messages" ] || fail "found no port message of the program in src/ to look up in marquell(1)"
while IFS= read -r msg; do
    # %d and %s stand for a value: any word in the page
    pattern=$(sed 's/[][\.*^$]/\\&/g; s/%[ds]/.*/g' <<<"$msg")
    grep -q -- "$pattern" "$work/marquell.1.txt" || fail "marquell(1) does not explain '$msg'"
done <"$work/messages"
ok "marquell(1) names all $(wc -l <"$work/messages") port messages of the program"

# --- the boot unit ---------------------------------------------------------
# The unit as packaged, pointed at the unpacked program so verify finds it.
mkdir "$work/unit"
sed "s#^ExecStart=/usr/bin/marquell#ExecStart=$root/usr/bin/marquell#" "$root/$unit" \
    >"$work/unit/marquell.service"
if out=$(cd "$work/unit" && MANPATH="$root/usr/share/man" \
    systemd-analyze verify "$work/unit/marquell.service" 2>&1) && [ -z "$out" ]; then
    ok "systemd-analyze verify: marquell.service"
else
    fail "systemd-analyze verify marquell.service:"; echo "$out" >&2
fi
cp "$root/$timer" "$work/unit/"
if out=$(cd "$work/unit" && MANPATH="$root/usr/share/man" \
    systemd-analyze verify "$work/unit/marquell-repaint.timer" 2>&1) && [ -z "$out" ]; then
    ok "systemd-analyze verify: marquell-repaint.timer"
else
    fail "systemd-analyze verify marquell-repaint.timer:"; echo "$out" >&2
fi
# The repaint starts the unit a period after each run ends, and only that.
grep -qx 'Unit=marquell.service' "$root/$timer" && grep -qx 'OnUnitInactiveSec=15min' "$root/$timer" ||
    fail "the timer does not start marquell.service 15 minutes after each run"
grep -qx 'WantedBy=timers.target' "$root/$timer" || fail "the timer is not wanted by timers.target"
grep -q '^PrivateDevices=yes' "$root/$unit" && fail "PrivateDevices=yes would hide /dev/ttyS*"
# The USB adapters, and the boards' own UARTs that are not ttyS.
for group in ttyUSB ttyACM ttyAMA ttySAC ttymxc ttyMSM ttyAML ttyTHS ttyLP ttyPS; do
    grep -qx "DeviceAllow=char-$group rw" "$root/$unit" || fail "the unit does not allow the $group devices"
done
# ttyS0..ttyS31 by number; major 4 as a whole would admit the virtual consoles.
for minor in $(seq 64 95); do
    grep -qx "DeviceAllow=/dev/char/4:$minor rw" "$root/$unit" || fail "the unit does not allow ttyS$((minor - 64))"
done
grep -Eq '^DeviceAllow=(char-ttyS|char-tty|char-4|/dev/char/4:([0-9]|[1-5][0-9]|6[0-3])) ' "$root/$unit" &&
    fail "the unit's device policy admits the virtual consoles (major 4, minors 0-63)"
grep -Eq '^DeviceAllow=(char-hvc|char-console|char-vc|char-5|char-229|/dev/char/(5|229):)' "$root/$unit" &&
    fail "the unit's device policy admits a console (major 5, or hvc, major 229)"
# Type=oneshot would hold the boot until every byte is on the wire; without
# DefaultDependencies=no multi-user.target waits for any job on the unit.
grep -qx 'Type=exec' "$root/$unit" || fail "the unit is not Type=exec: the boot would wait for the displays"
grep -qx 'DefaultDependencies=no' "$root/$unit" ||
    fail "the unit keeps the default dependencies: multi-user.target would wait for its jobs"
# A reload ends the run by SIGHUP and systemd starts the next: a burst of
# them must not hit the start limit, and the report must not be rate-limited.
grep -qx 'RestartForceExitStatus=SIGHUP' "$root/$unit" || fail "a reload would not start a new run"
grep -qx 'StartLimitIntervalSec=0' "$root/$unit" || fail "a burst of reloads can leave the unit failed"
grep -qx 'LogRateLimitIntervalSec=0' "$root/$unit" || fail "journald may drop lines of the report"
# Keys Debian 11's systemd (247) does not know.
grep -Eq '^(PrivateIPC|ExecSearchPath)=' "$root/$unit" &&
    fail "the unit uses a key Debian 11's systemd does not know"
# Without a display list a start is skipped, with one line saying what to do.
condition=$(sed -n 's/^ExecCondition=//p' "$root/$unit")
if [ -z "$condition" ]; then
    fail "the unit has no ExecCondition: it would run without a display list"
else
    mkdir -p "$work/cond"
    unit_list=/etc/marquell/marquell.ini
    cond_sh=${condition//"$unit_list"/"$work/cond/marquell.ini"}
    cond_rc=0
    cond_out=$(eval "$cond_sh") || cond_rc=$?
    touch "$work/cond/marquell.ini"
    [ "$cond_rc" -eq 1 ] && [ "$(grep -c "" <<<"$cond_out")" -eq 1 ] &&
        [[ "$cond_out" == *"$work/cond/marquell.ini"*"/usr/share/doc/marquell/marquell.ini"* ]] &&
        (eval "$cond_sh" >/dev/null) &&
        ok "without a display list the unit skips the start and says in one line what to write" ||
        fail "the unit's ExecCondition does not skip without a display list (status $cond_rc: $cond_out)"
fi
if exposure=$(systemd-analyze security --offline=yes "$work/unit/marquell.service" 2>/dev/null | grep 'Overall exposure'); then
    echo "info: ${exposure#→ }"
fi

# --- the example udev rule for USB serial adapters -------------------------
rules_doc=usr/share/doc/marquell/70-marquell-adapter.rules
cmp -s "$root/$rules_doc" "$top/packaging/70-marquell-adapter.rules" ||
    fail "$rules_doc is not packaging/70-marquell-adapter.rules"
if out=$("$top/tools/udev-rule-check.sh" "$root/$rules_doc" 2>&1); then
    ok "${out#"$root/"}"
else
    fail "the udev rule:"; echo "$out" >&2
fi
# A restart from the rule leaves a job that waits for the old run to drain
# its port, and at boot that job holds the boot.
grep -q 'RUN+="/bin/systemctl --no-block reload-or-restart marquell.service"' "$root/$rules_doc" ||
    fail "$rules_doc does not repaint with reload-or-restart"
# A board's UART is the one line an owner edits (the README says so).
grep -Eq '^#KERNEL=="ttyAMA0", ENV\{\.MARQUELL_PORT\}="[0-9]+"$' "$root/$rules_doc" ||
    fail "$rules_doc has no board UART line to uncomment"
# The key check itself must refuse a key udev does not know.
printf 'KERNEL=="ttyUSB0", SYMLNK+="ttyS40"\n' >"$work/bad.rules"
"$top/tools/udev-rule-check.sh" "$work/bad.rules" 2>/dev/null &&
    fail "tools/udev-rule-check.sh passed a rule with the unknown key SYMLNK"
if ! command -v udevadm >/dev/null; then
    echo "skip: udevadm verify: udevadm is not installed (package udev)"
elif ! udevadm verify --help >/dev/null 2>&1; then
    echo "skip: udevadm verify: this udevadm ($(udevadm --version)) has no verify; systemd 253 added it"
elif out=$(udevadm verify "$root/$rules_doc" 2>&1); then
    ok "udevadm verify: $rules_doc"
else
    fail "udevadm verify $rules_doc:"; echo "$out" >&2
fi

# --- cmake --install into a private prefix stays inside it -----------------
prefix="$work/prefix"
env -u DESTDIR cmake --install "$build/cmake" --prefix "$prefix" >"$work/install.log"
outside=$(grep -v "^$prefix/" "$build/cmake/install_manifest.txt" || true)
if [ -z "$outside" ]; then
    ok "cmake --install --prefix: $(grep -c "" "$build/cmake/install_manifest.txt") files, all under the prefix"
else
    fail "cmake --install --prefix wrote outside the prefix:"; echo "$outside" >&2
fi
for f in bin/marquell bin/marquell-check share/man/man1/marquell.1.gz share/man/man1/marquell-check.1.gz \
    share/doc/marquell/README.md share/doc/marquell/marquell.ini \
    share/doc/marquell/70-marquell-adapter.rules share/doc/marquell/copyright \
    lib/systemd/system/marquell.service lib/systemd/system/marquell-repaint.timer; do
    [ -e "$prefix/$f" ] || fail "cmake --install --prefix did not install $f"
done
[ -d "$prefix/etc/marquell" ] && [ ! -e "$prefix/etc/marquell/marquell.ini" ] &&
    ok "cmake --install makes etc/marquell and installs no display list" ||
    fail "cmake --install did not make etc/marquell, or put a display list there"
grep -qx "ExecStart=$prefix/bin/marquell" "$prefix/lib/systemd/system/marquell.service" &&
    grep -qx "WorkingDirectory=$prefix/etc/marquell" "$prefix/lib/systemd/system/marquell.service" ||
    fail "the unit installed under the prefix does not point into it"

# --- the owner's display list survives a second install --------------------
edit() {
    printf '# edited by the owner\n' >>"$1" && cp "$1" "$work/edited.ini"
}
edited() {
    cmp -s "$1" "$work/edited.ini"
}
list=$prefix/etc/marquell/marquell.ini
cp "$top/packaging/marquell.ini" "$list"
edit "$list"
env -u DESTDIR cmake --install "$build/cmake" --prefix "$prefix" >"$work/install2.log"
edited "$list" && grep -q "^-- Keeping: $list" "$work/install2.log" &&
    ok "a second cmake --install keeps the edited etc/marquell/marquell.ini" ||
    fail "a second cmake --install replaced the edited etc/marquell/marquell.ini"

# --- install, removal, purge and upgrades through dpkg ---------------------
if [ "$(id -u)" -ne 0 ]; then
    echo "skip: dpkg in a throw-away root needs root (dpkg --root)"
else
    # An empty root laid out as Debian 12's: /bin, /sbin and /lib are links
    # into /usr, so a file that moves between /lib and /usr/lib is one file.
    new_root() {
        droot=$work/dpkg-root
        rm -rf "$droot"
        mkdir -p "$droot"/var/lib/dpkg/info "$droot"/var/lib/dpkg/updates "$droot"/var/log \
            "$droot"/usr/bin "$droot"/usr/sbin "$droot"/usr/lib "$droot"/etc
        local dir
        for dir in bin sbin lib; do
            ln -s "usr/$dir" "$droot/$dir"
        done
        touch "$droot/var/lib/dpkg/status" "$droot/var/lib/dpkg/available"
        list=$droot/etc/marquell/marquell.ini
    }
    # dpkg in the root. The maintainer scripts run on this machine with the
    # root in DPKG_ROOT; this machine's systemd, where it runs, is hidden
    # from them in a mount namespace of their own (they would reload it and
    # start its units). Nothing in the root runs, so a package of another
    # architecture installs too.
    dpkg_in_root() {
        echo "== dpkg $*" >>"$work/dpkg.log"
        unshare --mount --propagation private sh -c \
            '[ ! -d /run/systemd/system ] || mount -t tmpfs -o mode=0755 tmpfs /run/systemd; exec "$@"' \
            dpkg-root dpkg --root="$droot" --log="$droot/var/log/dpkg.log" --force-script-chrootless \
            --force-depends --force-architecture "$@" </dev/null >>"$work/dpkg.log" 2>&1
    }
    # The owner's systemctl in the root.
    owner() {
        systemctl --root="$droot" "$@" >>"$work/dpkg.log" 2>&1
    }
    # Which units are enabled, by their links: "unit timer", "unit", "timer"
    # or "none".
    enabled() {
        local on=()
        [ -L "$droot/etc/systemd/system/multi-user.target.wants/marquell.service" ] && on+=(unit)
        [ -L "$droot/etc/systemd/system/timers.target.wants/marquell-repaint.timer" ] && on+=(timer)
        echo "${on[*]:-none}"
    }
    # What is left of marquell in the root after a purge, but dpkg's log.
    leftovers() {
        (cd "$droot" && find etc var/lib/systemd -name '*marquell*' 2>/dev/null; [ ! -e etc/marquell ] || echo etc/marquell) |
            sort -u | xargs
    }
    # repack NAME VERSION [OPTION...]: the package as another version, in
    # $work/NAME.deb. cpack: as 1.0.0 was made, by cpack, with no maintainer
    # scripts (its files were these, at these places); usrlib: its units in
    # /usr/lib/systemd/system, where cpack put them when systemd's
    # pkg-config said so; conffile: the example as the conffile
    # /etc/marquell/marquell.ini, as some earlier package may have shipped it.
    repack() {
        local name=$1 v=$2 option dir=$work/repack
        shift 2
        rm -rf "$dir"
        dpkg-deb -R "$deb" "$dir"
        sed -i "s/^Version: .*/Version: $v/" "$dir/DEBIAN/control"
        for option in "$@"; do
            case $option in
                cpack) rm "$dir/DEBIAN/postinst" "$dir/DEBIAN/prerm" "$dir/DEBIAN/postrm" ;;
                usrlib) mkdir -p "$dir/usr/lib" && mv "$dir/lib/systemd" "$dir/usr/lib/" && rmdir "$dir/lib" ;;
                conffile)
                    cp "$top/packaging/marquell.ini" "$dir/etc/marquell/marquell.ini"
                    echo /etc/marquell/marquell.ini >"$dir/DEBIAN/conffiles"
                    ;;
            esac
        done
        (cd "$dir" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum \
            >DEBIAN/md5sums)
        dpkg-deb --root-owner-group -b "$dir" "$work/$name.deb" >/dev/null
    }
    # What a purge must leave: nothing of marquell.
    purged() {
        local left
        left=$(leftovers)
        [ -z "$left" ] && ok "$1: a purge leaves no marquell link or record under /etc/systemd and /var/lib/systemd, and no /etc/marquell" ||
            fail "$1: a purge left $left"
    }
    dpkg_failed() {
        fail "$1"
        tail -n 30 "$work/dpkg.log" >&2
    }

    # An install, the owner's file and choices, a removal, a reinstall, an
    # upgrade and a purge.
    new_root
    if ! dpkg_in_root -i "$deb"; then
        dpkg_failed "dpkg -i into an empty root failed"
    else
        [ -d "$droot/etc/marquell" ] && [ ! -e "$list" ] && [ "$(enabled)" = unit ] &&
            ok "an install makes /etc/marquell, writes no display list, enables marquell.service and not the repaint timer" ||
            fail "after an install: /etc/marquell holds '$(find "$droot/etc/marquell" -mindepth 1 -printf '%P ' 2>&1)', enabled: $(enabled)"
        cp "$top/packaging/marquell.ini" "$list"
        edit "$list"
        owner enable marquell-repaint.timer
        dpkg_in_root -r marquell || dpkg_failed "dpkg -r failed"
        edited "$list" && [ "$(enabled)" = "unit timer" ] && [ ! -e "$droot/$unit" ] &&
            ok "a removal keeps the owner's display list and what was enabled" ||
            fail "after a removal: display list $(edited "$list" && echo kept || echo lost), enabled: $(enabled)"
        dpkg_in_root -i "$deb" || dpkg_failed "the reinstall failed"
        edited "$list" && [ "$(enabled)" = "unit timer" ] &&
            ok "a reinstall finds the display list, the unit and the timer as they were" ||
            fail "after a reinstall: enabled: $(enabled)"
        owner disable marquell.service
        repack next "$version+1"
        dpkg_in_root -i "$work/next.deb" || dpkg_failed "the upgrade to $version+1 failed"
        edited "$list" && [ "$(enabled)" = timer ] &&
            ok "an upgrade ($version to $version+1) keeps the owner's display list, the unit off and the timer on" ||
            fail "after an upgrade: display list $(edited "$list" && echo kept || echo lost), enabled: $(enabled)"
        owner enable marquell.service
        dpkg_in_root --purge marquell || dpkg_failed "the purge failed"
        purged "installed, unit and timer enabled, purged"
    fi

    # Upgrades from 1.0.0, made by cpack, which enabled nothing: what the
    # owner enabled stays enabled, what the owner left off stays off.
    for layout in lib usrlib; do
        where=/lib
        [ "$layout" = lib ] || where=/usr/lib
        repack "cpack-$layout" 1.0.0 cpack "$layout"
        for choice in "unit timer" none; do
            new_root
            if ! dpkg_in_root -i "$work/cpack-$layout.deb"; then
                dpkg_failed "dpkg -i of 1.0.0 (units in $where) failed"
                continue
            fi
            cp "$top/packaging/marquell.ini" "$list"
            edit "$list"
            [ "$choice" = none ] || owner enable marquell.service marquell-repaint.timer
            dpkg_in_root -i "$deb" || dpkg_failed "the upgrade from 1.0.0 failed"
            edited "$list" && [ "$(enabled)" = "$choice" ] && [ -f "$droot/$unit" ] && [ -f "$droot/$timer" ] &&
                ok "an upgrade from 1.0.0 (units in $where, enabled: $choice) keeps the display list, the units and what was enabled" ||
                fail "after an upgrade from 1.0.0 (units in $where, enabled: $choice): display list $(edited "$list" && echo kept || echo lost), enabled: $(enabled), unit files $( [ -f "$droot/$unit" ] && [ -f "$droot/$timer" ] && echo there || echo lost)"
            if [ "$choice" = none ]; then
                # And back: every file of 1.0.0 is there again.
                dpkg_in_root -i "$work/cpack-$layout.deb" || dpkg_failed "the downgrade to 1.0.0 failed"
                lost=$(dpkg-deb --contents "$work/cpack-$layout.deb" | awk '$1 !~ /^d/ { print $6 }' |
                    while read -r f; do [ -e "$droot/$f" ] || echo "$f"; done | xargs)
                [ -z "$lost" ] && edited "$list" &&
                    ok "a downgrade back to 1.0.0 (units in $where) leaves all its files and the display list" ||
                    fail "after a downgrade to 1.0.0 (units in $where), missing: $lost"
            else
                dpkg_in_root --purge marquell || dpkg_failed "the purge failed"
                purged "upgraded from 1.0.0 (units in $where)"
            fi
        done
    done

    # An upgrade from a package that shipped the example as a conffile: dpkg
    # keeps a conffile a package no longer ships, edited or not.
    new_root
    repack conffile "$version~old" conffile
    if dpkg_in_root -i "$work/conffile.deb" && cmp -s "$list" "$top/packaging/marquell.ini"; then
        edit "$list"
        dpkg_in_root -i "$deb" && edited "$list" &&
            ok "an upgrade from a package that shipped the example as a conffile keeps the edited file" ||
            fail "an upgrade from a package that shipped the example as a conffile lost the edited file"
    else
        dpkg_failed "dpkg -i of the package with the example as a conffile did not install it"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "package-check: $failures check(s) failed" >&2
    exit 1
fi
echo "package-check: all checks passed"
