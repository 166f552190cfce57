#!/bin/sh
# SWUpdate shellscript handler for the front panel's firmware. sw-description installs the
# flash image (raw, Intel HEX or S-record) with the rawfile handler and runs this script with
# its version and where the image went, as data = "VERSION IMAGE":
#   panel-firmware.sh preinst|postinst VERSION IMAGE
# After the images (postinst) it reads the panel out to a backup, programs the image with
# panelflash -c VERSION, which asks the panel's version once it is programmed and fails
# (status 4) when the panel does not then run VERSION, compares the panel with the image
# (panelflash -C), and when any of it fails programs back the blocks that differ from the
# backup (panelflash -s), so that the panel runs what it ran before and SWUpdate reports the
# update as failed. What each run did is read from its account (panelflash --json), never
# from its output. The settings come from /etc/default/panelflash (PANELFLASH_DEFAULTS names
# another file): DEVICE, the panel's line, and CONFIRM=no for a panel whose firmware starts
# only at power-up (programming runs get --no-confirm).

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

# The member KEY of the last run's account, which has one member a line: a string without
# its quotes, null or a missing account as nothing.
account() { # KEY
    grep "^ *\"$1\": " "$account_file" 2>/dev/null | sed -e 's/^[^:]*: *//' -e 's/,$//' \
        -e 's/^null$//' -e 's/^"\(.*\)"$/\1/' -e 's/\\"/"/g' -e 's/\\\\/\\/g'
}

# What the last run met on the line: a failing cable or connector shows here first.
line_counts() {
    if [ ! -s "$account_file" ]; then
        echo "no account of the run"
        return
    fi
    echo "line $(account line_seconds) s, answers lost $(account answers_lost)," \
        "reconnections $(account reconnections), reads repeated $(account reads_repeated)"
}

# The tool's message that ended the last run, and the line's counts.
details() {
    message=$(account message)
    echo "${message:+$message; }$(line_counts)"
}

# A hexadecimal version as one spelling, so that 106, 0x0106 and 0106 compare equal.
hex_version() {
    echo "$1" | sed -e 's/^0[xX]//' -e 's/^0*//' | tr 'A-F' 'a-f'
}

# Whether version A is older than version B, both hexadecimal.
older() { # A B
    a=$(hex_version "$1")
    b=$(hex_version "$2")
    [ $((0x${a:-0})) -lt $((0x${b:-0})) ]
}

# The one place where panelflash's exit statuses become outcomes: logs WHAT's outcome in one
# line and returns 0 when the update may go on, 1 otherwise. Status 1 is the operation's own:
# with -c -w the panel already runs this version or a newer one and nothing was programmed,
# with -C a block differs from the image. -w succeeds only when the version the panel runs after
# programming is not older than EXPECTED.
outcome() { # OPERATION(-r, -w or -C) WHAT STATUS [EXPECTED]
    case $1:$3 in
    -r:0) log "$2: done (the panel found in its $(account entered_from); $(line_counts))" ;;
    -w:0)
        running=$(account version_after)
        if [ -n "$4" ] && [ -n "$running" ] && older "$running" "$4"; then
            log_failure "$2 failed: the panel runs version $running after programming, older than" \
                "$4: the image is not that version ($(line_counts))"
            return 1
        fi
        log "$2: done ($(account blocks_programmed) blocks programmed, $(account blocks_held)" \
            "already held the image${running:+, version $running running}; $(line_counts))"
        ;;
    -C:0) log "$2: done (all $(account image_blocks) blocks hold the image; $(line_counts))" ;;
    -C:1)
        log_failure "$2 failed: status 1, the panel does not hold the image" \
            "($(account blocks_differing) of $(account image_blocks) blocks differ from it;" \
            "$(line_counts))"
        return 1
        ;;
    *:1)
        log "$2: the panel already runs version $(account version_before), this one or a newer" \
            "one, nothing programmed ($(line_counts))"
        ;;
    *:2)
        log_failure "$2 failed: status 2, the panel's bootloader did not synchronise ($(details))"
        return 1
        ;;
    *:3)
        log_failure "$2 failed: status 3, the panel cannot be reached or stopped answering" \
            "($(details))"
        return 1
        ;;
    *:4)
        log_failure "$2 failed: status 4, the panel does not run the image after programming:" \
            "it is not that version or does not start ($(details))"
        return 1
        ;;
    *:255) log_failure "$2 failed: status 255, file or verification failure ($(details))"; return 1 ;;
    *) log_failure "$2 failed: status $3 ($(details))"; return 1 ;;
    esac
}

