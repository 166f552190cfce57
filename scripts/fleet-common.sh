# shellcheck shell=bash
# shellcheck disable=SC2154 # root, build and work are the sourcing script's
# What the fleet tests (fleet-test.sh, rauc-test.sh) share, sourced once $root, $build and
# $work are set: the wrapper through which the glue runs this build's tool, and the checks.

# The glue finds the tool and its settings through PANELFLASH and PANELFLASH_DEFAULTS. The
# wrapper, while $work/reword exists, prints the tool's standard output in capitals: the
# glue must read what a run did from its account (--json), never from its words.
make_tool_wrapper() {
    cat >"$work/panelflash" <<WRAPPER
#!/bin/bash
set -o pipefail
if [ -e "$work/reword" ]; then
    "$root/$build/panelflash" "\$@" | tr a-z A-Z
else
    exec "$root/$build/panelflash" "\$@"
fi
WRAPPER
    chmod 755 "$work/panelflash"
    export PANELFLASH=$work/panelflash
    export PANELFLASH_DEFAULTS=$work/panelflash.default
}

failures=0
check() { # DESCRIPTION COMMAND...
    if "${@:2}"; then
        echo "ok: $1"
    else
        echo "FAILED: $1" >&2
        failures=$((failures + 1))
    fi
}
logged() { grep -q -- "$1" "$2"; }
not_logged() { ! grep -q -- "$1" "$2"; }
