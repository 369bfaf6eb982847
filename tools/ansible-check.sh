#!/usr/bin/env bash
# Checks the Ansible role in contrib/ansible without touching a host:
#
#   - ansible-lint (production profile) on the role and the example
#     playbook, and the playbook's syntax with the example inventory;
#   - the example inventory as its README steps use it: every host passes
#     the role's checks, and what the role writes from it is clean to
#     marquell-check, without a warning or a note (but one on a port this
#     machine lacks);
#   - the role's checks of its variables, on hosts that cannot be reached
#     (ssh to a closed port of the loopback): each wrong setting gives its
#     one message, naming the host, the entry and the key; good ones give
#     none; and a wrong setting on one host stops the play on every host
#     before any host is reached;
#   - the package chosen for a host (this machine through the local
#     connection; those checks only read dpkg's architectures);
#   - the display list and the udev rule rendered into a folder of this
#     check's, byte for byte, judged by a marquell-check built from this
#     tree, with stand-ins for udevadm and systemctl that note each command
#     that runs: padded rows, an adapter removed takes its line only, a
#     second run changes nothing, a refused file's warnings named by display
#     and row, a rule file the role did not write left alone, an own file
#     that is not UTF-8 put in place byte for byte;
#   - the role's validate command, with a stand-in marquell-check for each
#     verdict, with warnings refused and let through.
#
#   tools/ansible-check.sh
#
# As root (the role's files are written owned by root). Installs
# ansible-core, ansible-lint and what marquell-check's build needs with
# apt-get where missing, and builds marquell-check in build-ansible/. Exit
# status 0 when every check passed and each examined something.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/prereqs.sh
. "$top/tools/prereqs.sh"
need_packages ansible-core ansible-lint cmake make g++

here=$top/contrib/ansible
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
export ANSIBLE_ROLES_PATH=$here/roles ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 NO_COLOR=1

tool=ansible-check
# shellcheck source=tools/checks.sh
. "$top/tools/checks.sh"
[ "$(id -u)" = 0 ] || die "run it as root: the role writes its files owned by root"
# The Python that Debian's ansible-core runs under, and has YAML.
python=/usr/bin/python3

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

echo "== marquell-check, built from this tree =="
build=$top/build-ansible
if ! { cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMARQUELL_TESTS=OFF &&
    cmake --build "$build" -j2 --target marquell-check; } >"$work/build" 2>&1; then
    tail -n 20 "$work/build"
    die "marquell-check did not build"
fi
mkdir -p "$work/bin" "$work/packages"
ln -s "$build/checker/marquell-check" "$work/bin/marquell-check"
arch=$(dpkg --print-architecture)
: >"$work/packages/marquell_1.0.0_$arch.deb"
# Stand-ins for the commands of the role's handlers: each call is noted.
for cmd in udevadm systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$cmd" "$work" >"$work/bin/$cmd"
    chmod +x "$work/bin/$cmd"
done

# play OUT PLAYBOOK INVENTORY [ARG...]: runs a playbook; its output in
# $work/OUT; returns its status.
play() {
    local out=$1 playbook=$2 inventory=$3
    shift 3
    ansible-playbook -i "$inventory" "$playbook" "$@" >"$work/$out" 2>&1
}

recap() {  # recap OUT HOST FIELD: a number of the play's recap
    sed -n "s/^$2 *:.* $3=\([0-9]*\).*/\1/p" "$work/$1"
}

# playbook FILE HOSTS TASKS...: a playbook that runs the role's task files
# TASKS in turn on HOSTS, with the check's stand-ins first on the PATH.
playbook() {
    local file=$1 hosts=$2 tasks
    shift 2
    cat >"$file" <<EOF
- name: Run the role's tasks $*
  hosts: $hosts
  gather_facts: false
  environment:
    PATH: "$work/bin:{{ lookup('ansible.builtin.env', 'PATH') }}"
  tasks:
EOF
    for tasks in "$@"; do
        cat >>"$file" <<EOF
    - name: The role's $tasks
      ansible.builtin.import_role:
        name: marquell
        tasks_from: $tasks
EOF
    done
}

