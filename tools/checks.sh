# Sourced by the scripts that run checks and count them (the system guests,
# the Ansible check): a line for people, a stop with its reason, and a check
# that prints its result and counts it in $passed or $failures.
#
#   tool=NAME
#   . "$top/tools/checks.sh"

passed=0 failures=0

say() { echo "$tool: $*"; }

die() {
    say "$*"
    exit 1
}

check() {  # check STATUS WHAT
    if [ "$1" = 0 ]; then
        echo "  ok: $2"
        passed=$((passed + 1))
    else
        echo "  FAIL: $2"
        failures=$((failures + 1))
    fi
}
