#!/usr/bin/env bash
# Static analysis, fuzzing and valgrind over the program; exits non-zero on
# any finding, and on any step that examined nothing. Installs nothing: it
# needs git, clang, libclang-rt-dev, clang-tidy, clang-format, cppcheck and
# valgrind (.ci/run installs them), and the private mount namespace that
# ttysim needs. Builds in build-lint and build-fuzz.
#   FUZZ_SECONDS  time for each of the two fuzzers (default 30)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-lint
fuzz_out=$top/build-fuzz
fuzz_seconds=${FUZZ_SECONDS:-30}
findings=0
cd "$top" || exit 1

finding() {
    echo "FINDING: $*"
    findings=$((findings + 1))
}

step() {
    echo
    echo "== $* == ($SECONDS s)"
}

# A step that examined nothing is a finding, not a pass: examined COUNT WHAT.
examined() {
    [ "$1" -gt 0 ] && return 0
    finding "$2: examined nothing"
    return 1
}

step "build with compile commands ($build)"
cmake -S "$top" -B "$build" -DMARQUELL_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null &&
    cmake --build "$build" -j"$(nproc)" --target marquell ttysim >/dev/null ||
    { echo "build failed"; exit 1; }

shopt -s nullglob
sources=(src/*.cpp tools/*.cpp tools/guest/*.cpp checker/*.cpp)
own_tests=(tests/bad_input_test.cpp tests/fault_test.cpp tests/overlap_stop_test.cpp)
fuzzers=(fuzz/*.cpp)
examined ${#sources[@]} "clang-tidy and cppcheck over src/, tools/, tools/guest/, checker/"
examined ${#fuzzers[@]} "clang-tidy and cppcheck over fuzz/"

step "clang-tidy"
log=$build/clang-tidy.log
tidy_rc=0
clang-tidy -p "$build" --quiet "${sources[@]}" "${own_tests[@]}" >"$log" 2>&1 || tidy_rc=$?
clang-tidy --quiet "${fuzzers[@]}" -- -std=c++17 -Isrc >>"$log" 2>&1 || tidy_rc=$?
if grep -E '(warning|error):' "$log" || [ "$tidy_rc" -ne 0 ]; then
    finding "clang-tidy: status $tidy_rc, $(grep -cE '(warning|error):' "$log") findings (full log: $log)"
    tail -n 5 "$log"
else
    echo "clean: ${sources[*]} ${own_tests[*]} ${fuzzers[*]}"
fi

step "clang-format"
if ! formatted_list=$(git ls-files '*.cpp' '*.h'); then
    finding "clang-format: git cannot list the sources"
    formatted_list=
fi
mapfile -t formatted < <(printf '%s' "$formatted_list" | grep .)
if examined ${#formatted[@]} "clang-format"; then
    if clang-format --dry-run --Werror "${formatted[@]}" 2>"$build/clang-format.log"; then
        echo "clean: ${#formatted[@]} files"
    else
        finding "clang-format: $(grep -c 'error:' "$build/clang-format.log") lines differ; run clang-format -i on them"
        grep 'error:' "$build/clang-format.log" | cut -d: -f1 | sort -u
        tail -n 3 "$build/clang-format.log"
    fi
fi

step "cppcheck"
# useStlAlgorithm asks for std::any_of and friends in place of plain loops:
# that fights the procedural style on purpose. readdirCalled asks for
# readdir_r, which glibc deprecates: readdir is safe in these
# single-threaded programs.
if ! cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
        --library=posix --inline-suppr --error-exitcode=1 --quiet \
        --suppress=useStlAlgorithm --suppress=readdirCalled --suppress=missingIncludeSystem \
        -Isrc -Ichecker "${sources[@]}" "${fuzzers[@]}"; then
    finding "cppcheck"
else
    echo "clean: ${#sources[@]} sources, ${#fuzzers[@]} fuzzers"
fi

step "fuzzers, ${fuzz_seconds} s each"
fuzz_targets=(reader send_string)
if ! { cmake -S "$top" -B "$fuzz_out" -DCMAKE_CXX_COMPILER=clang++ -DMARQUELL_FUZZ=ON \
        -DMARQUELL_TESTS=OFF -DMARQUELL_WERROR=ON >/dev/null &&
        cmake --build "$fuzz_out" -j"$(nproc)" --target "${fuzz_targets[@]/#/fuzz_}" >/dev/null; }; then
    finding "the fuzzers do not build"
else
    for target in "${fuzz_targets[@]}"; do
        scratch=$fuzz_out/corpus-$target
        mkdir -p "$scratch" "$fuzz_out/artifacts"
        dict=()
        [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
        log=$fuzz_out/fuzz_$target.log
        if "$fuzz_out/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -max_len=16384 \
                -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
                -artifact_prefix="$fuzz_out/artifacts/$target-" "${dict[@]}" \
                "$scratch" "fuzz/corpus/$target" >"$log" 2>&1; then
            fuzz_runs=$(grep -o 'Done [0-9]* runs' "$log" | grep -o '[0-9]*' || echo 0)
            if examined "$fuzz_runs" "fuzz_$target (log: $log)"; then
                echo "fuzz_$target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log"), no finding"
            fi
        else
            finding "fuzz_$target (log: $log; inputs in $fuzz_out/artifacts)"
            grep -E 'ERROR|SUMMARY|Test unit written' "$log"
        fi
    done
fi

step "valgrind over whole-program runs in ttysim"
vg_dir=$(mktemp -d)
trap 'rm -rf "$vg_dir"' EXIT
chmod 755 "$vg_dir"
runs=0
as_user=()
wrapper=()
program=$build/marquell
ports=(0 1:hangup=40 2:file 3:stall 4:null 5:excl)
# One run, named $1, in a folder laid out by the command that follows; every
# kind of port; marquell under valgrind, behind $wrapper, as $as_user.
valgrind_run() {
    local name=$1
    shift
    local dir=$vg_dir/$runs
    runs=$((runs + 1))
    mkdir -m 777 "$dir"
    (cd "$dir" && "$@") || { finding "valgrind on $name: cannot lay out the folder"; return; }
    local vlog=$dir/valgrind.log
    (cd "$dir" && "$build/ttysim" --timeout 120 "${as_user[@]}" "${ports[@]}" -- \
        "${wrapper[@]}" valgrind -q --error-exitcode=1 --track-fds=yes --leak-check=full \
        --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
        --log-file="$vlog" "$program" >"$dir/out.txt" 2>"$dir/err.txt")
    local rc=$?
    # Descriptors the runner passed in are marked as inherited; any other
    # descriptor still open at exit was opened and left by marquell.
    local leaked
    leaked=$(awk '/Open file descriptor/ {fd = $0; getline; if ($0 !~ /inherited/) print fd}' \
        "$vlog")
    if [ "$rc" -ne 0 ] || [ -n "$leaked" ] || grep -q 'Invalid\|uninitialised' "$vlog"; then
        finding "valgrind on $name: status $rc"
        cat "$vlog" "$dir/err.txt"
    fi
}
unreadable_copy() {
    cp "$1" marquell.ini && chmod 0 marquell.ini
}
for ini in examples/marquell.ini fuzz/corpus/reader/*; do
    valgrind_run "$ini" cp "$top/$ini" marquell.ini
done
valgrind_run "no file" true
valgrind_run "a directory" mkdir marquell.ini
wrapper=(/bin/sh -c 'exec "$0" "$@" <&- >&- 2>&-')
valgrind_run "closed standard descriptors" cp "$top/examples/marquell.ini" marquell.ini
wrapper=()
# As a user that is not root, so that permissions and the exclusive port
# apply; ttysim can switch users only when run by root. That user may not
# reach the build tree (a clone in /root), so it runs a copy.
if [ "$(id -u)" -eq 0 ]; then
    as_user=(--user 65534)
    program=$vg_dir/marquell
    cp "$build/marquell" "$program"
    ports=(1:noperm 2:excl)
    valgrind_run "ports the user may not open" cp "$top/examples/marquell.ini" marquell.ini
    valgrind_run "an unreadable file" unreadable_copy "$top/examples/marquell.ini"
fi
examined "$runs" "valgrind" && echo "$runs runs"

step "the whole-program tests with marquell under valgrind"
cmake --build "$build" -j"$(nproc)" --target program_test bad_input_test fault_test \
    check_property_test >/dev/null || { echo "build failed"; exit 1; }
vg_logs=$vg_dir/suite
mkdir -m 777 "$vg_logs"
# A memory error or a definite leak makes marquell exit 99, which every test
# that expects status 0 reports; descriptors left open show in the logs.
export MARQUELL_TEST_TOOL="valgrind -q --error-exitcode=99 --track-fds=yes --leak-check=full \
--errors-for-leak-kinds=definite,indirect --log-file=$vg_logs/%p.log"
for suite in program_test bad_input_test fault_test check_property_test; do
    if ! "$build/tests/$suite" --gtest_brief=1 >"$vg_logs/$suite.out" 2>&1; then
        finding "$suite under valgrind"
        cat "$vg_logs/$suite.out"
    fi
done
unset MARQUELL_TEST_TOOL
# Only valgrind's own log and what the runner passed in may be open at exit.
leaked=$(for log in "$vg_logs"/*.log; do
    awk '/Open file descriptor/ {fd = $0; getline; if ($0 !~ /inherited/ && fd !~ /\.log$/) print FILENAME ": " fd}' "$log"
done)
if [ -n "$leaked" ]; then
    finding "descriptors left open: $leaked"
fi
vg_runs=("$vg_logs"/*.log)
examined ${#vg_runs[@]} "the whole-program tests under valgrind" && echo "${#vg_runs[@]} runs of marquell"

echo
if [ "$findings" -ne 0 ]; then
    echo "analyze: $findings finding(s)"
    exit 1
fi
echo "analyze: no findings"
