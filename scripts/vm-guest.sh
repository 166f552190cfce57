#!/bin/sh
# /init of the initramfs that scripts/vm-test.sh boots: runs panelflash over the PL011 and
# over QEMU's FTDI USB-serial adapter, against panelsim on the host, and prints what each
# run gave as "@@ name value" lines on the virtio console, where the host checks them.
# Booted with guest=busybox-init, it hands over to busybox's init instead, whose inittab
# runs it again as the device's rcS ("/init rcS") and, once that is done, as "/init report";
# panelflash_version= on the kernel's command line then sets the boot-time update's VERSION.

export PATH=/bin
ADAPTER=/dev/ttyUSB0
LATENCY=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer

report() {
    echo "@@ $*"
}

# Waits up to 10 s for a path to appear (test -e) or, with "!", to go away.
wait_for() {
    tries=0
    while if [ "$1" = "!" ]; then [ -e "$2" ]; else [ ! -e "$1" ]; fi; do
        [ "$tries" -ge 1000 ] && return 1
        usleep 10000
        tries=$((tries + 1))
    done
}

# Waits up to 10 s for a run's output to show a pattern: the run has reached that stage.
wait_output() {
    tries=0
    until grep -q "$2" "/tmp/$1.out"; do
        [ "$tries" -ge 1000 ] && return 1
        usleep 10000
        tries=$((tries + 1))
    done
}

uptime_ms() {
    awk '{ printf "%d", $1 * 1000 }' /proc/uptime
}

# The run's messages, without the progress lines of each block, for whoever reads the log.
show() {
    echo "-- $1:"
    tr '\r' '\n' <"/tmp/$1.out" | grep -v -E '^(Program at|Read) |^ *$' | sed 's/^/   /'
}

start() {
    name=$1
    shift
    panelflash "$@" >"/tmp/$name.out" 2>&1 &
    pid=$!
}

finish() {
    wait "$pid"
    status=$?
    show "$name"
    report "$name.status $status"
}

run() {
    start "$@"
    finish
}

# The SHA-256 of as many bytes of a dump as the image has: what programming put there.
dump_sha256() {
    head -c "$(wc -c <"$2")" "$1" | sha256sum | cut -d ' ' -f 1
}

# The virtio console is a module in Debian's kernel: nothing can be said before it is in.
setup() {
    /bin/busybox --install -s /bin
    mount -t devtmpfs devtmpfs /dev
    mount -t proc proc /proc
    mount -t sysfs sysfs /sys
    insmod /lib/modules/virtio_mmio.ko
    insmod /lib/modules/virtio_console.ko
    tries=0
    until true 2>/dev/null >/dev/hvc0; do
        [ "$tries" -ge 1000 ] && poweroff -f
        usleep 10000
        tries=$((tries + 1))
    done
    exec >/dev/hvc0 2>&1
}

# The PL011 as the tool's built-in device. The host's panelsim answers version 0104 and
# falls silent halfway through the last read-out.
pl011() {
    ln -s ttyAMA0 /dev/frontpanel
    run pl011.info -i
    report "pl011.info.says $(grep 'Frontpanel version' /tmp/pl011.info.out)"
    run pl011.write -w /data/a.bin
    run pl011.read -r /tmp/pl011-a.dump
    report "pl011.read.sha256 $(dump_sha256 /tmp/pl011-a.dump /data/a.bin)"
    run pl011.current -c 104 -w /data/b.bin
    start pl011.older -c 105 -w /data/b.bin
    wait_output pl011.older 'Program at'
    older=$pid
    run pl011.lock -i
    report "pl011.lock.says $(tail -n 1 /tmp/pl011.lock.out)"
    name=pl011.older
    pid=$older
    finish
    run pl011.reread -r /tmp/pl011-b.dump
    report "pl011.reread.sha256 $(dump_sha256 /tmp/pl011-b.dump /data/b.bin)"
    mkdir /tmp/silent
    run pl011.silent -r /tmp/silent/dump.bin
    report "pl011.silent.files $(find /tmp/silent -mindepth 1 | wc -l)"
}

# The adapter appears once its driver is in; the kernel has no modules.dep, so each module
# is loaded after those it needs.
adapter() {
    for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        insmod "/lib/modules/$module.ko"
    done
    wait_for "$ADAPTER"
    report "usb.chip $(dmesg | grep -o 'Detected FT[0-9A-Z]*' | cut -d ' ' -f 2)"
    # QEMU's adapter reports a latency timer of 0 ms; a real FT232 comes up with 16.
    echo 16 >"$LATENCY"
    report "usb.latency.before $(cat "$LATENCY")"
    start usb.write -d "$ADAPTER" -w /data/a.bin
    wait_output usb.write 'Program at'
    report "usb.latency.during $(cat "$LATENCY")"
    finish
    report "usb.latency.after $(cat "$LATENCY")"
    run usb.read -d "$ADAPTER" -r /tmp/usb.dump
    report "usb.read.sha256 $(dump_sha256 /tmp/usb.dump /data/a.bin)"
}

# The host removes the adapter once the read-out is under way; the tool's time from the
# removal to its end is measured here.
unplug() {
    mkdir /tmp/unplug
    start usb.unplug -d "$ADAPTER" -r /tmp/unplug/dump.bin
    wait_output usb.unplug 'Read '
    report "unplug-now"
    wait_for ! "$ADAPTER"
    removed=$(uptime_ms)
    finish
    report "usb.unplug.ms $(($(uptime_ms) - removed))"
    report "usb.unplug.files $(find /tmp/unplug -mindepth 1 | wc -l)"
}

# As a device's /etc/init.d/rcS: syslogd first, then each S??* script of /etc/init.d
# started in order, its exit status reported.
rcs() {
    syslogd -n -O /tmp/messages &
    wait_for /dev/log
    for script in /etc/init.d/S??*; do
        [ -x "$script" ] || continue
        "$script" start
        report "busybox-init.${script##*/}.status $?"
    done
}

# What the init script logged to syslog (once syslogd has written it), then the end.
busybox_report() {
    tries=0
    until grep -q ' panelflash-update: ' /tmp/messages 2>/dev/null; do
        [ "$tries" -ge 1000 ] && break
        usleep 10000
        tries=$((tries + 1))
    done
    report "busybox-init.logged $(sed -n 's/^.* panelflash-update: //p' /tmp/messages)"
    report "guest finished"
    poweroff
}

case ${1:-} in
rcS)
    rcs
    exit 0
    ;;
report)
    busybox_report
    exit 0
    ;;
esac
setup
if [ "${guest:-}" = busybox-init ]; then
    # The settings' version as the kernel's command line gives it, for a guest whose image
    # does not run it.
    if [ -n "${panelflash_version:-}" ]; then
        sed -i "s/^VERSION=.*/VERSION=$panelflash_version/" /etc/default/panelflash
    fi
    exec init
fi
pl011
adapter
unplug
report "guest finished"
poweroff -f
