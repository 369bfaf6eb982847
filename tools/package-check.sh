#!/usr/bin/env bash
# Builds the Debian package with cpack and checks it, installing it only into
# folders of its own: its metadata (dpkg-deb --info) and contents (dpkg-deb
# --contents), the man pages (mandoc -T lint, man --warnings), the boot unit
# and its repaint timer (systemd-analyze verify; the timer disabled after an
# install), the example display list, the example udev rule
# (its keys, and udevadm verify where udevadm has it), a `cmake --install`
# into a private prefix, that no display list is installed and the owner's
# is kept by a second install and by package upgrades, also from a package
# that shipped the example as a conffile (dpkg in a throw-away root, as
# root), and lintian.
#
#   tools/package-check.sh [--arch ARCH] [BUILD_DIR]
#
# ARCH is a Debian architecture: this machine's (the default; BUILD_DIR
# defaults to build-pkg), or arm64 or armhf, cross-built with Debian's cross
# toolchain (BUILD_DIR defaults to build-pkg-ARCH); the packaged programs
# then run under qemu-user. For another architecture it must run as root and
# sets the machine up as tools/cross.sh says.
#
# Needs cmake, g++, make, dpkg-dev, mandoc,
# man-db, systemd (for systemd-analyze) and lintian; .ci/run installs them.
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
need cpack cmake
need dpkg dpkg
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need dpkg-parsechangelog dpkg-dev
need dpkg-buildflags dpkg-dev
need mandoc mandoc
need man man-db
need readelf binutils
need systemd-analyze systemd
need lintian lintian

host_arch=$(dpkg --print-architecture)
arch=${arch:-$host_arch}
toolchain=()
default_build=$top/build-pkg
if [ "$arch" != "$host_arch" ]; then
    # shellcheck source=tools/cross.sh
    . "$top/tools/cross.sh"
    cross_prepare "$arch"
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$cross_toolchain")
    default_build=$top/build-pkg-$arch
    # dpkg-buildflags and cpack's dpkg-shlibdeps build for this architecture.
    export DEB_HOST_ARCH=$arch
fi
build=$(realpath -m "${1:-$default_build}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- build with Debian's hardening flags, then the package ------------------
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$top" -B "$build" "${toolchain[@]}" -DMARQUELL_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
rm -f "$build"/marquell_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
debs=("$build"/marquell_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package-check: no single .deb in $build" >&2; exit 1; }
deb=${debs[0]}
echo "== $deb"

# --- metadata --------------------------------------------------------------
field() {
    dpkg-deb --field "$deb" "$1"
}
changelog() {
    dpkg-parsechangelog -l "$top/packaging/changelog" -S "$1"
}
# The package's version is the project's (project() in CMakeLists.txt).
version=$(changelog Version)
[ "$(field Package)" = marquell ] && ok "Package: marquell" || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] && ok "Version: $version, as packaging/changelog" ||
    fail "the project is at $(field Version), packaging/changelog at $version: add a changelog entry"
[ "$(field Architecture)" = "$arch" ] && ok "Architecture: $arch" ||
    fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = utils ] && ok "Section: utils" || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] && ok "Priority: optional" || fail "Priority is '$(field Priority)'"
