# Sourced by the scripts that build or check marquell: installs the Debian
# packages a script needs where they are missing, and finds the machine's
# own Debian (or Ubuntu) mirror for the tools that make systems with
# debootstrap.
#
#   . "$top/tools/prereqs.sh"
#   need_packages cmake make g++ libgtest-dev
#   mirror=$(apt_mirror Debian)
#
# As root on a Debian-like system the missing packages are installed with
# apt-get; otherwise the apt-get line to run is printed and the script stops.
# Where there is no dpkg the packages cannot be looked up, and the build
# itself tells what is missing.

need_packages() {
    if ! command -v dpkg-query >/dev/null; then
        echo "note: no dpkg here; make sure these (Debian names) are installed: $*" >&2
        return 0
    fi
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -qx 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        echo "$(basename "$0") needs packages that are not installed; as root, run:" >&2
        echo "  apt-get install --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "== installing ${missing[*]} =="
    # Another install running beside this one (a second check script, the
    # machine's own upgrades) holds dpkg's lock for a while: wait for it.
    apt-get update -qq -o DPkg::Lock::Timeout=900 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=900 \
            --no-install-recommends "${missing[@]}" ||
        { echo "$(basename "$0"): apt-get could not install ${missing[*]}" >&2; exit 1; }
}

# apt_mirror ORIGIN: the archive of ORIGIN (Debian or Ubuntu) that this
# machine's apt sources name (sources.list, sources.list.d/*.list and the
# deb822 *.sources, as apt reads them), known by the Origin and Label of its
# Release file, without a trailing slash; nothing where they name none. Its
# index files must have been fetched: as root, apt-get update is run once
# where they have not been.
apt_mirror() {
    command -v apt-get >/dev/null || return 0
    local uri pass
    for pass in 1 2; do
        # shellcheck disable=SC2016 # apt's own format, not the shell's
        uri=$(apt-get indextargets --format '$(ORIGIN)|$(LABEL)|$(TARGET_OF)|$(REPO_URI)' 2>/dev/null |
            awk -F'|' -v origin="$1" '$1 == origin && $2 == origin && $3 == "deb" { sub(/\/$/, "", $4); print $4; exit }')
        if [ -n "$uri" ] || [ "$pass" = 2 ] || [ "$(id -u)" -ne 0 ]; then
            break
        fi
        apt-get update -qq -o DPkg::Lock::Timeout=900 >/dev/null 2>&1 || break
    done
    echo "$uri"
}
