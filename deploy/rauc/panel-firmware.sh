#!/bin/sh
# RAUC hook for the front panel's firmware. The bundle carries the flash image (raw, Intel HEX
# or S-record) for a slot of the panel's class and this hook, named in its manifest:
#   [hooks]        filename=panel-firmware.sh  hooks=install-check
#   [image.panel]  filename=panel-firmware.bin hooks=install
# RAUC runs it from the mounted bundle as
#   panel-firmware.sh install-check   before anything is installed
#   panel-firmware.sh slot-install    in place of RAUC's own writing of the panel's slot
# install-check refuses a bundle for another system (it takes the place of RAUC's own check
# of compatible=), one whose version is not hexadecimal, and one whose panel image panelflash
# cannot read; the image is loaded by the tool with no line to open, so nothing reaches the
# panel. slot-install reads the panel out to a backup, programs the image (RAUC_IMAGE_NAME)
# with panelflash -c VERSION, VERSION being the manifest's [update] version= (RAUC 1.8 gives
# it to install-check only, so it is read from the manifest), which asks the panel's version
# once it is programmed and fails (status 4) when the panel does not then run VERSION,
# compares the panel with the image (panelflash -C), and when any of it fails programs back
# the blocks that differ from the backup (panelflash -s), so that the panel runs what it ran
# before and the installation fails. What each run did is read from its account
# (panelflash --json), never from its output. The settings come from /etc/default/panelflash
# (PANELFLASH_DEFAULTS names another file): DEVICE, the panel's line (without it,
# panelflash's own device), and CONFIRM=no for a panel whose firmware starts only at
# power-up (programming runs get --no-confirm).

PANELFLASH=${PANELFLASH:-/usr/bin/panelflash}
DEFAULTS=${PANELFLASH_DEFAULTS:-/etc/default/panelflash}
TAG=panel-firmware
# The mounted bundle: RAUC runs the hook from there.
BUNDLE=$(dirname "$0")
# install-check's status that rejects the bundle, its reason being the last line of standard
# error; any other failure is RAUC's "hook failed".
REJECTED=10

# RAUC passes on a hook's standard output and standard error to its own log (the journal of
# rauc.service); a failure goes to standard error, both to syslog.
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

# What the last run reported, read from its account, which has one member a line: the member
# KEY, a string without its quotes, null or a missing account as nothing; or, as counts, what
# the run met on the line, where a failing cable or connector shows first; or, as details,
# the tool's message that ended the run and those counts.
reported() { # KEY|counts|details
    case $1 in
    counts)
        if [ ! -s "$account" ]; then
            echo "no account of the run"
            return
        fi
        echo "line $(reported line_seconds) s, answers lost $(reported answers_lost)," \
            "reconnections $(reported reconnections), reads repeated $(reported reads_repeated)"
        ;;
    details)
        message=$(reported message)
        echo "${message:+$message; }$(reported counts)"
        ;;
    *)
        grep "^ *\"$1\": " "$account" 2>/dev/null | sed -e 's/^[^:]*: *//' -e 's/,$//' \
            -e 's/^null$//' -e 's/^"\(.*\)"$/\1/' -e 's/\\"/"/g' -e 's/\\\\/\\/g'
        ;;
    esac
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
# line and returns 0 when the installation may go on, 1 otherwise. Status 1 is the
# operation's own: with -c -w the panel already runs this version or a newer one and nothing
# was programmed, with -C a block differs from the image; -w succeeds only when the version
# the panel runs after programming is not older than EXPECTED. The image check (load) runs
# -w with no line to open: the tool loads the image first, so status 3, the line missing,
# says the image was read, and any other status is the tool's reason not to program it.
outcome() { # OPERATION(load, -r, -w or -C) WHAT STATUS [EXPECTED]
    case $1:$3 in
    load:3) log "$2: done" ;;
    load:*)
        log_failure "$2 failed: status $3, panelflash cannot program it ($(reported message))"
        return 1
        ;;
    -r:0) log "$2: done (the panel found in its $(reported entered_from); $(reported counts))" ;;
    -w:0)
        running=$(reported version_after)
        if [ -n "$4" ] && [ -n "$running" ] && older "$running" "$4"; then
            log_failure "$2 failed: the panel runs version $running after programming, older than" \
                "$4: the image is not that version ($(reported counts))"
            return 1
        fi
        log "$2: done ($(reported blocks_programmed) blocks programmed, $(reported blocks_held)" \
            "already held the image${running:+, version $running running}; $(reported counts))"
        ;;
    -C:0) log "$2: done (all $(reported image_blocks) blocks hold the image; $(reported counts))" ;;
    -C:1)
        log_failure "$2 failed: status 1, the panel does not hold the image" \
            "($(reported blocks_differing) of $(reported image_blocks) blocks differ from it;" \
            "$(reported counts))"
        return 1
        ;;
    *:1)
        log "$2: the panel already runs version $(reported version_before), this one or a" \
            "newer one, nothing programmed ($(reported counts))"
        ;;
    *:2)
        log_failure "$2 failed: status 2, the panel's bootloader did not synchronise" \
            "($(reported details))"
        return 1
        ;;
    *:3)
        log_failure "$2 failed: status 3, the panel cannot be reached or stopped answering" \
            "($(reported details))"
        return 1
        ;;
    *:4)
        log_failure "$2 failed: status 4, the panel does not run the image after programming:" \
            "it is not that version or does not start ($(reported details))"
        return 1
        ;;
    *:255)
        log_failure "$2 failed: status 255, file or verification failure ($(reported details))"
        return 1
        ;;
    *) log_failure "$2 failed: status $3 ($(reported details))"; return 1 ;;
    esac
}

