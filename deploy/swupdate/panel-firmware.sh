#!/bin/sh
# SWUpdate shellscript handler for the front panel's firmware. sw-description installs the
# flash image (raw, Intel HEX or S-record) with the rawfile handler and runs this script with
# its version and where the image went, as data = "VERSION IMAGE":
#   panel-firmware.sh preinst|postinst VERSION IMAGE
# After the images (postinst) it reads the panel out to a backup, programs the image with
# panelflash -c VERSION, compares the panel with the image (panelflash -C), and when either
# fails programs back the blocks that differ from the backup (panelflash -s), so that the
# panel runs what it ran before and SWUpdate reports the update as failed. The device comes
# from DEVICE in /etc/default/panelflash (PANELFLASH_DEFAULTS names another file).

PANELFLASH=${PANELFLASH:-/usr/bin/panelflash}
DEFAULTS=${PANELFLASH_DEFAULTS:-/etc/default/panelflash}
TAG=panel-firmware
# A client that stops waiting (swupdate -i, now and then) takes the reader of this script's
# output along: the programming and its rollback go on to their end all the same.
trap '' PIPE

# SWUpdate logs a script's standard output as trace and its standard error as errors, so a
# failure goes to standard error and anything else to standard output; both go to syslog.
log() {
    echo "$TAG: $*"
    syslog "$*"
}
log_failure() {
    echo "$TAG: $*" >&2
    syslog "$*"
}
syslog() {
    if command -v logger >/dev/null 2>&1; then
        logger -t "$TAG" -- "$*" 2>/dev/null || :
    fi
}

# The line that sums up the last run, when it printed one: what -s programmed, or what -C
# found.
summary() {
    tr '\r' '\n' <"$output" | grep -e ' blocks programmed, ' -e ' blocks hold the image$' \
        -e ' blocks differ from the image$' | tail -n 1
}

# The one place where panelflash's exit statuses become outcomes: logs WHAT's outcome in one
# line and returns 0 when the update may go on, 1 otherwise. Status 1 is the operation's own:
# with -c -w the panel already runs this version or a newer one and nothing was programmed,
# with -C a block differs from the image.
outcome() { # OPERATION(-r, -w or -C) WHAT STATUS
    detail=$(summary)
    case $1:$3 in
    *:0) log "$2: done${detail:+ ($detail)}" ;;
    -C:1)
        log_failure "$2 failed: status 1, the panel does not hold the image${detail:+ ($detail)}"
        return 1
        ;;
    *:1) log "$2: the panel already runs this version or a newer one, nothing programmed" ;;
    *:2) log_failure "$2 failed: status 2, the panel's bootloader did not synchronise"; return 1 ;;
    *:3) log_failure "$2 failed: status 3, the panel cannot be reached or stopped answering"; return 1 ;;
    *:255) log_failure "$2 failed: status 255, file or verification failure"; return 1 ;;
    *) log_failure "$2 failed: status $3"; return 1 ;;
    esac
}

# Runs panelflash on the configured device; returns its exit status. SWUpdate's reader of a
# script's output fails the update now and then on panelflash's progress, a long line of
# carriage returns, so the output is passed on as a terminal would have left it.
run_panelflash() {
    DEVICE=
    if [ -r "$DEFAULTS" ]; then
        # shellcheck source=/dev/null
        . "$DEFAULTS"
    fi
    status=0
    if [ -n "$DEVICE" ]; then
        "$PANELFLASH" -d "$DEVICE" "$@" >"$output" || status=$?
    else
        "$PANELFLASH" "$@" >"$output" || status=$?
    fi
    sed "s/.*$(printf '\r')//" "$output"
    return "$status"
}

update() { # VERSION IMAGE
    case $1 in
    '' | *[!0-9A-Fa-fxX]*)
        log_failure "install failed: data must give the image's hexadecimal version first: '$1'"
        return 1
        ;;
    esac
    if [ ! -f "$2" ]; then
        log_failure "install failed: no image $2"
        return 1
    fi
    backup=$(mktemp "${TMPDIR:-/tmp}/panel-backup.XXXXXX") || return 1
    trap 'rm -f "$backup" "$output"' EXIT
    output=$(mktemp "${TMPDIR:-/tmp}/panelflash-output.XXXXXX") || return 1
    status=0
    run_panelflash -r "$backup" || status=$?
    outcome -r "backup of the panel's flash" "$status" || return 1
    # A panel that was in its bootloader (the read-out's first flash-mode request answered
    # as from there) is left from a programming run that did not end, perhaps of this very
    # image, and may hold much of it: -s then programs only the blocks that differ. A panel
    # that ran its firmware holds an older one whole, as a rule differing in most blocks,
    # where reading each block first would only add its time.
    skip=
    if [ "$(sed -n '/^Accepted (/{p;q;}' "$output")" = "Accepted (2)" ]; then
        skip=-s
    fi
    status=0
    run_panelflash -c "$1" $skip -w "$2" || status=$?
    if outcome -w "install of version $1" "$status"; then
        # Status 1: nothing was programmed, and the panel runs this version or a newer one,
        # which does not hold this image.
        [ "$status" -ne 1 ] || return 0
        status=0
        run_panelflash -C "$2" || status=$?
        outcome -C "check of version $1's image" "$status" && return 0
    fi
    # panelflash programs the backup's application area only; its bootloader stays as it is.
    status=0
    run_panelflash -s -w "$backup" || status=$?
    outcome -w "rollback to the backup" "$status"
    return 1
}

case ${1:-} in
preinst) ;;
postinst) update "${2:-}" "${3:-}" || exit 1 ;;
esac
exit 0
