#!/usr/bin/env bash
# Builds and runs every test twice: a normal build with warnings as errors,
# and an AddressSanitizer + UndefinedBehaviorSanitizer build. Installs what
# the build needs where it is missing (see tools/prereqs.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
need_packages cmake make g++ libgtest-dev
jobs=$(nproc)
trap 'echo "== tools/test.sh took $SECONDS s =="' EXIT

run_suite() {
    local dir=$1
    shift
    cmake -S "$top" -B "$dir" -DMARQUELL_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    # Most tests wait on ports and timers rather than compute: twice as many
    # at once as there are processors.
    # (ctest --test-dir needs CTest 3.20; Debian 11 has 3.18)
    (cd "$dir" && ctest --output-on-failure -j"$((jobs * 2))")
}

echo "== tests =="
# Optimised as the package is (-O2), without debug information: it costs a
# quarter of the build's time, and the sanitizer build keeps it for its reports.
run_suite "$top/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
run_suite "$top/build-asan" -DMARQUELL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
