#!/usr/bin/env bash
# Builds marquell and marquell-check and runs marquell on examples/marquell.ini
# against simulated displays: /dev/ttyS<n> are pseudo-terminals in a private
# mount namespace, so no real serial port is touched. Shows the console
# report, then marquell-check's report of the same file, and per port the
# screen the display model decodes from the bytes the pseudo-terminal received
# beside the screen marquell-check predicted. Installs what the build needs
# where it is missing (see tools/prereqs.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
# Only the three programs the demo runs are built; none needs GoogleTest.
need_packages cmake make g++
build="$top/build-demo"
cmake -S "$top" -B "$build" -DMARQUELL_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target marquell ttysim marquell-check >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$top/examples/marquell.ini" "$work/"
mkdir "$work/ports"
# The ports named by the example file.
ports=$(grep -o 'lcd=[0-9]*' "$work/marquell.ini" | cut -d= -f2 | sort -un)

echo "== console report of marquell =="
(cd "$work" && "$build/ttysim" --dir "$work/ports" $ports -- "$build/marquell")
for n in $ports; do
    echo "/dev/ttyS$n received $(wc -c <"$work/ports/ttyS$n") bytes"
done
echo
echo "== marquell-check: predicted, then received beside predicted =="
status=0
(cd "$work" && "$build/checker/marquell-check" --received "$work/ports" marquell.ini) || status=$?
echo "marquell-check exit status: $status (0 clean, 1 warnings, 2 unreadable)"