# Runs panelflash on the configured device; returns its exit status. SWUpdate's reader of a
# script's output fails the update now and then on panelflash's progress, a long line of
# carriage returns, so the output is passed on as a terminal would have left it.
run_panelflash() {
    if [ -n "$DEVICE" ]; then
        set -- -d "$DEVICE" "$@"
    fi
    status=0
    "$PANELFLASH" --json "$account_file" "$@" >"$output" || status=$?
    sed "s/.*$(printf '\r')//" "$output"
    return "$status"
}

settings() {
    DEVICE=
    CONFIRM=
    if [ -r "$DEFAULTS" ]; then
        # shellcheck source=/dev/null
        . "$DEFAULTS"
    fi
}

update() { # VERSION IMAGE
    version=$1
    image=$2
    case $1 in
    '' | *[!0-9A-Fa-fxX]*)
        log_failure "install failed: data must give the image's hexadecimal version first: '$version'"
        return 1
        ;;
    esac
    if [ ! -f "$image" ]; then
        log_failure "install failed: no image $image"
        return 1
    fi
    work=$(mktemp -d "${TMPDIR:-/tmp}/panel-firmware.XXXXXX") || return 1
    trap 'rm -rf "$work"' EXIT
    backup=$work/panel-backup.bin
    output=$work/panelflash-output
    account_file=$work/panelflash.json
    settings
    status=0
    run_panelflash -r "$backup" || status=$?
    outcome -r "backup of the panel's flash" "$status" || return 1
    # A panel that was in its bootloader is left from a programming run that did not end,
    # perhaps of this very image, and may hold much of it: -s then programs only the blocks
    # that differ. Its version is not asked first: the backup's read-out left flash mode, and
    # a firmware half written may start and answer this very version, which would leave it
    # half written; the version it answers once programmed is checked instead. A panel that
    # ran its firmware holds an older one whole, as a rule differing in most blocks, where
    # reading each block first would only add its time.
    backup_from=$(account entered_from)
    if [ "$backup_from" = bootloader ]; then
        set -- -s -w "$image"
    else
        set -- -c "$version" -w "$image"
    fi
    # A panel whose firmware starts only at power-up answers no version after programming.
    confirm=
    if [ "$CONFIRM" = no ]; then
        confirm=--no-confirm
    fi
    status=0
    run_panelflash $confirm "$@" || status=$?
    if outcome -w "install of version $version" "$status" "$version"; then
        # Status 1: nothing was programmed, and the panel runs this version or a newer one,
        # which does not hold this image.
        [ "$status" -ne 1 ] || return 0
        status=0
        run_panelflash -C "$image" || status=$?
        outcome -C "check of version $version's image" "$status" && return 0
    fi
    # A backup read from a panel in its bootloader is what a programming run that did not
    # end left there: no firmware ran from it before, and none need start from it now, so
    # the rollback does not ask for one. It puts the flash back as it was all the same.
    if [ "$backup_from" = bootloader ]; then
        confirm=--no-confirm
    fi
    # panelflash programs the backup's application area only; its bootloader stays as it is.
    status=0
    run_panelflash $confirm -s -w "$backup" || status=$?
    outcome -w "rollback to the backup" "$status"
    return 1
}

case ${1:-} in
preinst) ;;
postinst) update "${2:-}" "${3:-}" || exit 1 ;;
esac
exit 0