echo "== the example inventory, as its README steps use it =="
# Copied with signs/ beside it, the packages folder made; its hosts are
# reached through a closed port, so the play stops at the first task that
# needs a host, once the checks are done.
mkdir -p "$work/example/packages"
cp "$here/inventory.example.yml" "$work/example/inventory.yml"
cp -r "$here/signs" "$work/example/"
status=0
play example.out "$here/site.yml" "$work/example/inventory.yml" -e ansible_host=127.0.0.1 -e ansible_port=1 || true
hosts=$(sed -n 's/^\([a-z.-]*\) *: ok=.*/\1/p' "$work/example.out" | xargs)
[ -n "$hosts" ] || status=1
for host in $hosts; do
    [ "$(recap example.out "$host" failed)" = 0 ] && [ "$(recap example.out "$host" unreachable)" = 1 ] || status=1
done
[ "$status" = 0 ] || cat "$work/example.out"
check "$status" "the example inventory passes the role's checks on every host ($hosts)"
# What the role writes for each host, judged by marquell-check.
playbook "$work/judge-example.yml" signs checks display_list
status=0
play judge-example "$work/judge-example.yml" "$work/example/inventory.yml" -e ansible_connection=local \
    -e "ansible_python_interpreter=$python" -e "marquell__ini_path=$work/example/{{ inventory_hostname }}.ini" ||
    status=1
