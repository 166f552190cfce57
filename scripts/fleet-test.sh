#!/usr/bin/env bash
# The fleet-update glue with the real update clients, against panelsim: the Mender update
# module panel-firmware through `mender install` and `mender commit`, and its inventory
# script, the SWUpdate handler through `swupdate -i` of a signed .swu. One case of each
# engine runs the tool through a wrapper that rewords everything it prints on standard
# output: the glue reads what a run did from its account (--json), never from its words.
#   scripts/fleet-test.sh [BUILD_DIR]      (default build/fleet, configured and built here)
# FLEET_KEEP=1 keeps the temporary directory with the clients' and panelsim's logs.
# Needs root: the Mender client looks for update modules only in
# /usr/share/mender/modules/v3 and for the running artifact's name only in
# /etc/mender/artifact_info. What the test puts there is removed, or the file that was
# there put back, on exit. Installs mender-client, mender-artifact and swupdate when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/fleet}

if [ "$(id -u)" -ne 0 ]; then
    echo "fleet updates: skipped, not root (the Mender client's module and artifact_info" \
        "paths are fixed and belong to root)"
    exit 0
fi
scripts/deps.sh fleet
cmake --preset release -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target panelflash panelsim >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/fleet-test.XXXXXX")
module=/usr/share/mender/modules/v3/panel-firmware
artifact_info=/etc/mender/artifact_info
panel_pid=
swupdate_pid=
# shellcheck source=scripts/fleet-common.sh
. scripts/fleet-common.sh

