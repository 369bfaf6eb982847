#!/usr/bin/env bash
# Builds marquell and runs it on examples/marquell.ini against simulated
# displays: /dev/ttyS<n> are pseudo-terminals in a private mount namespace,
# so no real serial port is touched. Shows the console report, then the
# bytes each display received.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-demo"
cmake -S "$top" -B "$build" -DMARQUELL_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target marquell ttysim >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$top/examples/marquell.ini" "$work/"
mkdir "$work/ports"
# The ports named by the example file.
ports=$(grep -o 'lcd=[0-9]*' "$work/marquell.ini" | cut -d= -f2 | sort -un)

echo "== console report of marquell =="
(cd "$work" && "$build/ttysim" --dir "$work/ports" $ports -- "$build/marquell")
for n in $ports; do
    f="$work/ports/ttyS$n"
    echo "== /dev/ttyS$n received $(wc -c <"$f") bytes (first 64, decimal) =="
    head -c 64 "$f" | od -An -tu1
done
