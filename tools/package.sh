# shellcheck shell=bash
# Sourced by the scripts that make marquell's Debian package (the package
# check, the system guests, the fleet proof, fresh-check's autopkgtest): the
# one way to make it, as the README's owner does, with Debian's own tools
# from debian/.
#
#   . "$top/tools/package.sh"
#   package_source TREE DIR       the source package of TREE in DIR: the
#                                 .dsc and .tar.xz of dpkg-source -b; sets
#                                 package_dsc
#   package_build DSC DIR [ARCH]  unpacks DSC into DIR/marquell-VERSION and
#                                 builds the binary packages there with
#                                 dpkg-buildpackage -us -uc -b (-a ARCH for
#                                 another architecture); sets package_deb
#                                 (DIR/marquell_VERSION_ARCH.deb) and
#                                 package_seconds
#
# TREE's files are git's view of it where it is the top of a git work tree
# (tracked and untracked files, not the ignored ones: no build folder), else
# every file but build folders. A build for another architecture sets the
# machine up as tools/cross.sh says and leaves the tests out (nocheck),
# since this machine does not run that architecture's programs natively.
# Where the build dependencies are missing, root installs them with apt-get
# build-dep, as the README's owner does; another user is told the command
# and stopped. The builds' output goes to DIR/build.log; DEB_BUILD_OPTIONS
# and the umask pass through.
# shellcheck source=tools/prereqs.sh
. "$(dirname "${BASH_SOURCE[0]}")/prereqs.sh"

package_source() {
    local tree=$1 dir=$2 version copy
    version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version) ||
        { echo "$(basename "$0"): no debian/changelog in $tree" >&2; return 1; }
    mkdir -p "$dir"
    copy=$dir/marquell-$version
    rm -rf "$copy" "$dir"/marquell_*.dsc "$dir"/marquell_*.tar.*
    mkdir "$copy"
    if [ "$(git -C "$tree" rev-parse --show-toplevel 2>/dev/null)" = "$(cd "$tree" && pwd -P)" ]; then
        # (A file deleted but not yet committed is listed and left out.)
        (cd "$tree" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do
                if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
            done | xargs -0 -r cp -P --parents -t "$copy") ||
            { echo "$(basename "$0"): could not copy git's files of $tree" >&2; return 1; }
    else
        tar -C "$tree" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$copy" -xf -
    fi
    (cd "$dir" && dpkg-source -b "marquell-$version") >"$dir/source.log" 2>&1 ||
        { cat "$dir/source.log" >&2; echo "$(basename "$0"): dpkg-source -b failed" >&2; return 1; }
    rm -rf "$copy"
    # shellcheck disable=SC2034 # for the caller
    package_dsc=$dir/marquell_$version.dsc
}

package_build() {
    local dsc=$1 dir=$2 arch=${3:-$(dpkg --print-architecture)} version src cross=()
    version=$(sed -n 's/^Version: //p' "$dsc")
    src=$dir/marquell-$version
    if [ "$arch" != "$(dpkg --print-architecture)" ]; then
        # shellcheck source=tools/cross.sh
        . "$(dirname "${BASH_SOURCE[0]}")/cross.sh"
        cross_prepare "$arch"
        cross=(-a "$arch" -Pnocheck)
    fi
    mkdir -p "$dir"
    rm -rf "$src" "$dir"/marquell*_"$version"_"$arch".*
    dpkg-source -x "$dsc" "$src" >"$dir/build.log" 2>&1 ||
        { cat "$dir/build.log" >&2; return 1; }
    if ! (cd "$src" && dpkg-checkbuilddeps "${cross[@]}") >>"$dir/build.log" 2>&1; then
        if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
            echo "$(basename "$0"): the build dependencies are missing; as root, in $src, run:" >&2
            echo "  apt-get build-dep ${cross[*]} ./" >&2
            exit 1
        fi
        echo "== apt-get build-dep ${cross[*]} ./ =="
        (cd "$src" && apt-get update -qq -o DPkg::Lock::Timeout=900 &&
            DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq -o DPkg::Lock::Timeout=900 \
                "${cross[@]}" ./) >>"$dir/build.log" 2>&1 ||
            { tail -n 20 "$dir/build.log" >&2; echo "$(basename "$0"): apt-get build-dep failed" >&2; return 1; }
    fi
    local start=$SECONDS options=${DEB_BUILD_OPTIONS:-}
    [ ${#cross[@]} -eq 0 ] || options="$options nocheck"
    (cd "$src" && DEB_BUILD_OPTIONS=${options# } dpkg-buildpackage -us -uc -b "${cross[@]}") \
        >>"$dir/build.log" 2>&1 ||
        { tail -n 40 "$dir/build.log" >&2; echo "$(basename "$0"): dpkg-buildpackage failed (log: $dir/build.log)" >&2; return 1; }
    # shellcheck disable=SC2034 # for the caller
    package_seconds=$((SECONDS - start))
    package_deb=$dir/marquell_${version}_$arch.deb
    [ -f "$package_deb" ] || { echo "$(basename "$0"): dpkg-buildpackage made no $package_deb" >&2; return 1; }
}
