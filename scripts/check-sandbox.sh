#!/usr/bin/env bash
# Checks the sandbox of panelflash-update.service as far as a machine without systemd as
# PID 1 can: its exposure by systemd-analyze security is 1.0 or lower, and every system call
# of the tool's runs against panelsim, traced with strace, passes the unit's filter.
#   scripts/check-sandbox.sh [BUILD_DIR]   a build with the tool and panelsim (build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
unit=deploy/panelflash-update.service

scripts/deps.sh sandbox

failed=0
echo "== exposure"
# systemd-analyze counts the threshold in tenths of the score it prints.
if ! report=$(systemd-analyze security --offline=true --threshold=10 "$unit" 2>&1); then
    grep '✗' <<<"$report" >&2 || :
    echo "$unit: exposure above 1.0" >&2
    failed=1
fi
tail -n1 <<<"$report"

# The calls a list of calls and @groups names, groups expanded as systemd expands them.
expand() {
    local item
    for item in "$@"; do
        item=${item%%:*}
        if [[ $item == @* ]]; then
            # shellcheck disable=SC2046 # a group's members are single words
            expand $(systemd-analyze syscall-filter "$item" | tail -n +2 | grep -v '^ *#')
        else
            echo "$item"
        fi
    done
}

# The unit's SystemCallFilter= lines merged as systemd merges them: the first line makes an
# allow list (with @default, which systemd always adds) or, starting with ~, a deny list;
# later lines of the same kind add to it, lines of the other kind take calls out.
declare -A listed=()
mode=
while IFS= read -r value; do
    if [[ -z $value ]]; then
        listed=()
        mode=
        continue
    fi
    kind=allow
    if [[ $value == "~"* ]]; then
        kind=deny
        value=${value#\~}
    fi
    if [[ -z $mode ]]; then
        mode=$kind
        if [[ $mode == allow ]]; then
            for call in $(expand @default); do listed[$call]=1; done
        fi
    fi
    # shellcheck disable=SC2086 # the value is a list of words
    for call in $(expand $value); do
        if [[ $kind == "$mode" ]]; then listed[$call]=1; else unset "listed[$call]"; fi
    done
done < <(sed -n 's/^SystemCallFilter=//p' "$unit")
[[ -n $mode ]] || { echo "$unit: no SystemCallFilter=" >&2; exit 1; }

# Other settings refuse these calls whatever the filter says.
declare -A cut_off=()
while IFS= read -r setting; do
    case $setting in
    RestrictAddressFamilies=none) calls=socket ;;
    ProtectClock=yes) calls=@clock ;;
    ProtectHostname=yes) calls="sethostname setdomainname" ;;
    ProtectKernelModules=yes) calls=@module ;;
    ProtectKernelLogs=yes) calls=syslog ;;
    *) continue ;;
    esac
    # shellcheck disable=SC2086 # a list of words
    for call in $(expand $calls); do cut_off[$call]=$setting; done
done < <(grep -E '^[A-Za-z]+=' "$unit")

refusal() {
    if [[ -n ${cut_off[$1]:-} ]]; then
        echo "${cut_off[$1]}"
    elif [[ $mode == allow && -z ${listed[$1]:-} ]]; then
        echo "not in SystemCallFilter="
    elif [[ $mode == deny && -n ${listed[$1]:-} ]]; then
        echo "denied by SystemCallFilter="
    fi
}

echo "== system calls"
tool=$(realpath "$build/panelflash")
panelsim=$(realpath "$build/sim/panelsim")
work=$(mktemp -d)
sim=
cleanup() {
    [[ -z $sim ]] || kill "$sim" 2>/dev/null || :
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
# An image whose firmware answers 0105 once programmed, as panelsim's firmware reads it from
# its flash: the run confirms the version it programmed.
{ printf FWVER=0105; head -c 2990 /dev/urandom; } >image.bin
"$panelsim" --version 0104 --link line >panelsim.log 2>&1 &
sim=$!
while [[ ! -L line ]]; do
    kill -0 "$sim" 2>/dev/null || { cat panelsim.log >&2; exit 1; }
    sleep 0.1
done

runs=0
# Runs a command under strace, expecting its exit status, then names each call it made that
# the unit would refuse.
traced() {
    local name=$1 expected=$2 status=0 calls call why
    shift 2
    runs=$((runs + 1))
    strace -f -qq -c -o "run$runs.calls" -- "$@" >"run$runs.out" 2>&1 || status=$?
    if [[ $status != "$expected" ]]; then
        cat "run$runs.out" >&2
        echo "$name: status $status, expected $expected" >&2
        failed=1
    fi
    # The summary's rows lie between its two dashed lines; the call is the last column.
    calls=$(awk '/^-/ {n++; next} n == 1 {print $NF}' "run$runs.calls")
    for call in $calls; do
        why=$(refusal "$call")
        if [[ -n $why ]]; then
            echo "$name: $call is refused ($why)" >&2
            failed=1
        fi
    done
    echo "$name: ${calls//$'\n'/ }"
}

# ExecCondition= runs under the same filter.
traced "test -f" 0 /usr/bin/test -f image.bin
traced "-c 105 -w, programs" 0 "$tool" -d "$work/line" -c 105 -w image.bin
# 0104 is not older than 104.
traced "-c 104 -w, current" 1 "$tool" -d "$work/line" -c 104 -w image.bin
traced "-i" 0 "$tool" -d "$work/line" -i
# A dump that replaces a file keeps its owner by fchown, which the filter refuses with EPERM
# as the kernel refuses an unprivileged user; the unit can write only into its own empty
# /tmp, so a read-out under it creates its dump, as this one does.
traced "-r" 0 "$tool" -d "$work/line" -r dump.bin
cmp -s -n 3000 image.bin dump.bin || { echo "-r: the dump is not the image" >&2; failed=1; }
kill "$sim"
wait "$sim" || :
sim=
traced "-c 105 -w, no panel" 3 "$tool" -d "$work/line" -c 105 -w image.bin

[[ $failed == 0 ]] || exit 1
echo "sandbox OK"
