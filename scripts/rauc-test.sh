#!/usr/bin/env bash
# The RAUC hook with Debian's rauc against panelsim: bundles made by make-bundle, and one
# from the example manifest, installed by `rauc install` through a RAUC service whose slot
# is the example's, on a panel that runs an older version, one that runs the bundle's, a
# bundle refused by its install-check, and a panel that stops answering mid-way, this one
# with the tool's standard output reworded: the hook reads what a run did from its account
# (--json), never from its words.
#   scripts/rauc-test.sh [BUILD_DIR]      (default build/fleet, configured and built here)
# RAUC_KEEP=1 keeps the temporary directory with the logs of RAUC and panelsim.
# Needs root: RAUC mounts each bundle on a loop device. The test runs a D-Bus system bus and
# a RAUC service of its own, their sockets, configuration and state in its temporary
# directory, and stops them on exit; the machine's own bus and /etc/rauc are left alone.
# Installs rauc, squashfs-tools and dbus when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/fleet}

if [ "$(id -u)" -ne 0 ]; then
    echo "RAUC updates: skipped, not root (RAUC mounts each bundle on a loop device)"
    exit 0
fi
scripts/deps.sh rauc
cmake --preset release -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target panelflash panelsim >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/rauc-test.XXXXXX")
panel_pid=
bus_pid=
service_pid=
# shellcheck source=scripts/fleet-common.sh
. scripts/fleet-common.sh

