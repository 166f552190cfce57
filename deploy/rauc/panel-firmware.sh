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
# it to install-check only, so it is read from the manifest), compares the panel with the
# image (panelflash -C), and when either fails programs back the blocks that differ from the
# backup (panelflash -s), so that the panel runs what it ran before and the installation
# fails. The panel's line is DEVICE in /etc/default/panelflash (PANELFLASH_DEFAULTS names
# another file); without it, panelflash's own device is used.

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

# What the last run reported, read from its output: the line that sums it up (what -s
# programmed, or what -C found), the message it ended with (the blocks it dumps after one
# left aside), or where its first flash-mode request was answered from (firmware or
# bootloader).
reported() { # summary|message|entered_from
    case $1 in
    summary)
        tr '\r' '\n' <"$output" | grep -e ' blocks programmed, ' -e ' blocks hold the image$' \
            -e ' blocks differ from the image$' | tail -n 1
        ;;
    message)
        tr '\r' '\n' <"$output" | grep -v -e '^ *$' -e '^[0-9a-f]\{4\} ' \
            -e '^Data [a-z ]*:$' | tail -n 1
        ;;
    entered_from)
        sed -n -e '/^Accepted (1)$/{s/.*/firmware/p;q;}' \
            -e '/^Accepted (2)$/{s/.*/bootloader/p;q;}' "$output"
        ;;
    esac
}

# The one place where panelflash's exit statuses become outcomes: logs WHAT's outcome in one
# line and returns 0 when the installation may go on, 1 otherwise. Status 1 is the
# operation's own: with -c -w the panel already runs this version or a newer one and nothing
# was programmed, with -C a block differs from the image. The image check (load) runs -w with
# no line to open: the tool loads the image first, so status 3, the line missing, says the
# image was read, and any other status is the tool's reason not to program it.
outcome() { # OPERATION(load, -r, -w or -C) WHAT STATUS
    detail=$(reported summary)
    message=$(reported message)
    case $1:$3 in
    load:3) log "$2: done" ;;
    load:*) log_failure "$2 failed: status $3, panelflash cannot program it ($message)"; return 1 ;;
    *:0) log "$2: done${detail:+ ($detail)}" ;;
    -C:1)
        log_failure "$2 failed: status 1, the panel does not hold the image${detail:+ ($detail)}"
        return 1
        ;;
    *:1) log "$2: the panel already runs this version or a newer one, nothing programmed" ;;
    *:2)
        log_failure "$2 failed: status 2, the panel's bootloader did not synchronise ($message)"
        return 1
        ;;
    *:3)
        log_failure "$2 failed: status 3, the panel cannot be reached or stopped answering" \
            "($message)"
        return 1
        ;;
    *:4)
        log_failure "$2 failed: status 4, the panel does not run the update: its firmware" \
            "answered an older version, or none ($message)"
        return 1
        ;;
    *:255) log_failure "$2 failed: status 255, file or verification failure ($message)"; return 1 ;;
    *) log_failure "$2 failed: status $3 ($message)"; return 1 ;;
    esac
}

# Runs panelflash on LINE (empty: the tool's own device), its output kept in $output;
# returns its exit status.
run_on() { # LINE OPTION...
    line=$1
    shift
    status=0
    if [ -n "$line" ]; then
        "$PANELFLASH" -d "$line" "$@" >"$output" 2>&1 || status=$?
    else
        "$PANELFLASH" "$@" >"$output" 2>&1 || status=$?
    fi
    return "$status"
}

# Runs panelflash on the panel's line, its output passed on as a terminal would have left
# it: the progress is a long line of carriage returns, which the journal would keep as a
# blob. Returns its exit status.
run_panelflash() {
    DEVICE=
    if [ -r "$DEFAULTS" ]; then
        # shellcheck source=/dev/null
        . "$DEFAULTS"
    fi
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
    # that differ. A panel that ran its firmware holds an older one whole, as a rule
    # differing in most blocks, where reading each block first would only add its time.
    skip=
    if [ "$(reported entered_from)" = bootloader ]; then
        skip=-s
    fi
    status=0
    run_panelflash -c "$version" $skip -w "$image" || status=$?
    if outcome -w "install of version $version" "$status"; then
        # Status 1: nothing was programmed, and the panel runs this version or a newer one,
        # which does not hold this image.
        [ "$status" -ne 1 ] || return 0
        status=0
        run_panelflash -C "$image" || status=$?
        outcome -C "check of version $version's image" "$status" && return 0
    fi
    # panelflash programs the backup's application area only; its bootloader stays as it is.
    status=0
    run_panelflash -s -w "$backup" || status=$?
    outcome -w "rollback to the backup" "$status"
    return 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/panel-firmware.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
output=$work/panelflash-output
case ${1:-} in
install-check) check_bundle || exit "$REJECTED" ;;
slot-install) install_slot || exit 1 ;;
esac
exit 0
