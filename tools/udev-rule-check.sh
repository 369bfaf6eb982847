#!/usr/bin/env bash
# Checks a udev rules file without udev: every rule is a comma-separated list
# of KEY{attribute}OPERATOR"value", each key one that udev knows, with an
# attribute where the key takes one and an operator the key takes, and every
# GOTO has its LABEL further down. Exits non-zero, naming the file and line,
# when something is wrong or the file holds no rule at all.
#
#   tools/udev-rule-check.sh FILE
#
# The keys are those of udev(7) as of systemd 252 (Debian 12). The operators
# are the ones udev's rule parser takes without a warning: udev(7) says that
# == and != match and =, +=, -= and := assign, and the parser narrows that
# for some keys (ENV takes no -=, ATTR only =, OWNER, GROUP and MODE only =
# and :=); for PROGRAM and IMPORT, =, += and := mean ==.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 FILE" >&2; exit 2; }
file=$1
[ -r "$file" ] || { echo "$file: cannot be read" >&2; exit 2; }

# key -> operators it takes
declare -A ops=(
    [ACTION]="== !=" [DEVPATH]="== !=" [KERNEL]="== !=" [KERNELS]="== !="
    [SUBSYSTEM]="== !=" [SUBSYSTEMS]="== !=" [DRIVER]="== !=" [DRIVERS]="== !="
    [ATTRS]="== !=" [CONST]="== !=" [TAGS]="== !=" [TEST]="== !=" [RESULT]="== !="
    [NAME]="== != = :=" [SYMLINK]="== != = += -= :=" [TAG]="== != = += -="
    [ENV]="== != = +=" [ATTR]="== != =" [SYSCTL]="== != ="
    [PROGRAM]="== != = += :=" [IMPORT]="== != = += :="
    [OWNER]="= :=" [GROUP]="= :=" [MODE]="= :=" [SECLABEL]="= +="
    [RUN]="= += :=" [OPTIONS]="= += :=" [LABEL]="=" [GOTO]="="
)
# key -> the attributes it takes: "any", "optional:a b", "one of:a b"; no
# entry: none
declare -A attrs=(
    [ATTR]=any [ATTRS]=any [SYSCTL]=any [ENV]=any [SECLABEL]=any
    [TEST]="optional:any" [CONST]="one of:arch virt"
    [IMPORT]="one of:program builtin file db cmdline parent" [RUN]="optional:program builtin"
)

bad=0
complain() {
    echo "$file:$1: $2" >&2
    bad=$((bad + 1))
}

# Checks one key's attribute; prints nothing when it is right.
attr_problem() {
    local key=$1 has=$2 attr=$3 want=${attrs[$1]:-}
    local list=${want#*:}
    if [ -z "$want" ]; then
        [ "$has" = 0 ] || echo "$key takes no {attribute}"
        return
    fi
    if [ "$has" = 0 ]; then
        [[ "$want" == optional:* ]] || echo "$key needs an {attribute}"
        return
    fi
    [ -n "$attr" ] || { echo "$key has an empty {}"; return; }
    [ "$list" = any ] || [[ " $list " == *" $attr "* ]] || echo "$key{$attr}: the attribute is one of: $list"
}

# KEY, {attribute}, operator, optional e, then the double-quoted value (a
# backslash escapes the next character).
token_re='^([A-Za-z_]+)(\{([^}]*)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*(e?)"((\\.|[^\\"])*)"'
rules=0
keys=0
gotos=()
labels=()
lineno=0
start=0
rule=""
while IFS= read -r line || [ -n "$line" ]; do
    lineno=$((lineno + 1))
    [ -n "$rule" ] || start=$lineno
    if [[ -z "$rule" && "$line" =~ ^[[:space:]]*(#|$) ]]; then
        continue
    fi
    # A backslash at the end of a line continues the rule on the next one.
    if [[ "$line" == *\\ ]]; then
        rule+="${line%\\} "
        continue
    fi
    rule+=$line
    rules=$((rules + 1))
    rest=${rule#"${rule%%[![:space:]]*}"}
    rule=""
    while [ -n "$rest" ]; do
        if ! [[ "$rest" =~ $token_re ]]; then
            complain "$start" "cannot read '${rest:0:40}': write KEY==\"value\", KEY=\"value\", ... with double quotes"
            break
        fi
        key=${BASH_REMATCH[1]} has_attr=0 attr=${BASH_REMATCH[3]} op=${BASH_REMATCH[4]} value=${BASH_REMATCH[6]}
        [ -z "${BASH_REMATCH[2]}" ] || has_attr=1
        rest=${rest:${#BASH_REMATCH[0]}}
        rest=${rest#"${rest%%[![:space:]]*}"}
        if [ -n "$rest" ]; then
            [ "${rest:0:1}" = , ] || complain "$start" "a comma is missing after $key"
            rest=${rest#,}
            rest=${rest#"${rest%%[![:space:]]*}"}
        fi
        keys=$((keys + 1))
        if [ -z "${ops[$key]+known}" ]; then
            complain "$start" "unknown key '$key' (udev(7) lists the keys)"
            continue
        fi
        problem=$(attr_problem "$key" "$has_attr" "$attr")
        [ -z "$problem" ] || complain "$start" "$problem"
        [[ " ${ops[$key]} " == *" $op "* ]] || complain "$start" "$key takes ${ops[$key]}, not $op"
        case $key in
            GOTO) gotos+=("$start $value") ;;
            LABEL) labels+=("$start $value") ;;
        esac
    done
done <"$file"
[ -z "$rule" ] || complain "$lineno" "the last rule ends in a backslash"

# udev jumps forward only: a GOTO needs its LABEL on a later line.
for g in ${gotos[@]+"${gotos[@]}"}; do
    found=0
    for l in ${labels[@]+"${labels[@]}"}; do
        [ "${l#* }" = "${g#* }" ] && [ "${l%% *}" -gt "${g%% *}" ] && found=1
    done
    [ $found = 1 ] || complain "${g%% *}" "GOTO=\"${g#* }\" has no LABEL=\"${g#* }\" after it"
done

if [ "$rules" -eq 0 ]; then
    echo "$file: no rule in the file: nothing was checked" >&2
    exit 1
fi
[ "$bad" -eq 0 ] || exit 1
echo "$file: $rules rules, $keys keys, all known to udev"
