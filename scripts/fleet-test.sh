#!/usr/bin/env bash
# The fleet-update glue with the real update clients, against panelsim: the Mender update
# module panel-firmware through `mender install` and `mender commit`, the SWUpdate handler
# through `swupdate -i` of a signed .swu.
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
failures=0

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
# device's /etc/default/panelflash names its port.
mkdir -p "$work/panel" "$work/swupdate"
export PANELFLASH=$root/$build/panelflash
export PANELFLASH_DEFAULTS=$work/panelflash.default
echo "DEVICE=$work/panel/frontpanel" >"$PANELFLASH_DEFAULTS"
flash=$work/panel/flash.bin

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
# Leaves the flash as a programming run of IMAGE leaves it that ended after BLOCKS blocks:
# those hold the image, the rest of the application area something else.
interrupted() { # IMAGE BLOCKS
    { head -c $(($2 * 64)) "$1"; head -c $((7680 - $2 * 64)) /dev/urandom; tail -c 512 "$flash"; } \
        >"$work/interrupted.bin"
    mv "$work/interrupted.bin" "$flash"
}

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

head -c 3000 /dev/urandom >"$work/image.bin"
head -c 2000 /dev/urandom >"$work/other.bin"
# A third image, carried as S-records by an artifact and as Intel HEX by a .swu.
head -c 2500 /dev/urandom >"$work/third.bin"
objcopy -I binary -O srec "$work/third.bin" "$work/third.srec"
objcopy -I binary -O ihex "$work/third.bin" "$work/third.hex"

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
deploy/mender/make-artifact "$work/other.bin" 0104 fleet-test "$work/0104.mender" >/dev/null
deploy/mender/make-artifact "$work/other.bin" 0105 fleet-test "$work/0105.mender" >/dev/null
deploy/mender/make-artifact "$work/third.srec" 0107 fleet-test "$work/0107.mender" >/dev/null

mender_case install
start_panel --version 0104
status=0
mender_run "$work/install" "$work/install.log" install "$work/0106.mender" || status=$?
check "an artifact of a newer version installs" [ "$status" -eq 0 ]
check "... its module logs it" logged "panel-firmware: install of version 0106: done" \
    "$work/install.log"
mender_run "$work/install" "$work/install.log" commit || status=$?
check "... and commits" [ "$status" -eq 0 ]
check "... once the panel is found to hold the image" \
    logged "check of version 0106's image: done (All 47 blocks hold the image)" "$work/install.log"
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
mender_run "$work/current" "$work/current.log" install "$work/0104.mender" || status=$?
check "an artifact of the version the panel runs succeeds" [ "$status" -eq 0 ]
check "... its module logs that nothing was programmed" \
    logged "install of version 0104: the panel already runs this version" "$work/current.log"
mender_run "$work/current" "$work/current.log" commit || status=$?
check "... and commits" [ "$status" -eq 0 ]
stop_panel
# The read-out for the backup is the one session: the panel runs a version at least as new,
# which does not hold this image, so the commit compares nothing.
check "... and programs nothing, nor compares" [ "$(sessions)" -eq $((before + 1)) ]
check "... the flash is as it was" cmp -s "$work/before.bin" "$flash"

mender_case resumed
# A panel left in its bootloader by an install of the same image that ended after 20 of its
# 47 blocks.
interrupted "$work/image.bin" 20
start_panel --bootloader --version 0104
status=0
mender_run "$work/resumed" "$work/resumed.log" install "$work/0106.mender" || status=$?
mender_run "$work/resumed" "$work/resumed.log" commit || status=$?
check "an install on a panel in its bootloader succeeds" [ "$status" -eq 0 ]
check "... programming only the blocks that differ" logged \
    "install of version 0106: done (27 blocks programmed, 20 already held the image)" \
    "$work/resumed.log"
stop_panel
check "... and the panel's flash holds the image" cmp -s -n 3000 "$work/image.bin" "$flash"

mender_case unconfirmed
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
does not hold the image (1 of 32 blocks differ from the image)" "$work/unconfirmed.log"
check "... Mender rolls back" logged "panel-firmware: rollback to the backup: done" \
    "$work/unconfirmed.log"
mender_run "$work/unconfirmed" "$work/unconfirmed.provides" show-provides || :
check "... the client does not report the new version" \
    not_logged "panel-firmware.version=0105" "$work/unconfirmed.provides"
stop_panel
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

