#!/usr/bin/env bash
# Checks the Ansible role in contrib/ansible without touching a host:
# ansible-lint on the role and the example playbook, the playbook's syntax
# with the example inventory, and the role's checks of its variables run on
# two stand-in hosts (this machine, through the local connection; the
# checks only read dpkg's architectures): good variables pass on both, and a
# variable set wrong on one host stops both with its message before the
# next task; and the role's validate command, with a stand-in marquell-check
# for each verdict, with warnings refused and let through.
#
#   tools/ansible-check.sh
#
# Installs ansible-core and ansible-lint with apt-get where missing (as
# root). Exit status 0 when every check passed and each examined something.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
need_packages ansible-core ansible-lint

here=$top/contrib/ansible
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ANSIBLE_ROLES_PATH=$here/roles ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 NO_COLOR=1

tool=ansible-check
# shellcheck source=tools/checks.sh
. "$top/tools/checks.sh"

echo "== ansible-lint =="
status=0
(cd "$here" && ansible-lint --nocolor -p roles/marquell site.yml) >"$work/lint" 2>&1 || status=$?
cat "$work/lint"
files=$(sed -n 's/.* on \([0-9]*\) files\..*/\1/p' "$work/lint" | tail -n 1)
[ "${files:-0}" -gt 0 ] || status=1
check "$status" "ansible-lint passed on ${files:-no} files"

echo "== syntax =="
status=0
(cd "$here" && ansible-playbook --syntax-check -i inventory.example.yml site.yml) >"$work/syntax" 2>&1 ||
    status=$?
grep -q '^playbook: site.yml' "$work/syntax" || status=1
[ "$status" = 0 ] || cat "$work/syntax"
check "$status" "site.yml with inventory.example.yml"

echo "== the role's checks of its variables =="
arch=$(dpkg --print-architecture)
mkdir -p "$work/packages" "$work/none" "$work/two"
: >"$work/packages/marquell_1.0.0_$arch.deb"
cat >"$work/checks.yml" <<'EOF'
- name: Run the role's checks of its variables only
  hosts: signs
  gather_facts: false
  tasks:
    - name: The checks
      ansible.builtin.import_role:
        name: marquell
        tasks_from: assert
    - name: After the checks
      ansible.builtin.debug:
        msg: past the checks
EOF
# try NAME WANT VARS: host a has good variables; host b also has VARS (YAML
# flow mapping). WANT is "pass", or a piece of the message the play must stop with.
try() {
    local name=$1 want=$2 vars=$3 status=0
    cat >"$work/inventory.yml" <<EOF
signs:
  vars:
    ansible_connection: local
    ansible_python_interpreter: $(command -v python3)
    marquell_deb_dir: $work/packages
    marquell_displays: [{port: 1, contrast: 60, rows: [Shop, Open 9-18]}]
    marquell_adapters: [{vendor: "0403", product: "6001", serial: A10ABCDE, port: 40}]
  hosts:
    a:
    b: $vars
EOF
    ansible-playbook -i "$work/inventory.yml" "$work/checks.yml" >"$work/out" 2>&1 || status=$?
    local past
    past=$(grep -c '"msg": "past the checks"' "$work/out" || true)
    if [ "$want" = pass ]; then
        [ "$status" = 0 ] && [ "$past" = 2 ] || status=1
    else
        # Stopped, with the message, and neither host went on.
        if [ "$status" != 0 ] && [ "$past" = 0 ] && grep -qF -- "$want" "$work/out"; then
            status=0
        else
            status=1
        fi
    fi
    [ "$status" = 0 ] || cat "$work/out"
    check "$status" "$name"
}
try "good variables pass on both hosts" pass "{}"
try "an unknown architecture stops the play" "marquell_arch 'mips' is not amd64, arm64 or armhf" \
    "{marquell_arch: mips}"
try "a missing package stops the play" "$work/none has no marquell_*_$arch.deb for this host" \
    "{marquell_deb_dir: $work/none}"
: >"$work/two/marquell_1.0.0_$arch.deb"
: >"$work/two/marquell_1.1.0_$arch.deb"
try "two versions and none named stop the play" "name the version with marquell_version" \
    "{marquell_deb_dir: $work/two}"
try "an adapter's port below the kernel's own ports stops the play" "port a number from 32 to 255" \
    "{marquell_adapters: [{vendor: \"0403\", product: \"6001\", serial: A1, port: 7}]}"
try "a display's port above the range stops the play" "port must be a number from 0 to 255" \
    "{marquell_displays: [{port: 256, rows: [x]}]}"
try "a row with a double quote stops the play" "without a double quote" \
    "{marquell_displays: [{port: 1, rows: ['a \"quoted\" word']}]}"

echo "== marquell-check's verdict on a new display list =="
# A stand-in for the host's marquell-check: it exits with STAND_IN_EXIT, or
# with 3 when the file it is given is not the one being put in place.
mkdir -p "$work/bin" "$work/judged"
# shellcheck disable=SC2016 # the stand-in's own shell expands these
printf '%s\n' '#!/bin/sh' 'for file; do :; done' \
    'grep -qx "baudrate=19200" "$file" || exit 3' 'exit "$STAND_IN_EXIT"' >"$work/bin/marquell-check"
chmod +x "$work/bin/marquell-check"
cat >"$work/verdict.yml" <<EOF
- name: Put a file in place through the role's validate, with each verdict
  hosts: a
  gather_facts: false
  tasks:
    - name: The checks, which load the role's variables
      ansible.builtin.import_role:
        name: marquell
        tasks_from: assert
    - name: Put a file in place
      ansible.builtin.copy:
        content: "baudrate=19200\n"
        dest: "$work/judged/{{ item.exit }}-{{ item.refuse }}"
        mode: "0644"
        validate: "{{ marquell_validate }}"
      vars:
        marquell_refuse_warnings: "{{ item.refuse }}"
      environment:
        PATH: "$work/bin:{{ lookup('ansible.builtin.env', 'PATH') }}"
        STAND_IN_EXIT: "{{ item.exit }}"
      loop:
        - {exit: 0, refuse: true}
        - {exit: 1, refuse: true}
        - {exit: 2, refuse: true}
        - {exit: 0, refuse: false}
        - {exit: 1, refuse: false}
        - {exit: 2, refuse: false}
      ignore_errors: true
EOF
try_verdicts() {
    local status=0 got
    ansible-playbook -i "$work/inventory.yml" "$work/verdict.yml" >"$work/out" 2>&1 || status=$?
    got=$(find "$work/judged" -type f -printf '%f\n' | sort | xargs)
    [ "$got" = "0-False 0-True 1-False" ] || status=1
    [ "$status" = 0 ] || cat "$work/out"
    check "$status" "put in place: a clean file either way, one with warnings only when they are let through (got: ${got:-nothing})"
}
try_verdicts

echo "$passed passed, $failures failed"
[ "$failures" = 0 ] && [ "$passed" -gt 0 ]