# Puts back what the test replaced on the machine, or removes what it added.
restore() { # PATH
    if [ -e "$work/saved/${1//\//_}" ]; then
        mv -f "$work/saved/${1//\//_}" "$1"
    else
        rm -f "$1"
    fi
}
cleanup() {
    [ -z "$swupdate_pid" ] || kill "$swupdate_pid" 2>/dev/null || :
    stop_panel
    restore "$module"
    restore "$artifact_info"
    [ ! -f "$work/created-etc-mender" ] || rmdir /etc/mender 2>/dev/null || :
    [ -n "${FLEET_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
replace() { # PATH FILE MODE
    mkdir -p "$work/saved"
    if [ -e "$1" ]; then
        cp -a "$1" "$work/saved/${1//\//_}"
    fi
    install -D -m "$3" "$2" "$1"
}
[ -d /etc/mender ] || touch "$work/created-etc-mender"
replace "$module" deploy/mender/panel-firmware 755
echo "artifact_name=fleet-test" >"$work/artifact_info"
replace "$artifact_info" "$work/artifact_info" 644

# The glue runs this build's tool on panelsim's line, named in the settings file as a
# device's /etc/default/panelflash names its port, through the rewording wrapper.
mkdir -p "$work/panel" "$work/swupdate"
make_tool_wrapper
last_update=$work/mender-last-update.json
printf 'DEVICE=%s\nMENDER_LAST_UPDATE=%s\n' "$work/panel/frontpanel" "$last_update" \
    >"$PANELFLASH_DEFAULTS"
flash=$work/panel/flash.bin
link=$work/panel/frontpanel

start_panel() { # PANELSIM_OPTION...
    "$root/$build/sim/panelsim" --link "$work/panel/frontpanel" --flash "$flash" --report "$@" \
        >>"$work/panel/panelsim.log" 2>&1 &
    panel_pid=$!
    local tries=0
    while [ ! -L "$work/panel/frontpanel" ]; do
        ((++tries < 100)) || { echo "panelsim did not start" >&2; exit 1; }
        sleep 0.05
    done
}
# panelsim saves the flash to its file when it ends.
stop_panel() {
    if [ -n "$panel_pid" ]; then
        kill "$panel_pid" 2>/dev/null || :
        wait "$panel_pid" 2>/dev/null || :
        panel_pid=
    fi
}
sessions() { grep -c '^session:' "$work/panel/panelsim.log" || :; }
# A flash of random bytes, whose firmware answers panelsim's --version: it carries no
# version of its own.
fresh_flash() { head -c 8192 /dev/urandom >"$flash"; }
# The packets of the first block's two reads, with which -c begins programming a panel that
# runs an older version or none, before the 16 reads of the bootloader area.
compared=2
# Leaves the flash as a programming run of IMAGE leaves it that ended after BLOCKS blocks:
# those hold the image, the rest of the application area something else.
interrupted() { # IMAGE BLOCKS
    { head -c $(($2 * 64)) "$1"; head -c $((7680 - $2 * 64)) /dev/urandom; tail -c 512 "$flash"; } \
        >"$work/interrupted.bin"
    mv "$work/interrupted.bin" "$flash"
}

# A firmware image of SIZE bytes that answers VERSION once programmed: random bytes after
# the version's text, which panelsim's firmware reads from its flash.
firmware() { # FILE VERSION SIZE
    { printf 'FWVER=%s' "$2"; head -c $(($3 - 10)) /dev/urandom; } >"$1"
}
firmware "$work/image.bin" 0106 3000
firmware "$work/other.bin" 0105 2000
# A third image, carried as S-records by an artifact and as Intel HEX by a .swu.
firmware "$work/third.bin" 0108 2500
objcopy -I binary -O srec "$work/third.bin" "$work/third.srec"
objcopy -I binary -O ihex "$work/third.bin" "$work/third.hex"
# Built as version 0105 and shipped as 0106.
firmware "$work/mislabelled.bin" 0105 3000

echo "== Mender"
mender_run() { # DATA_DIR LOG COMMAND...
    mender --no-syslog -c "$work/mender.conf" -d "$1" "${@:3}" >>"$2" 2>&1
}
# A fresh client for each case: a store of its own, the same device type.
mender_case() { # NAME
    mkdir -p "$work/$1"
    echo "device_type=fleet-test" >"$work/$1/device_type"
}
echo '{}' >"$work/mender.conf"
deploy/mender/make-artifact "$work/image.bin" 0106 fleet-test "$work/0106.mender" >/dev/null
deploy/mender/make-artifact "$work/other.bin" 0105 fleet-test "$work/0105.mender" >/dev/null
deploy/mender/make-artifact "$work/third.srec" 0108 fleet-test "$work/0108.mender" >/dev/null
deploy/mender/make-artifact "$work/mislabelled.bin" 0106 fleet-test "$work/mislabelled.mender" \
    >/dev/null

mender_case install
fresh_flash
start_panel --version 0104
status=0
mender_run "$work/install" "$work/install.log" install "$work/0106.mender" || status=$?
check "an artifact of a newer version installs" [ "$status" -eq 0 ]
check "... its module logs it, with the line's counts" logged "panel-firmware: install of version \
0106: done (47 blocks programmed, 0 already held the image, version 0106 running; line [0-9.]* s, \
answers lost 0, reconnections 0, reads repeated 0)" "$work/install.log"
mender_run "$work/install" "$work/install.log" commit || status=$?
check "... and commits" [ "$status" -eq 0 ]
check "... once the panel is found to run its version" \
    logged "version check of 0106: done (the panel runs version 0106;" "$work/install.log"
check "... and to hold the image" \
    logged "check of version 0106's image: done (all 47 blocks hold the image;" "$work/install.log"
mender_run "$work/install" "$work/install.provides" show-provides || :
check "... and the client reports its version" \
    logged '^rootfs-image.panel-firmware.version=0106$' "$work/install.provides"
stop_panel
check "... and the panel's flash holds the image" cmp -s -n 3000 "$work/image.bin" "$flash"

mender_case current
cp "$flash" "$work/before.bin"
start_panel --version 0104
before=$(sessions)
status=0
mender_run "$work/current" "$work/current.log" install "$work/0106.mender" || status=$?
check "an artifact of the version the panel runs succeeds" [ "$status" -eq 0 ]
check "... its module logs that nothing was programmed" logged \
    "install of version 0106: the panel already runs version 0106, this one or a newer one" \
    "$work/current.log"
mender_run "$work/current" "$work/current.log" commit || status=$?
check "... and commits" [ "$status" -eq 0 ]
stop_panel
# The read-out for the backup is the one session: the panel runs a version at least as new,
# which does not hold this image, so the commit compares nothing.
check "... and programs nothing, nor compares" [ "$(sessions)" -eq $((before + 1)) ]
check "... the flash is as it was" cmp -s "$work/before.bin" "$flash"

mender_case resumed
# A panel left in its bootloader by an install of the same image that ended after 20 of its
# 47 blocks. The tool's output is reworded: the backup's account, not its words, says where
# the panel was found.
fresh_flash
interrupted "$work/image.bin" 20
start_panel --bootloader --version 0104
touch "$work/reword"
status=0
mender_run "$work/resumed" "$work/resumed.log" install "$work/0106.mender" || status=$?
mender_run "$work/resumed" "$work/resumed.log" commit || status=$?
rm "$work/reword"
check "an install on a panel in its bootloader succeeds, whatever the tool's words" \
    [ "$status" -eq 0 ]
check "... programming only the blocks that differ" logged \
    "install of version 0106: done (27 blocks programmed, 20 already held the image" \
    "$work/resumed.log"
check "... of a tool whose words were reworded" logged "EXIT FLASHMODE" "$work/resumed.log"
stop_panel
check "... and the panel's flash holds the image" cmp -s -n 3000 "$work/image.bin" "$flash"

mender_case unconfirmed
fresh_flash
cp "$flash" "$work/before.bin"
start_panel --version 0104
status=0
mender_run "$work/unconfirmed" "$work/unconfirmed.log" install "$work/0105.mender" || status=$?
installed=$status
stop_panel
# The block at 0x40 reads wrong alike, twice: the comparison finds it different.
start_panel --version 0104 --fault-block 40 --fault-reads 2 --fault-corrupt
mender_run "$work/unconfirmed" "$work/unconfirmed.log" commit || status=$?
check "a panel that does not compare equal to the installed image fails the commit" \
    [ "$installed/$status" = 0/1 ]
check "... its module logs why" logged "check of version 0105's image failed: status 1, the panel \
does not hold the image (1 of 32 blocks differ from it;" "$work/unconfirmed.log"
check "... Mender rolls back" logged "panel-firmware: rollback to the backup: done" \
    "$work/unconfirmed.log"
mender_run "$work/unconfirmed" "$work/unconfirmed.provides" show-provides || :
check "... the client does not report the new version" \
    not_logged "panel-firmware.version=0105" "$work/unconfirmed.provides"
stop_panel
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

mender_case rollback
fresh_flash
cp "$flash" "$work/before.bin"
# Silent in the middle of programming the image's 32 blocks: after the backup's 257 packets
# (two reads of each of the 128 blocks and the exit), the first block's two reads, the 16
# reads of the bootloader area and 15 blocks' erase and two writes; the sixteenth block's
# erase is carried out, not answered. The failing run's own reconnection finds the panel
# silent still; the rollback's run finds it answering again, as a power-cycled panel would.
start_panel --version 0104 --stop-after $((257 + compared + 16 + 15 * 3)) --resume-at-request 2
status=0
mender_run "$work/rollback" "$work/rollback.log" install "$work/0105.mender" || status=$?
check "a panel that stops answering fails the install" [ "$status" -ne 0 ]
check "... its module logs why, with the tool's message and the answers lost" logged "install of \
version 0105 failed: status 3, the panel cannot be reached or stopped answering (No answer from \
Frontpanel, aborting; line [0-9.]* s, answers lost [1-9][0-9]*, reconnections [1-9]" \
    "$work/rollback.log"
check "... Mender rolls back, programming the blocks that differ from the backup" \
    logged "rollback to the backup: done (16 blocks programmed, 104 already held the image" \
    "$work/rollback.log"
mender_run "$work/rollback" "$work/rollback.provides" show-provides || :
check "... the client does not report the new version" \
    not_logged "panel-firmware.version=0105" "$work/rollback.provides"
stop_panel
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

mender_case mislabelled
fresh_flash
cp "$flash" "$work/before.bin"
start_panel --version 0104
status=0
mender_run "$work/mislabelled" "$work/mislabelled.log" install "$work/mislabelled.mender" ||
    status=$?
check "an artifact of 0106 whose image runs as 0105 fails the install" [ "$status" -ne 0 ]
check "... its module logs why, with the tool's message" logged "install of version 0106 failed: \
status 4, the panel does not run the image after programming: it is not that version or does not \
start (Frontpanel version 0105 is older than 0106" "$work/mislabelled.log"
check "... Mender rolls back, programming the image's blocks" logged "rollback to the backup: done \
(47 blocks programmed, 73 already held the image, version 0104 running;" "$work/mislabelled.log"
mender_run "$work/mislabelled" "$work/mislabelled.provides" show-provides || :
check "... the client does not report the new version" \
    not_logged "panel-firmware.version=0106" "$work/mislabelled.provides"
stop_panel
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

# The inventory script asks the panel what it runs, and reports the line's counts of the last
# install, the mislabelled one, as the module kept them.
inventory=deploy/mender/mender-inventory-panel-firmware
start_panel --version 0104
"$inventory" >"$work/inventory" 2>"$work/inventory.err" || :
check "the inventory reports the version the panel answers" diff - "$work/inventory" <<EXPECTED
panel_firmware_version=0104
panel_firmware_query=answered
panel_last_update_status=4
panel_last_update_answers_lost=0
panel_last_update_reconnections=0
panel_last_update_reads_repeated=0
panel_last_update_line_seconds=$(sed -n 's/^ *"line_seconds": \([0-9.]*\),*$/\1/p' "$last_update")
EXPECTED
check "... printing nothing else" [ ! -s "$work/inventory.err" ]
flock "$link" "$inventory" >"$work/inventory" 2>&1 || :
check "... a panel whose line another program holds as busy" \
    [ "$(grep panel_firmware_ "$work/inventory")" = panel_firmware_query=busy ]
stop_panel
start_panel --bootloader --version 0104
"$inventory" >"$work/inventory" 2>&1 || :
check "... a panel in its bootloader as not answering" \
    [ "$(grep panel_firmware_ "$work/inventory")" = panel_firmware_query=no-answer ]
stop_panel
"$inventory" >"$work/inventory" 2>&1 || :
check "... and so a line that is not there" \
    [ "$(grep panel_firmware_ "$work/inventory")" = panel_firmware_query=no-answer ]

mender_case records
fresh_flash
start_panel --version 0104
status=0
mender_run "$work/records" "$work/records.log" install "$work/0108.mender" || status=$?
check "an artifact carrying S-records installs" [ "$status" -eq 0 ]
mender_run "$work/records" "$work/records.log" commit || :
stop_panel
check "... and the panel's flash holds their image" cmp -s -n 2500 "$work/third.bin" "$flash"

echo "== SWUpdate"
# The handler runs in the SWUpdate daemon, as on a device, and a local client hands it each
# .swu. The outcome is taken from the daemon's log: swupdate -i and swupdate-client poll for
# it and now and then stop polling a second into a long script, ending as failed. SWUpdate
# keeps its sockets and copies in TMPDIR, apart from any swupdate of the machine; the image
# goes where a device would keep it.
export TMPDIR=$work/swupdate
daemon_log=$work/swupdate-daemon.log
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=fleet-test \
    -addext keyUsage=digitalSignature -addext extendedKeyUsage=emailProtection \
    -keyout "$work/swu.key" -out "$work/swu.crt" 2>/dev/null
stdbuf -oL -eL swupdate -v -H fleet-test:1.0 -k "$work/swu.crt" >"$daemon_log" 2>&1 &
swupdate_pid=$!
until [ -S "$TMPDIR/sockinstctrl" ]; do
    kill -0 "$swupdate_pid" || { echo "swupdate did not start" >&2; exit 1; }
    sleep 0.1
done
swu() { # OUTPUT IMAGE VERSION
    deploy/swupdate/make-swu -k "$work/swu.key" -c "$work/swu.crt" -r 1.0 \
        -p "$work/device/panel-firmware.${2##*.}" "$2" "$3" "$1"
}
# Installs SWU and copies what the daemon logged to LOG; returns 0 when the update succeeded.
swupdate_run() { # SWU LOG
    local offset tries=0
    offset=$(stat -c %s "$daemon_log")
    swupdate-client -q "$1" >/dev/null 2>&1 || :
    until tail -c +$((offset + 1)) "$daemon_log" >"$2" && logged "Waiting for requests" "$2"; do
        ((++tries < 600)) || { echo "swupdate did not finish" >&2; return 2; }
        sleep 0.1
    done
    logged "SWUPDATE successful" "$2"
}

fresh_flash
start_panel --version 0104
status=0
swu "$work/0106.swu" "$work/image.bin" 0106
swupdate_run "$work/0106.swu" "$work/swupdate.log" || status=$?
check "a signed .swu installs" [ "$status" -eq 0 ]
check "... its handler logs it, with the line's counts" logged "panel-firmware: install of version \
0106: done (47 blocks programmed, 0 already held the image, version 0106 running; line [0-9.]* s, \
answers lost 0, reconnections 0, reads repeated 0)" "$work/swupdate.log"
check "... and that the panel holds the image" \
    logged "check of version 0106's image: done (all 47 blocks hold the image;" "$work/swupdate.log"
stop_panel
check "... and the panel's flash holds the image" cmp -s -n 3000 "$work/image.bin" "$flash"

# Silent after the backup's 257 packets, the first block's two reads, the 16 reads of the
# bootloader area and 20 of the image's 32 blocks (the 21st block's erase carried out, not
# answered); answering again from the rollback's run on.
fresh_flash
cp "$flash" "$work/before.bin"
start_panel --version 0104 --stop-after $((257 + compared + 16 + 20 * 3)) --resume-at-request 2
status=0
swu "$work/0105.swu" "$work/other.bin" 0105
swupdate_run "$work/0105.swu" "$work/swupdate-rollback.log" || status=$?
stop_panel
check "a .swu whose programming fails is refused" [ "$status" -ne 0 ]
check "... its handler logs why" logged "install of version 0105 failed: status 3" \
    "$work/swupdate-rollback.log"
check "... and rolls back, programming the blocks that differ from the backup" logged \
    "rollback to the backup: done (21 blocks programmed, 99 already held the image" \
    "$work/swupdate-rollback.log"
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

# The comparison's two reads of the block at 0x40 come back wrong alike. They follow the
# backup's 257 packets, the 155 of programming 32 blocks (the first block's two reads, 16
# of the bootloader area, 32 erases and twice as many writes, 32 reads, 8 of the bootloader
# area, the exit) and the comparison's read of the block at 0.
fresh_flash
cp "$flash" "$work/before.bin"
start_panel --version 0104 --corrupt answer:$((257 + 155 + 1)):1 \
    --corrupt answer:$((257 + 155 + 2)):1
status=0
swupdate_run "$work/0105.swu" "$work/swupdate-unconfirmed.log" || status=$?
stop_panel
check "a .swu whose image the panel does not hold after programming is refused" \
    [ "$status" -ne 0 ]
check "... its handler logs why" logged "check of version 0105's image failed: status 1, the \
panel does not hold the image (1 of 32 blocks differ from it;" "$work/swupdate-unconfirmed.log"
check "... and rolls back" logged "panel-firmware: rollback to the backup: done" \
    "$work/swupdate-unconfirmed.log"
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

start_panel --version 0104
before=$(sessions)
status=0
swu "$work/0104.swu" "$work/other.bin" 0104
swupdate_run "$work/0104.swu" "$work/swupdate-current.log" || status=$?
stop_panel
check "a .swu of the version the panel runs succeeds" [ "$status" -eq 0 ]
check "... its handler logs that nothing was programmed" logged \
    "install of version 0104: the panel already runs version 0104, this one or a newer one" \
    "$work/swupdate-current.log"
check "... and programs nothing, nor compares" [ "$(sessions)" -eq $((before + 1)) ]

# Left in its bootloader by a run that programmed 10 of the image's 40 blocks; the tool's
# output reworded.
fresh_flash
interrupted "$work/third.bin" 10
start_panel --bootloader --version 0104
touch "$work/reword"
status=0
swu "$work/0108.swu" "$work/third.hex" 0108
swupdate_run "$work/0108.swu" "$work/swupdate-hex.log" || status=$?
rm "$work/reword"
stop_panel
check "a .swu carrying Intel HEX installs on a panel in its bootloader, whatever the tool's words" \
    [ "$status" -eq 0 ]
check "... programming only the blocks that differ" logged \
    "install of version 0108: done (30 blocks programmed, 10 already held the image" \
    "$work/swupdate-hex.log"
check "... of a tool whose words were reworded" logged "EXIT FLASHMODE" "$work/swupdate-hex.log"
check "... and the panel's flash holds its image" cmp -s -n 2500 "$work/third.bin" "$flash"

# A panel in its bootloader whose flash holds no firmware that starts (its first bytes
# erased), given an image that runs as 0105 in a .swu of 0106: programmed, found running
# 0105, rolled back without asking a firmware the backup never had. The version is not
# asked before programming: the backup's read-out would have started a firmware half
# written.
{ printf '\377\377'; head -c 8190 /dev/urandom; } >"$flash"
cp "$flash" "$work/before.bin"
start_panel --bootloader --version 0104
status=0
swu "$work/mislabelled.swu" "$work/mislabelled.bin" 0106
swupdate_run "$work/mislabelled.swu" "$work/swupdate-mislabelled.log" || status=$?
stop_panel
check "a .swu of 0106 whose image runs as 0105 is refused" [ "$status" -ne 0 ]
check "... its handler logs why" logged "install of version 0106 failed: the panel runs version \
0105 after programming, older than 0106: the image is not that version" \
    "$work/swupdate-mislabelled.log"
check "... and rolls back, the backup's firmware not asked for" logged "rollback to the backup: \
done (47 blocks programmed, 73 already held the image; line" "$work/swupdate-mislabelled.log"
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

# A description changed after signing, and an image changed after the description.
tamper_description() {
    (cd "$1" && sed -i 's/version = "0106"/version = "0107"/' sw-description)
}
tamper_image() {
    printf '\377' | dd of="$1/panel-firmware.bin" bs=1 seek=100 conv=notrunc status=none
}
for tamper in tamper_description tamper_image; do
    rm -rf "$work/unpacked" && mkdir "$work/unpacked"
    (cd "$work/unpacked" && cpio -i --quiet <"$work/0106.swu")
    "$tamper" "$work/unpacked"
    (cd "$work/unpacked" && printf '%s\n' sw-description sw-description.sig \
        panel-firmware.bin panel-firmware.sh | cpio -o -H crc --quiet) >"$work/tampered.swu"
    cp "$flash" "$work/before.bin"
    start_panel --version 0104
    before=$(sessions)
    status=0
    swupdate_run "$work/tampered.swu" "$work/$tamper.log" || status=$?
    stop_panel
    check "a .swu with ${tamper#tamper_} tampered with is refused" [ "$status" -ne 0 ]
    check "... before the panel is touched" [ "$(sessions)" -eq "$before" ]
    check "... and before its handler runs" not_logged "panel-firmware:" "$work/$tamper.log"
    check "... and the flash is as it was" cmp -s "$work/before.bin" "$flash"
done

if [ "$failures" -gt 0 ]; then
    for log in "$work"/*.log "$work/panel/panelsim.log"; do
        echo "--- $log" >&2
        tr '\r' '\n' <"$log" | tail -n 40 >&2
    done
    echo "fleet updates: $failures check(s) failed" >&2
    exit 1
fi
echo "fleet updates OK"