stop() { # PID
    if [ -n "$1" ]; then
        kill "$1" 2>/dev/null || :
        wait "$1" 2>/dev/null || :
    fi
}
# panelsim saves the flash to its file when it ends.
stop_panel() {
    stop "$panel_pid"
    panel_pid=
    rm -f "$link"
}
cleanup() {
    stop "$service_pid"
    stop "$bus_pid"
    stop_panel
    # A bundle the stopped service left mounted.
    ! mountpoint -q "$work/mount/bundle" || umount "$work/mount/bundle" || :
    [ -n "${RAUC_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# The hook runs this build's tool on panelsim's line, named in the settings file as a
# device's /etc/default/panelflash names its port; RAUC's service hands it this environment.
# The tool is run through the rewording wrapper.
mkdir -p "$work/panel" "$work/mount" "$work/data"
make_tool_wrapper
link=$work/panel/frontpanel
echo "DEVICE=$link" >"$PANELFLASH_DEFAULTS"
flash=$work/panel/flash.bin
head -c 8192 /dev/urandom >"$flash"

# Waits until COMMAND succeeds, for 30 s at most, and while PROGRAM's process PID lives.
wait_for() { # PROGRAM PID COMMAND...
    local tries=0
    until "${@:3}"; do
        if ! kill -0 "$2" 2>/dev/null || ((++tries > 600)); then
            echo "$1 did not start" >&2
            exit 1
        fi
        sleep 0.05
    done
}
start_panel() { # PANELSIM_OPTION...
    "$root/$build/sim/panelsim" --link "$link" --flash "$flash" --report "$@" \
        >>"$work/panel/panelsim.log" 2>&1 &
    panel_pid=$!
    wait_for panelsim "$panel_pid" test -L "$link"
}
sessions() { grep -c '^session:' "$work/panel/panelsim.log" || :; }
# A line in place of the panel that only listens, counting in $work/heard the bytes it is sent.
start_listener() {
    python3 - "$link" "$work/heard" <<'LISTENER' &
import os, pty, sys
master, slave = pty.openpty()
os.symlink(os.ttyname(slave), sys.argv[1])
heard = 0
while True:
    heard += len(os.read(master, 4096))
    with open(sys.argv[2], "w") as count:
        count.write(str(heard))
LISTENER
    panel_pid=$!
    wait_for listener "$panel_pid" test -L "$link"
}

# A system bus of the test's own, where root may own RAUC's name and call it.
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="root"/>
    <allow own="de.pengutronix.rauc"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/bus.log" 2>&1 &
bus_pid=$!
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
bus_call() { # DESTINATION PATH METHOD ARGUMENT...
    dbus-send --system --print-reply --dest="$1" "$2" "$3" "${@:4}" 2>/dev/null
}
owned() { bus_call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
    string:"$1" | grep -q 'boolean true'; }
wait_for dbus-daemon "$bus_pid" owned org.freedesktop.DBus

# The device: the example's panel slot on panelsim's line, beside the root file system it
# booted from (RAUC wants to know the booted slot; the kernel command line's rauc.slot= is
# given to the service instead). The bundles' compatible= is the example manifest's.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=rauc-test \
    -keyout "$work/bundle.key" -out "$work/bundle.crt" 2>/dev/null
: >"$work/rootfs.img"
{
    cat <<CONF
[system]
compatible=my-device
bootloader=noop
mountprefix=$work/mount
data-directory=$work/data

[keyring]
path=$work/bundle.crt

[slot.rootfs.0]
device=$work/rootfs.img
type=raw
bootname=A
readonly=true

CONF
    sed "s|^device=/dev/frontpanel$|device=$link|" deploy/rauc/system.conf
} >"$work/system.conf"
service_log=$work/rauc-service.log
rauc --conf="$work/system.conf" service --override-boot-slot=A >"$service_log" 2>&1 &
service_pid=$!
wait_for "rauc service" "$service_pid" owned de.pengutronix.rauc

# Installs BUNDLE; its client's output goes to LOG, and what the service and the hook logged
# meanwhile to LOG.service. Returns rauc install's status.
rauc_install() { # BUNDLE LOG
    local offset status=0
    offset=$(stat -c %s "$service_log")
    rauc install "$1" >"$2" 2>&1 || status=$?
    tail -c +$((offset + 1)) "$service_log" >"$2.service"
    return "$status"
}
last_error() {
    bus_call de.pengutronix.rauc / org.freedesktop.DBus.Properties.Get \
        string:de.pengutronix.rauc.Installer string:LastError |
        sed -n 's/.*variant *string "\(.*\)"$/\1/p'
}
# What RAUC records for the panel's slot: the version of the bundle last installed there,
# and the slot's status.
slot_status() {
    (
        eval "$(rauc status --detailed --output-format=shell 2>/dev/null)"
        for slot in $RAUC_SLOTS; do
            class=RAUC_SLOT_CLASS_$slot
            version=RAUC_SLOT_STATUS_BUNDLE_VERSION_$slot
            status=RAUC_SLOT_STATUS_STATUS_$slot
            [ "${!class}" != panel ] || echo "${!version} ${!status}"
        done
    )
}
bundle() { # IMAGE VERSION OUTPUT
    deploy/rauc/make-bundle -k "$work/bundle.key" -c "$work/bundle.crt" -C my-device "$@" \
        >/dev/null 2>&1
}

# Firmware images that answer their version once programmed: random bytes after the
# version's text, which panelsim's firmware reads from its flash.
{ printf FWVER=0106; head -c 2990 /dev/urandom; } >"$work/image.bin"
{ printf FWVER=0105; head -c 1990 /dev/urandom; } >"$work/other.bin"
bundle "$work/image.bin" 0106 "$work/0106.raucb"
bundle "$work/other.bin" 0105 "$work/0105.raucb"

echo "== RAUC"
cp "$flash" "$work/before.bin"
start_panel --version 0104
status=0
rauc_install "$work/0106.raucb" "$work/install.log" || status=$?
check "a bundle of a newer version installs" [ "$status" -eq 0 ]
check "... once the panel is found to hold the image" logged \
    "check of version 0106's image: done (all 47 blocks hold the image;" "$work/install.log.service"
check "... and RAUC records its version for the panel's slot" [ "$(slot_status)" = "0106 ok" ]
stop_panel
check "... and the panel's flash holds the image" cmp -s -n 3000 "$work/image.bin" "$flash"
check "... its bootloader area as it was" \
    cmp -s <(tail -c 512 "$work/before.bin") <(tail -c 512 "$flash")

# The example manifest as it stands, with the image of the version the panel runs.
mkdir "$work/example"
cp deploy/rauc/manifest.raucm deploy/rauc/panel-firmware.sh "$work/example/"
cp "$work/image.bin" "$work/example/panel-firmware.bin"
rauc bundle --cert="$work/bundle.crt" --key="$work/bundle.key" "$work/example" \
    "$work/example.raucb" >/dev/null 2>&1
start_panel --version 0106
before=$(sessions)
status=0
rauc_install "$work/example.raucb" "$work/current.log" || status=$?
check "a bundle of the version the panel runs, from the example manifest, succeeds" \
    [ "$status" -eq 0 ]
check "... its hook logs that nothing was programmed" logged \
    "install of version 0106: the panel already runs version 0106, this one or a newer one" \
    "$work/current.log.service"
stop_panel
# The read-out for the backup is the one session: the panel runs a version at least as new,
# which does not hold this image, so nothing is compared.
check "... and programs nothing, nor compares" [ "$(sessions)" -eq $((before + 1)) ]

# Refused before anything is installed: an Intel HEX image cut short, and a bundle for
# another system.
objcopy -I binary -O ihex "$work/image.bin" "$work/image.hex"
head -n 20 "$work/image.hex" >"$work/cut.hex"
bundle "$work/cut.hex" 0106 "$work/cut.raucb"
deploy/rauc/make-bundle -k "$work/bundle.key" -c "$work/bundle.crt" -C other-device \
    "$work/image.bin" 0106 "$work/other-device.raucb" >/dev/null 2>&1
for refused in cut:"panel-firmware.hex:20: no end record" \
    other-device:"the bundle is for 'other-device', this system is 'my-device'"; do
    name=${refused%%:*}
    rm -f "$work/heard"
    start_listener
    status=0
    rauc_install "$work/$name.raucb" "$work/$name.log" || status=$?
    stop_panel
    check "a bundle $name is refused" [ "$status" -ne 0 ]
    check "... by its install-check, which RAUC reports" logged "LastError: Installation error: \
Bundle rejected: Hook returned: panel-firmware: .*${refused#*:}" "$work/$name.log"
    check "... nothing having been sent to the panel's line" [ ! -s "$work/heard" ]
done

# Silent in the middle of programming the image's 32 blocks: after the backup's 257 packets
# (two reads of each of the 128 blocks and the exit), the first block's two reads, the 16
# reads of the bootloader area and 15 blocks' erase and two writes; the sixteenth block's
# erase is carried out, not answered. The failing run's own reconnection finds the panel
# silent still; the rollback's run finds it answering again, as a power-cycled panel would.
# The panel's flash carries no version: its firmware answers 0104. The tool's output is
# reworded.
head -c 8192 /dev/urandom >"$flash"
cp "$flash" "$work/before.bin"
start_panel --version 0104 --stop-after $((257 + 2 + 16 + 15 * 3)) --resume-at-request 2
touch "$work/reword"
status=0
rauc_install "$work/0105.raucb" "$work/rollback.log" || status=$?
rm "$work/reword"
check "a panel that stops answering fails the installation" [ "$status" -ne 0 ]
check "... RAUC reports the slot's hook failed" [ "$(last_error)" = "Installation error: \
Failed updating slot panel.0: failed to run slot hook: Child process exited with code 1" ]
check "... its hook logs why, with the tool's message" logged "install of version 0105 failed: \
status 3, the panel cannot be reached or stopped answering (No answer from Frontpanel, aborting;" \
    "$work/rollback.log.service"
check "... and rolls back, programming the blocks that differ from the backup" logged \
    "rollback to the backup: done (16 blocks programmed, 104 already held the image" \
    "$work/rollback.log.service"
check "... whatever the tool's words" logged "EXIT FLASHMODE" "$work/rollback.log.service"
# RAUC keeps the version installed before and marks the slot as being updated.
check "... and RAUC does not record the version for the panel's slot" \
    [ "$(slot_status)" = "0106 update" ]
stop_panel
check "... and the panel's flash is the backup again" cmp -s "$work/before.bin" "$flash"

if [ "$failures" -gt 0 ]; then
    for log in "$work"/*.log "$work"/*.service "$work/panel/panelsim.log"; do
        echo "--- $log" >&2
        tr '\r' '\n' <"$log" | tail -n 40 >&2
    done
    echo "RAUC updates: $failures check(s) failed" >&2
    exit 1
fi
echo "RAUC updates OK"