mender_case rollback
cp "$flash" "$work/before.bin"
# Silent in the middle of programming the image's 32 blocks: after the backup's 257 packets
# (two reads of each of the 128 blocks and the exit), the 16 reads of the bootloader area
# and 15 blocks' erase and two writes; the sixteenth block's erase is carried out, not
# answered. The failing run's own reconnection finds the panel silent still; the rollback's
# run finds it answering again, as a power-cycled panel would.
start_panel --version 0104 --stop-after $((257 + 16 + 15 * 3)) --resume-at-request 2
status=0
mender_run "$work/rollback" "$work/rollback.log" install "$work/0105.mender" || status=$?
check "a panel that stops answering fails the install" [ "$status" -ne 0 ]
check "... its module logs why" \
    logged "install of version 0105 failed: status 3" "$work/rollback.log"
check "... Mender rolls back, programming the blocks that differ from the backup" \
    logged "rollback to the backup: done (16 blocks programmed, 104 already held the image)" \
    "$work/rollback.log"
mender_run "$work/rollback" "$work/rollback.provides" show-provides || :
check "... the client does not report the new version" \
    not_logged "panel-firmware.version=0105" "$work/rollback.provides"
stop_panel
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

mender_case records
start_panel --version 0104
status=0
mender_run "$work/records" "$work/records.log" install "$work/0107.mender" || status=$?
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

cp "$flash" "$work/before.bin"
start_panel --version 0104
status=0
swu "$work/0106.swu" "$work/other.bin" 0106
swupdate_run "$work/0106.swu" "$work/swupdate.log" || status=$?
check "a signed .swu installs" [ "$status" -eq 0 ]
check "... its handler logs it" logged "panel-firmware: install of version 0106: done" \
    "$work/swupdate.log"
check "... and that the panel holds the image" \
    logged "check of version 0106's image: done (All 32 blocks hold the image)" "$work/swupdate.log"
stop_panel
check "... and the panel's flash holds the image" cmp -s -n 2000 "$work/other.bin" "$flash"

# Silent after the backup's 257 packets, the 16 reads of the bootloader area and 20 of the
# image's 47 blocks (the 21st block's erase carried out, not answered); answering again from
# the rollback's run on.
cp "$flash" "$work/before.bin"
start_panel --version 0104 --stop-after $((257 + 16 + 20 * 3)) --resume-at-request 2
status=0
swu "$work/0105.swu" "$work/image.bin" 0105
swupdate_run "$work/0105.swu" "$work/swupdate-rollback.log" || status=$?
stop_panel
check "a .swu whose programming fails is refused" [ "$status" -ne 0 ]
check "... its handler logs why" logged "install of version 0105 failed: status 3" \
    "$work/swupdate-rollback.log"
check "... and rolls back, programming the blocks that differ from the backup" logged \
    "rollback to the backup: done (21 blocks programmed, 99 already held the image)" \
    "$work/swupdate-rollback.log"
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

# The comparison's two reads of the block at 0x40 come back wrong alike. They follow the
# backup's 257 packets, the 213 of programming 47 blocks (16 reads of the bootloader area,
# 47 erases and twice as many writes, 47 reads, 8 of the bootloader area, the exit) and the
# comparison's read of the block at 0.
cp "$flash" "$work/before.bin"
start_panel --version 0104 --corrupt answer:$((257 + 213 + 1)):1 \
    --corrupt answer:$((257 + 213 + 2)):1
status=0
swupdate_run "$work/0105.swu" "$work/swupdate-unconfirmed.log" || status=$?
stop_panel
check "a .swu whose image the panel does not hold after programming is refused" \
    [ "$status" -ne 0 ]
check "... its handler logs why" logged "check of version 0105's image failed: status 1, the \
panel does not hold the image (1 of 47 blocks differ from the image)" \
    "$work/swupdate-unconfirmed.log"
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
    "install of version 0104: the panel already runs this version" "$work/swupdate-current.log"
check "... and programs nothing, nor compares" [ "$(sessions)" -eq $((before + 1)) ]

# Left in its bootloader by a run that programmed 10 of the image's 40 blocks.
interrupted "$work/third.bin" 10
start_panel --bootloader --version 0104
status=0
swu "$work/0108.swu" "$work/third.hex" 0108
swupdate_run "$work/0108.swu" "$work/swupdate-hex.log" || status=$?
stop_panel
check "a .swu carrying Intel HEX installs on a panel in its bootloader" [ "$status" -eq 0 ]
check "... programming only the blocks that differ" logged \
    "install of version 0108: done (30 blocks programmed, 10 already held the image)" \
    "$work/swupdate-hex.log"
check "... and the panel's flash holds its image" cmp -s -n 2500 "$work/third.bin" "$flash"

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