# Runs panelflash on LINE (empty: the tool's own device), its output kept in $output and its
# account in $account; returns its exit status.
run_on() { # LINE OPTION...
    line=$1
    shift
    if [ -n "$line" ]; then
        set -- -d "$line" "$@"
    fi
    status=0
    "$PANELFLASH" --json "$account" "$@" >"$output" 2>&1 || status=$?
    return "$status"
}

# Runs panelflash on the panel's line, its output passed on as a terminal would have left
# it: the progress is a long line of carriage returns, which the journal would keep as a
# blob. Returns its exit status.
run_panelflash() {
    status=0
    run_on "$DEVICE" "$@" || status=$?
    sed "s/.*$(printf '\r')//" "$output"
    return "$status"
}

# The value of KEY in the manifest's SECTION, as RAUC's key files allow it: spaces around
# the "=", comment lines.
manifest_value() { # SECTION KEY
    awk -v section="[$1]" -v key="$2" '
        /^[ \t]*\[/ { inside = $0 == section; next }
        inside && $0 ~ "^[ \t]*" key "[ \t]*=" {
            sub(/^[^=]*=[ \t]*/, "")
            sub(/[ \t]*$/, "")
            print
            exit
        }
    ' "$BUNDLE/manifest.raucm"
}

# The files of the images this hook installs (hooks=install), one per line: each image
# section's file, printed where the section ends.
hook_images() {
    awk '
        /^[ \t]*\[/ {
            if (mine && file != "") print file
            image = $0 ~ /^[ \t]*\[image\./
            file = ""
            mine = 0
            next
        }
        /^[ \t]*filename[ \t]*=/ {
            file = $0
            sub(/^[^=]*=[ \t]*/, "", file)
            sub(/[ \t]*$/, "", file)
        }
        /^[ \t]*hooks[ \t]*=/ { mine = image && $0 ~ /[=; \t]install([; \t]|$)/ }
        END { if (mine && file != "") print file }
    ' "$BUNDLE/manifest.raucm"
}

# The firmware version the bundle carries, hexadecimal as panelflash -c takes it.
bundle_version() {
    version=$(manifest_value update version)
    case $version in
    '' | *[!0-9A-Fa-fxX]*)
        log_failure "the bundle's [update] version= must be the image's hexadecimal firmware" \
            "version: '$version'"
        return 1
        ;;
    esac
    echo "$version"
}

check_bundle() {
    if [ "${RAUC_MF_COMPATIBLE-}" != "${RAUC_SYSTEM_COMPATIBLE-}" ]; then
        log_failure "install-check failed: the bundle is for '${RAUC_MF_COMPATIBLE-}'," \
            "this system is '${RAUC_SYSTEM_COMPATIBLE-}'"
        return 1
    fi
    bundle_version >/dev/null || return 1
    images=$(hook_images)
    if [ -z "$images" ]; then
        log_failure "install-check failed: no image in the manifest has hooks=install"
        return 1
    fi
    # A name of nowhere: the tool finds no line to open once it has loaded the image.
    nowhere=$work/no-panel
    echo "$images" | while IFS= read -r image; do
        if [ ! -f "$BUNDLE/$image" ]; then
            log_failure "check of the image $image failed: the bundle has no such file"
            exit 1
        fi
        # From the bundle, so that the tool's message names the image as the manifest does.
        status=0
        (cd "$BUNDLE" && run_on "$nowhere" -w "$image") || status=$?
        outcome load "check of the image $image" "$status" || exit 1
    done
}

install_slot() {
    version=$(bundle_version) || return 1
    image=${RAUC_IMAGE_NAME-}
    if [ ! -f "$image" ]; then
        log_failure "install failed: no image '$image'"
        return 1
    fi
    backup=$work/panel-backup.bin
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
    backup_from=$(reported entered_from)
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

work=$(mktemp -d "${TMPDIR:-/tmp}/panel-firmware.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
output=$work/panelflash-output
account=$work/panelflash.json
DEVICE=
CONFIRM=
if [ -r "$DEFAULTS" ]; then
    # shellcheck source=/dev/null
    . "$DEFAULTS"
fi
case ${1:-} in
install-check) check_bundle || exit "$REJECTED" ;;
slot-install) install_slot || exit 1 ;;
esac
exit 0