written=0
for file in "$work"/example/*.ini; do
    "$build/checker/marquell-check" "$file" >"$work/judged" 2>&1 || status=1
    # No note but the one on a port this machine lacks, which is no concern here.
    grep ': note: ' "$work/judged" | grep -qv ' is not on this machine' && status=1
    written=$((written + 1))
done
[ "$written" -ge 3 ] || status=1
[ "$status" = 0 ] || { cat "$work/judge-example" "$work/judged"; }
check "$status" "the display lists written from it ($written) have no warning and no note"

echo "== the role's checks of its variables, before any host is reached =="
# Each host is one case: its variables over the group's, and in expect the
# messages the checks must give, each a piece of one message, and no other.
cat >"$work/cases.yml" <<EOF
signs:
  vars:
    ansible_connection: ssh
    ansible_host: 127.0.0.1
    ansible_port: 1
    marquell_deb_dir: $work/packages
    marquell_displays: [{port: 1, contrast: 60, rows: ["Shop", "Open 9-18"]}]
    expect: []
  hosts:
    good:
    good-links:
      marquell_board_uarts: [{kernel: "ttyAMA0", port: 50}]
      marquell_ports_linked_elsewhere: [51]
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1", interface: "0A", port: 40}]
      marquell_displays: [{port: 50, attention: true}, {port: 51, rows: [""]}, {port: "40", rows: ["x"]}]
    good-absent-reads-no-display:
      marquell_state: absent
      marquell_displays: [{port: 1, rows: [14:00]}]
    good-own-file:
      marquell_ini_src: $here/signs/hall-b.ini
      marquell_displays: []
    row-sexagesimal:
      marquell_displays: [{port: 1, rows: ["Next talk", 14:00]}]
      expect: ["host row-sexagesimal: display 1 (marquell_displays[0]), rows[1]: YAML read the number 840, not text: quote it"]
    row-decimal:
      marquell_displays: [{port: 1, rows: [3.50]}]
      expect: ["display 1 (marquell_displays[0]), rows[0]: YAML read the number 3.5, not text: quote it"]
    row-boolean:
      marquell_displays: [{port: 1, rows: ["Open", yes]}]
      expect: ["display 1 (marquell_displays[0]), rows[1]: YAML read the boolean true, not text: quote it"]
    row-hex:
      marquell_displays: [{port: 1}, {port: 2, rows: [0x1F]}]
      expect: ["display 2 (marquell_displays[1]), rows[0]: YAML read the number 31, not text: quote it"]
    row-null:
      marquell_displays: [{port: 1, rows: ["a", null]}]
      expect: ["rows[1]: YAML read null (nothing), not text: quote it"]
    serial-octal:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: 00001234, port: 40}]
      marquell_displays: [{port: 40}]
      expect: ["adapter 1 (marquell_adapters[0]), serial: YAML read the number 668, not text: quote it"]
    vendor-octal:
      marquell_adapters: [{vendor: 0403, product: "6001", serial: "A1", port: 40}]
      marquell_displays: [{port: 40}]
      expect: ["adapter 1 (marquell_adapters[0]), vendor: YAML read the number 259, not text: quote it"]
    interface-number:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1", interface: 00, port: 40}]
      marquell_displays: [{port: 40}]
      expect: ["adapter 1 (marquell_adapters[0]), interface: YAML read the number 0, not text: quote it"]
    numbers-as-written:
      marquell_displays: [{port: 010, contrast: 060}, {port: 0403}]
      expect: ["display 1 (marquell_displays[0]), port: YAML read 010 as the number 8: quote it",
               "display 1 (marquell_displays[0]), contrast: YAML read 060 as the number 48: quote it",
               "display 2 (marquell_displays[1]), port: YAML read 0403 as the number 259: quote it"]
    link-ports-as-written:
      marquell_board_uarts: [{kernel: "ttyAMA0", port: 062}]
      marquell_ports_linked_elsewhere: [063]
      marquell_displays: [{port: 1:00}]
      expect: ["board UART 1 (marquell_board_uarts[0]), port: YAML read 062 as the number 50: quote it",
               "marquell_ports_linked_elsewhere[0]: YAML read 063 as the number 51: quote it",
               "display 1 (marquell_displays[0]), port: YAML read 1:00 as the number 60: quote it"]
    good-numbers-quoted:
      marquell_displays: [{port: "010", contrast: "060", rows: ["14:00", "3.50", "yes", "0403"]}]
    row-too-long:
      marquell_displays: [{port: 1, rows: ["123456789012345678901"]}]
      expect: ["rows[0]: '123456789012345678901' is 21 characters, more than marquell_width 20"]
    row-with-a-quote:
      marquell_displays: [{port: 1, rows: ['a "quoted" word']}]
      expect: ["rows[0]: 'a \"quoted\" word' has a double quote"]
    row-with-a-line-break:
      marquell_displays: [{port: 1, rows: ["two\nlines"]}]
      expect: ["rows[0]: has a line break"]
    five-rows:
      marquell_displays: [{port: 1, rows: ["1", "2", "3", "4", "5"]}]
      expect: ["display 1 (marquell_displays[0]), rows: has 5 rows; a display has four"]
    rows-a-text:
      marquell_displays: [{port: 1, rows: "Shop"}]
      expect: ["rows: must be a list of at most four texts (now the text 'Shop')"]
    display-key-misspelt:
      marquell_displays: [{port: 1, row: ["Shop"]}]
      expect: ["display 1 (marquell_displays[0]): 'row' is not a key of a display (port, rows, contrast, attention): did you mean rows?"]
    adapter-key-unknown:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1", port: 40, speed: 9600}]
      marquell_displays: [{port: 40}]
      expect: ["adapter 1 (marquell_adapters[0]): 'speed' is not a key of an adapter"]
    contrast-and-attention:
      marquell_displays: [{port: 1, contrast: 60, attention: true}]
      expect: ["display 1 (marquell_displays[0]): has contrast and attention: true, and a display takes one command"]
    contrast-out-of-range:
      marquell_displays: [{port: 1, contrast: 300}]
      expect: ["display 1 (marquell_displays[0]), contrast: 300 is not a level from 0 to 255"]
    attention-not-boolean:
      marquell_displays: [{port: 1, attention: 1}]
      expect: ["display 1 (marquell_displays[0]), attention: must be true or false (now 1)"]
    display-on-no-link:
      marquell_displays: [{port: 1}, {port: 40}]
      expect: ["display 2 (marquell_displays[1]), port: no adapter of marquell_adapters and no UART of marquell_board_uarts is linked as /dev/ttyS40"]
    adapter-for-no-display:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1", port: 41}]
      expect: ["adapter 1 (marquell_adapters[0]): links port 41, which no display of marquell_displays uses"]
    own-file-and-displays:
      marquell_ini_src: $here/signs/hall-b.ini
      expect: ["marquell_ini_src: and marquell_displays are both set"]
    own-file-missing:
      marquell_ini_src: $work/none.ini
      marquell_displays: []
      expect: ["marquell_ini_src: '$work/none.ini' is not a file on the controller"]
    variable-misspelt:
      marquell_adaptors: []
      expect: ["marquell_adaptors: not a variable of the role: did you mean marquell_adapters?"]
    two-adapters-one-port:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1", port: 40}, {vendor: "0403", product: "6001", serial: "A2", port: 40}]
      marquell_displays: [{port: 40}]
      expect: ["adapter 2 (marquell_adapters[1]), port: 40 is taken by adapter 1 (marquell_adapters[0]) already"]
    one-adapter-twice:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1", port: 40}, {vendor: "0403", product: "6001", serial: "A1", port: 41}]
      marquell_displays: [{port: 40}, {port: 41}]
      expect: ["adapter 2 (marquell_adapters[1]): is the same adapter as adapter 1"]
    serial-a-pattern:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1*", port: 40}]
      marquell_displays: [{port: 40}]
      expect: ["adapter 1 (marquell_adapters[0]), serial: 'A1*' cannot be matched by udev as written"]
    board-uart-a-usb-port:
      marquell_board_uarts: [{kernel: "ttyUSB0", port: 50}]
      marquell_displays: [{port: 50}]
      expect: ["board UART 1 (marquell_board_uarts[0]), kernel: ttyUSB0 is a USB serial port"]
    board-uart-port-low:
      marquell_board_uarts: [{kernel: "ttyAMA0", port: 7}]
      expect: ["board UART 1 (marquell_board_uarts[0]), port: 7 is not a number from 32 to 255"]
    linked-twice:
      marquell_board_uarts: [{kernel: "ttyAMA0", port: 50}]
      marquell_ports_linked_elsewhere: [50]
      marquell_displays: [{port: 50}]
      expect: ["marquell_ports_linked_elsewhere[0]: port 50 is linked by board UART 1 (marquell_board_uarts[0]) already"]
    display-port-high:
      marquell_displays: [{port: 256, rows: ["x"]}]
      expect: ["display 1 (marquell_displays[0]), port: 256 is not a number from 0 to 255"]
    adapter-port-low:
      marquell_adapters: [{vendor: "0403", product: "6001", serial: "A1", port: 7}]
      expect: ["adapter 1 (marquell_adapters[0]), port: 7 is not a number from 32 to 255"]
    architecture-unknown:
      marquell_arch: mips
      expect: ["marquell_arch: 'mips' is not amd64, arm64 or armhf"]
    state-unknown:
      marquell_state: removed
      expect: ["marquell_state: 'removed' is not present or absent"]
    width-zero:
      marquell_width: 0
      expect: ["marquell_width: must be a number from 1 to 80 (now 0)"]
    rate-unknown:
      marquell_rate: 115200
      expect: ["marquell_rate: 115200 is not 1200, 2400, 4800, 9600 or 19200"]
    no-display:
      marquell_displays: []
      expect: ["marquell_displays: names no display, and there is no marquell_ini_src"]
    padding-a-text:
      marquell_pad_rows: "yes"
      expect: ["marquell_pad_rows: must be true or false (now 'yes')"]
EOF
playbook "$work/checks.yml" signs checks
status=0
play cases.run "$work/checks.yml" "$work/cases.yml" || true
"$python" - "$work/cases.yml" "$work/cases.run" >"$work/cases.out" <<'EOF' || status=1
import json, re, sys, yaml
cases = yaml.safe_load(open(sys.argv[1]))["signs"]
wanted = {host: (v or {}).get("expect", cases["vars"]["expect"]) for host, v in cases["hosts"].items()}
# Every host ran the task that stops the play: skipped, or failed with its
# messages in one line of JSON.
got, task = {}, None
for line in open(sys.argv[2]):
    if line.startswith("TASK ["):
        task = line
    elif "Stop the play on every host" in (task or ""):
        match = re.match(r"^(?:skipping|fatal): \[([^]]+)\](?:: FAILED! => (\{.*\}))?$", line.rstrip("\n"))
        if match:
            got[match.group(1)] = json.loads(match.group(2))["msg"] if match.group(2) else []
bad = 0
for host, pieces in wanted.items():
    messages = got.get(host)
    ok = messages is not None and len(messages) == len(pieces) and all(
        sum(piece in m for m in messages) == 1 for piece in pieces)
    bad += not ok
    print("  %s %s: %s" % ("ok:" if ok else "FAIL:", host, "; ".join(messages or []) or "no message"))
    if not ok:
        print("    wanted one message each with: %s" % (pieces or "none"))
print("%d of %d cases as wanted" % (len(wanted) - bad, len(wanted)))
sys.exit(1 if bad or len(wanted) < 40 else 0)
EOF
cat "$work/cases.out"
[ "$status" = 0 ] || sed -n '/^PLAY RECAP/,$p' "$work/cases.run"
check "$status" "each setting gives its one message, and good ones none ($(tail -n 1 "$work/cases.out"))"

# A setting wrong on one host stops the play on both before either is
# reached; right on both, the play gets past the checks to the first task
# that needs a host, where neither can be reached.
cat >"$work/two.yml" <<EOF
signs:
  vars:
    ansible_host: 127.0.0.1
    ansible_port: 1
    marquell_deb_dir: $work/packages
    marquell_displays: [{port: 1, rows: ["Shop"]}]
  hosts:
    a:
    b:
      marquell_displays: [{port: 1, rows: [14:00]}]
EOF
status=0
play stopped "$here/site.yml" "$work/two.yml" && status=1
grep -q 'fatal: \[b\].*rows\[0\]: YAML read the number 840, not text: quote it' "$work/stopped" || status=1
grep -q 'UNREACHABLE' "$work/stopped" && status=1
for host in a b; do
    [ "$(recap stopped "$host" unreachable)" = 0 ] || status=1
done
[ "$status" = 0 ] || cat "$work/stopped"
check "$status" "a row YAML made a number on one host stops the play on both before either is reached"
sed -i '$d' "$work/two.yml"
status=0
play reached "$here/site.yml" "$work/two.yml" && status=1
[ "$(grep -c "^fatal: \[[ab]\]: UNREACHABLE" "$work/reached")" = 2 ] || status=1
grep -A2 '^TASK \[marquell : Stop the play' "$work/reached" | grep -q '^skipping: \[b\]' || status=1
[ "$status" = 0 ] || cat "$work/reached"
check "$status" "with good settings the play passes the checks and stops only where a host is needed"

echo "== the package chosen for a host =="
mkdir -p "$work/none" "$work/two"
: >"$work/two/marquell_1.0.0_$arch.deb"
: >"$work/two/marquell_1.1.0_$arch.deb"
playbook "$work/choose.yml" signs checks package
# try_package NAME WANT VARS: host a has good variables; host b also has
# VARS. WANT is "pass", or a piece of the message the play must stop with.
try_package() {
    local name=$1 want=$2 vars=$3 status=0
    cat >"$work/local.yml" <<EOF
signs:
  vars:
    ansible_connection: local
    ansible_python_interpreter: $python
    marquell_deb_dir: $work/packages
    marquell_displays: [{port: 1, rows: ["Shop"]}]
  hosts:
    a:
    b: $vars
EOF
    local ran=0 chosen
    play package "$work/choose.yml" "$work/local.yml" || ran=$?
    chosen=$(sed -n "/^TASK \[marquell : Take the package's version/,/^\$/p" "$work/package" | grep -c '^ok: ' || true)
    if [ "$want" = pass ]; then
        [ "$ran" = 0 ] && [ "$chosen" = 2 ] || status=1
    else
        [ "$ran" != 0 ] && [ "$chosen" = 0 ] && grep -qF -- "$want" "$work/package" || status=1
    fi
    [ "$status" = 0 ] || cat "$work/package"
    check "$status" "$name"
}
try_package "the package is found for both hosts" pass "{}"
try_package "a missing package stops the play on both hosts" "$work/none has no marquell_*_$arch.deb for this host" \
    "{marquell_deb_dir: $work/none}"
try_package "two versions and none named stop the play on both hosts" "name the version with marquell_version" \
    "{marquell_deb_dir: $work/two}"

echo "== the display list and the udev rule, written into this check's folder =="
out=$work/out
mkdir -p "$out" "$work/signs"
playbook "$work/render.yml" r checks rule display_list
# render STEP VARS: runs the role's rule and display list tasks on this
# machine with host r's variables VARS (YAML lines at the host's indent),
# into $out; the handlers' calls are noted in $work/calls.
render() {
    local step=$1
    {
        printf 'signs:\n  vars:\n    ansible_connection: local\n    ansible_python_interpreter: %s\n' "$python"
        printf '    marquell_deb_dir: %s\n  hosts:\n    r:\n' "$work/packages"
        printf '%s\n' "$2" | sed 's/^/      /'
    } >"$work/render-inventory.yml"
    : >"$work/calls"
    play "$step" "$work/render.yml" "$work/render-inventory.yml" -e "marquell__ini_path=$out/marquell.ini" \
        -e "marquell__rule_path=$out/70-marquell-ansible.rules"
}
calls() {  # the handlers' calls, on one line
    xargs <"$work/calls" | sed 's/ marquell.service//'
}
displays='marquell_displays:
  - {port: 1, contrast: 60, rows: ["Welcome to the shop", "Open 9-18 Mon-Sat"]}
  - {port: 40, attention: true, rows: ["Blåbærsyltetøy", "", "Ærlig"]}
  - {port: 41, rows: ["Kitchen"]}
  - {port: 50, rows: ["Entrance", "Please ring", "", "Thank you"]}'
links='marquell_adapters:
  - {vendor: "0403", product: "6001", serial: "A10ABCDE", interface: "0A", port: 40}
  - {vendor: "067B", product: "2303", serial: "PL2303X1", port: 41}
marquell_board_uarts: [{kernel: "ttyAMA0", port: 50}]'
all_calls="udevadm control --reload udevadm trigger --settle --action=change --subsystem-match=tty systemctl reload-or-restart"

status=0
render render1 "$displays
$links" || status=1
cat >"$work/want.ini" <<'END'
# Written by Ansible from the inventory's marquell_displays: edit the texts there.
baudrate=19200

lcd=1
cmd_contrast=60
line1="Welcome to the shop "
line2="Open 9-18 Mon-Sat   "
line3="                    "
line4="                    "

lcd=40
cmd_attention=1
line1="Blåbærsyltetøy      "
line2="                    "
line3="Ærlig               "
line4="                    "

lcd=41
line1="Kitchen             "
line2="                    "
line3="                    "
line4="                    "

lcd=50
line1="Entrance            "
line2="Please ring         "
line3="                    "
line4="Thank you           "
END
cmp -s "$out/marquell.ini" "$work/want.ini" || { diff "$work/want.ini" "$out/marquell.ini" || true; status=1; }
[ "$status" = 0 ] || cat "$work/render1"
check "$status" "the display list as written: every row padded to 20 columns, the letters as they are"
status=0
"$build/checker/marquell-check" "$out/marquell.ini" >"$work/judged" || status=1
grep ': note: ' "$work/judged" | grep -qv ' is not on this machine' && status=1
[ "$status" = 0 ] || cat "$work/judged"
check "$status" "marquell-check finds it clean, and no display leaves a cell of an earlier text showing"
status=0
cat >"$work/want.rules" <<'END'
ACTION!="add|change", GOTO="marquell_ansible_end"
SUBSYSTEM!="tty", GOTO="marquell_ansible_end"
KERNEL=="ttyAMA0", ENV{.MARQUELL_ANSIBLE_PORT}="50"
KERNEL!="ttyUSB[0-9]*|ttyACM[0-9]*", ENV{.MARQUELL_ANSIBLE_PORT}!="?*", GOTO="marquell_ansible_end"
ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", ATTRS{serial}=="A10ABCDE", ENV{ID_USB_INTERFACE_NUM}=="0a", ENV{.MARQUELL_ANSIBLE_PORT}="40"
ATTRS{idVendor}=="067b", ATTRS{idProduct}=="2303", ATTRS{serial}=="PL2303X1", ENV{.MARQUELL_ANSIBLE_PORT}="41"
ENV{.MARQUELL_ANSIBLE_PORT}!="?*", GOTO="marquell_ansible_end"
SYMLINK+="ttyS$env{.MARQUELL_ANSIBLE_PORT}"
TAG+="systemd"
ENV{ID_MM_DEVICE_IGNORE}="1"
ACTION=="add", TEST=="/run/systemd/system", RUN+="/bin/systemctl --no-block reload-or-restart marquell.service"
LABEL="marquell_ansible_end"
END
grep -v '^#' "$out/70-marquell-ansible.rules" | cmp -s - "$work/want.rules" || status=1
head -n 1 "$out/70-marquell-ansible.rules" | grep -q '^# Written by the marquell Ansible role' || status=1
"$top/tools/udev-rule-check.sh" "$out/70-marquell-ansible.rules" || status=1
[ "$status" = 0 ] || cat "$out/70-marquell-ansible.rules"
check "$status" "the udev rule: the board UART and both adapters, numbers lower-cased as udev has them, marked as the role's"
status=0
[ "$(calls)" = "$all_calls" ] || status=1
check "$status" "what ran on the host, in order: $(calls)"

status=0
render render2 "$displays
$links" || status=1
[ "$(recap render2 r changed)" = 0 ] && [ -z "$(calls)" ] || { cat "$work/render2"; status=1; }
check "$status" "the same variables again: changed=0, no handler"

status=0
cp "$out/70-marquell-ansible.rules" "$work/rules-before"
render render3 "$(sed '/port: 41/d' <<<"$displays
$links")" || status=1
diff "$work/rules-before" "$out/70-marquell-ansible.rules" >"$work/rules-diff" || true
[ "$(grep -c '^[<>]' "$work/rules-diff")" = 1 ] && grep -q '^< ATTRS{idVendor}=="067b"' "$work/rules-diff" || status=1
[ "$(calls)" = "$all_calls" ] || status=1
[ "$status" = 0 ] || cat "$work/rules-diff"
check "$status" "an adapter removed takes its line of the rule and nothing else"

status=0
cp "$out/marquell.ini" "$work/ini-before"
cafe=$(sed -e '/port: 41/d' -e 's/Open 9-18 Mon-Sat/Café open 9-18/' <<<"$displays
$links")
render render4 "$cafe" && status=1
grep -q "^fatal: \[r\].*marquell: host r: display 1 (marquell_displays\[0\], port 1), rows\[1\]: warning: 'é' (U+00E9) in line2" \
    "$work/render4" || status=1
grep -q 'marquell_refuse_warnings is true: the file in place stays' "$work/render4" || status=1
cmp -s "$work/ini-before" "$out/marquell.ini" && [ -z "$(calls)" ] || status=1
[ "$status" = 0 ] || cat "$work/render4"
check "$status" "a refused file: its warning named by host, display and row; the file in place kept, no handler"
grep -o "marquell: host r: display 1 [^\"]*warning[^\"]*" "$work/render4" | head -n 1 | sed 's/^/    /'

status=0
render render5 "$cafe
marquell_refuse_warnings: false" || status=1
grep -q '^line2="Café open 9-18      "$' "$out/marquell.ini" || status=1
grep -q "\"marquell: host r: display 1 (marquell_displays\[0\], port 1), rows\[1\]: warning: 'é'" "$work/render5" || status=1
[ "$(calls)" = "systemctl reload-or-restart" ] || status=1
[ "$status" = 0 ] || cat "$work/render5"
check "$status" "with warnings let through: the file put in place, its warning shown by display and row, a repaint"

status=0
render render6 "$(sed '/port: 41/d' <<<"$displays
$links")
marquell_pad_rows: false" || status=1
grep -q '^line2="Open 9-18 Mon-Sat"$' "$out/marquell.ini" && grep -q '^line3=""$' "$out/marquell.ini" || status=1
[ "$status" = 0 ] || cat "$work/render6" "$out/marquell.ini"
check "$status" "marquell_pad_rows false: the rows as written"

status=0
render render7 'marquell_displays: [{port: 1, rows: ["Shop"]}]' || status=1
[ ! -e "$out/70-marquell-ansible.rules" ] && [ "$(calls)" = "$all_calls" ] || status=1
[ "$status" = 0 ] || cat "$work/render7"
check "$status" "no adapter and no board UART left: the role's rule removed"

status=0
render render7b 'marquell_rate: 09600
marquell_displays: [{port: "010", contrast: "060", rows: ["14:00", "3.50", "yes", "0403"]}]' || status=1
printf '%s\n' '# Written by Ansible from the inventory'"'"'s marquell_displays: edit the texts there.' baudrate=09600 '' \
    lcd=010 cmd_contrast=060 'line1="14:00               "' 'line2="3.50                "' \
    'line3="yes                 "' 'line4="0403                "' | cmp -s - "$out/marquell.ini" || status=1
[ "$status" = 0 ] || cat "$work/render7b" "$out/marquell.ini"
check "$status" "numbers and texts in quotes, and a rate YAML leaves a text: written as they stand"

status=0
printf '# my own\nKERNEL=="ttyAMA0", SYMLINK+="ttyS50"\n' >"$work/mine.rules"
cp "$work/mine.rules" "$out/70-marquell-ansible.rules"
render render8 'marquell_displays: [{port: 1, rows: ["Shop"]}]' && status=1
grep -q "70-marquell-ansible.rules was not written by this role (its first line is '# my own')" "$work/render8" || status=1
cmp -s "$work/mine.rules" "$out/70-marquell-ansible.rules" || status=1
render render8b "$displays
$links" && status=1
cmp -s "$work/mine.rules" "$out/70-marquell-ansible.rules" || status=1
[ "$status" = 0 ] || cat "$work/render8" "$work/render8b"
check "$status" "a rule file of that name that the role did not write: neither removed nor rewritten, and said so"
rm "$out/70-marquell-ansible.rules"

status=0
printf 'baudrate=19200\nlcd=1\nline1="Shop                "\nline2="Café                "\nline3=""\nline4=""\n' \
    >"$work/signs/own.ini"
render render9 "marquell_ini_src: $work/signs/own.ini" && status=1
grep -q "marquell: host r: $work/signs/own.ini:4:[0-9]*: warning: 'é'" "$work/render9" || status=1
sed 's/^lcd=1$/lcd={{ 1 }}/' "$work/signs/own.ini" >"$work/signs/own.ini.j2"
render render9b "marquell_ini_src: $work/signs/own.ini.j2" && status=1
grep -q "marquell: host r: line 4, column [0-9]* of the file rendered from $work/signs/own.ini.j2: warning: 'é'" \
    "$work/render9b" || status=1
[ "$status" = 0 ] || cat "$work/render9" "$work/render9b"
check "$status" "the operator's own file and template: a warning named by the file and its line"

status=0
printf 'baudrate=19200\nlcd=1\nline1="Shop                "\nline2="Caf\351                "\nline3=""\nline4=""\n' \
    >"$work/signs/latin1.ini"
render render10 "marquell_ini_src: $work/signs/latin1.ini
marquell_refuse_warnings: false" || status=1
grep -q "marquell: host r: $work/signs/latin1.ini:4:[0-9]*: warning: byte 0xE9 in line2 is not UTF-8" "$work/render10" ||
    status=1
cmp -s "$work/signs/latin1.ini" "$out/marquell.ini" || status=1
render render10b "marquell_ini_src: $work/signs/latin1.ini
marquell_refuse_warnings: false" || status=1
[ "$(recap render10b r changed)" = 0 ] || status=1
[ "$status" = 0 ] || cat "$work/render10" "$work/render10b"
check "$status" "an own file that is not UTF-8: judged and put in place byte for byte, its warning named; again: changed=0"

echo "== marquell-check's verdict on a new display list =="
# A stand-in for the host's marquell-check: it exits with STAND_IN_EXIT, or
# with 3 when the file it is given is not the one being put in place.
mkdir -p "$work/stand-in" "$work/judged-files"
# shellcheck disable=SC2016 # the stand-in's own shell expands these
printf '%s\n' '#!/bin/sh' 'for file; do :; done' \
    'grep -qx "baudrate=19200" "$file" || exit 3' 'exit "$STAND_IN_EXIT"' >"$work/stand-in/marquell-check"
chmod +x "$work/stand-in/marquell-check"
cat >"$work/verdict.yml" <<EOF
- name: Put a file in place through the role's validate, with each verdict
  hosts: r
  gather_facts: false
  tasks:
    - name: The checks, which load the role's variables
      ansible.builtin.import_role:
        name: marquell
        tasks_from: checks
    - name: Put a file in place
      ansible.builtin.copy:
        content: "baudrate=19200\n"
        dest: "$work/judged-files/{{ item.exit }}-{{ item.refuse }}"
        mode: "0644"
        validate: "{{ marquell__validate }}"
      vars:
        marquell_refuse_warnings: "{{ item.refuse }}"
      environment:
        PATH: "$work/stand-in:{{ lookup('ansible.builtin.env', 'PATH') }}"
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
status=0
play verdict "$work/verdict.yml" "$work/render-inventory.yml" || status=1
got=$(find "$work/judged-files" -type f -printf '%f\n' | sort | xargs)
[ "$got" = "0-False 0-True 1-False" ] || status=1
[ "$status" = 0 ] || cat "$work/verdict"
check "$status" "put in place: a clean file either way, one with warnings only when they are let through (got: ${got:-nothing})"

echo "$passed passed, $failures failed"
[ "$failures" = 0 ] && [ "$passed" -gt 0 ]