maintainer=$(field Maintainer)
[[ "$maintainer" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] && [ "$maintainer" = "$(changelog Maintainer)" ] &&
    ok "Maintainer: $maintainer, as packaging/changelog" ||
    fail "Maintainer '$maintainer' is not packaging/changelog's '$(changelog Maintainer)'"
depends=$(field Depends)
for lib in libc6 libstdc++6; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends ($depends) lacks $lib: shlibdeps did not run"
done
ok "Depends: $depends"
description=$(field Description)
summary=$(head -n1 <<<"$description")
[ -n "$summary" ] && [ ${#summary} -le 80 ] && [[ "$summary" != *. ]] || fail "bad summary '$summary'"
[ "$(wc -l <<<"$description")" -ge 4 ] && ok "Description: $summary (+$(($(wc -l <<<"$description") - 1)) lines)" ||
    fail "the long description is missing"

dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's#^\./##' | grep -v '^$' | sort >"$work/control.list"
# No conffiles: the display list is the owner's file, not the package's.
printf '%s\n' control md5sums >"$work/control.want"
if diff -u "$work/control.want" "$work/control.list" >"$work/control.diff"; then
    ok "control files: control md5sums (no conffiles, no maintainer scripts)"
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
        "$unit" "$timer"; do
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
cmake --build "$build" -j"$(nproc)" --target ttysim >"$work/sim.log" || { cat "$work/sim.log"; exit 1; }
ports=$(grep -o 'lcd=[0-9]*' "$top/examples/marquell.ini" | cut -d= -f2 | sort -un | xargs)
for which in plain annotated; do
    mkdir -p "$work/$which/ports"
done
cp "$top/examples/marquell.ini" "$work/plain/"
cp "$top/packaging/marquell.ini" "$work/annotated/"
sim_rc=0
for which in plain annotated; do
    # shellcheck disable=SC2086  # one argument a port
    (cd "$work/$which" && "$build/ttysim" --dir ports $ports -- "$root/usr/bin/marquell" >report) || sim_rc=$?
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
env -u DESTDIR cmake --install "$build" --prefix "$prefix" >"$work/install.log"
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
if [ -z "$outside" ]; then
    ok "cmake --install --prefix: $(grep -c "" "$build/install_manifest.txt") files, all under the prefix"
else
    fail "cmake --install --prefix wrote outside the prefix:"; echo "$outside" >&2
fi
for f in bin/marquell bin/marquell-check share/man/man1/marquell.1.gz share/man/man1/marquell-check.1.gz \
    share/doc/marquell/README.md share/doc/marquell/marquell.ini \
    share/doc/marquell/70-marquell-adapter.rules lib/systemd/system/marquell.service \
    lib/systemd/system/marquell-repaint.timer; do
    [ -e "$prefix/$f" ] || fail "cmake --install --prefix did not install $f"
done
[ -d "$prefix/etc/marquell" ] && [ ! -e "$prefix/etc/marquell/marquell.ini" ] &&
    ok "cmake --install makes etc/marquell and installs no display list" ||
    fail "cmake --install did not make etc/marquell, or put a display list there"
grep -qx "ExecStart=$prefix/bin/marquell" "$prefix/lib/systemd/system/marquell.service" &&
    grep -qx "WorkingDirectory=$prefix/etc/marquell" "$prefix/lib/systemd/system/marquell.service" ||
    fail "the unit installed under the prefix does not point into it"

# --- the owner's display list survives a second install and an upgrade -----
edit() {
    printf '# edited by the owner\n' >>"$1" && cp "$1" "$work/edited.ini"
}
edited() {
    cmp -s "$1" "$work/edited.ini"
}
list=$prefix/etc/marquell/marquell.ini
cp "$top/packaging/marquell.ini" "$list"
edit "$list"
env -u DESTDIR cmake --install "$build" --prefix "$prefix" >"$work/install2.log"
edited "$list" && grep -q "^-- Keeping: $list" "$work/install2.log" &&
    ok "a second cmake --install keeps the edited etc/marquell/marquell.ini" ||
    fail "a second cmake --install replaced the edited etc/marquell/marquell.ini"

# Through dpkg, in an empty root of its own: never this machine's database.
# A fresh install writes no display list; the owner's is kept by an upgrade,
# also by one from a package that shipped the example as a conffile (dpkg
# keeps a conffile a package no longer ships, edited or not).
if [ "$(id -u)" -ne 0 ]; then
    echo "skip: the package upgrade needs root (dpkg --root)"
else
    droot=$work/dpkg-root
    mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates" "$droot/var/log"
    touch "$droot/var/lib/dpkg/status" "$droot/var/lib/dpkg/available"
    # Nothing in the root runs, so a package of another architecture does too.
    dpkg_in_root() {
        dpkg --root="$droot" --log="$droot/var/log/dpkg.log" --force-depends \
            --force-architecture "$@" </dev/null >>"$work/dpkg.log" 2>&1
    }
    # The package at version $1; with $2 set, with the example as the
    # conffile /etc/marquell/marquell.ini.
    repack() {
        rm -rf "$work/next"
        dpkg-deb -R "$deb" "$work/next"
        sed -i "s/^Version: .*/Version: $1/" "$work/next/DEBIAN/control"
        if [ -n "${2:-}" ]; then
            cp "$top/packaging/marquell.ini" "$work/next/etc/marquell/marquell.ini"
            echo /etc/marquell/marquell.ini >"$work/next/DEBIAN/conffiles"
            (cd "$work/next" && find etc usr lib -type f -exec md5sum {} + | sort -k2 >DEBIAN/md5sums)
        fi
        dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" >/dev/null
    }
    list=$droot/etc/marquell/marquell.ini
    if dpkg_in_root -i "$deb" && [ -d "$droot/etc/marquell" ] && [ ! -e "$list" ]; then
        ok "dpkg -i into an empty root makes /etc/marquell and writes no display list"
        cp "$top/packaging/marquell.ini" "$list"
        # Off after the install; on after the one command the README gives.
        state=$(systemctl --root="$droot" is-enabled marquell-repaint.timer 2>&1 || true)
        if [ "$state" = disabled ] &&
            systemctl --root="$droot" enable marquell-repaint.timer >>"$work/dpkg.log" 2>&1 &&
            [ "$(systemctl --root="$droot" is-enabled marquell-repaint.timer 2>&1)" = enabled ]; then
            ok "the installed repaint timer is disabled, and enabled by systemctl enable"
        else
            fail "the installed repaint timer is '$state', or systemctl enable does not enable it"
        fi
        systemctl --root="$droot" disable marquell-repaint.timer >>"$work/dpkg.log" 2>&1
        edit "$list"
        repack "$version+1"
        dpkg_in_root -i "$work/next.deb" && edited "$list" &&
            ok "an upgrade (dpkg -i, $version to $version+1) keeps the owner's /etc/marquell/marquell.ini" ||
            fail "an upgrade replaced or removed the owner's /etc/marquell/marquell.ini"
        dpkg_in_root --purge marquell && rm -f "$list"
        repack "$version~old" conffile
        if dpkg_in_root -i "$work/next.deb" && cmp -s "$list" "$top/packaging/marquell.ini"; then
            edit "$list"
            dpkg_in_root -i "$deb" && edited "$list" &&
                ok "an upgrade from a package that shipped the example as a conffile keeps the edited file" ||
                fail "an upgrade from a package that shipped the example as a conffile lost the edited file"
        else
            fail "dpkg -i of the package with the example as a conffile did not install it"
            cat "$work/dpkg.log" >&2
        fi
    else
        fail "dpkg -i into an empty root did not make /etc/marquell, or wrote a display list there:"
        cat "$work/dpkg.log" >&2
    fi
fi

# --- lintian ---------------------------------------------------------------
if timeout 300 lintian --fail-on error,warning --display-info "$deb" >"$work/lintian.log" 2>&1; then
    ok "lintian: no errors or warnings"
else
    fail "lintian:"
fi
sed 's/^/  lintian: /' "$work/lintian.log"

if [ "$failures" -ne 0 ]; then
    echo "package-check: $failures check(s) failed" >&2
    exit 1
fi
echo "package-check: all checks passed"
