#!/usr/bin/env bash
# The tool on the kernel's real serial drivers: the static aarch64 build runs on Debian's
# arm64 kernel under qemu-system-aarch64 (no KVM needed), against panelsim on this machine,
# over the PL011 as its built-in /dev/frontpanel and over QEMU's emulated FTDI USB-serial
# adapter with -d /dev/ttyUSB0, which is unplugged mid-read-out at the end.
# scripts/vm-guest.sh runs in the guest and prints what it saw; this script checks it.
# Then the boot-time update without udev and systemd, set up as docs/deploying.md says:
# busybox's init runs the init script at boot against a panel running 0104 (programmed),
# one running 0106 (left alone), one that stops answering mid-programming, and one
# programmed with an image that does not run the version the settings give (status 4).
# Kernel, modules and busybox come from Debian's arm64 packages, kept in build/vm-cache;
# the machine's own dpkg architectures are left alone. Needs root only to install tools.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/boot-steps.sh
source scripts/boot-steps.sh
root=$PWD
cache=$root/build/vm-cache
work=$root/build/vm-test
guest_seconds=120
# The two images: a part of the application area, and all of it.
image_a_size=3000 # bytes
image_b_size=7680 # bytes
boot_version=0106 # the image's version in the boot-time update's defaults
mislabelled_version=0107 # the defaults' version in a guest whose image runs 0106
modules="virtio_mmio virtio_console usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

build_programs() {
    cmake --no-warn-unused-cli -S . -B build/vm-aarch64 \
        --toolchain cmake/toolchains/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
        -DPANELFLASH_STATIC=ON -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/vm-aarch64 -j2 --target panelflash >/dev/null
    cmake -S . -B build/vm-host -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/vm-host -j2 --target panelsim >/dev/null
}

# apt-get or apt-cache on arm64 package lists of the script's own, from this machine's
# sources restricted to arm64.
apt_arm64() {
    local tool=$1
    shift
    "$tool" -q -o APT::Architecture=arm64 -o APT::Architectures=arm64 \
        -o Dir::State::Lists="$cache/apt/lists" -o Dir::Cache="$cache/apt/cache" \
        -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$cache/apt/sources.list.d" \
        -o Acquire::Languages=none -o APT::Sandbox::User="$(id -un)" "$@"
}

# This machine's package sources, each taken for arm64 only.
write_arm64_sources() {
    local parts=$cache/apt/sources.list.d file
    mkdir -p "$parts" "$cache/apt/lists/partial" "$cache/apt/cache"
    : >"$parts/arm64.sources"
    : >"$parts/arm64.list"
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        sed '/^Architectures:/d' "$file" |
            awk 'BEGIN { RS = ""; ORS = "\n\n" } { print $0 "\nArchitectures: arm64" }' \
                >>"$parts/arm64.sources"
    done
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -n -E 's/^deb[[:space:]]+(\[([^]]*)\][[:space:]]+)?/deb [arch=arm64 \2] /p' "$file" |
            sed -E 's/ arch=[^] ]*//' >>"$parts/arm64.list"
    done
}

# The kernel and busybox packages, downloaded once into build/vm-cache/debs.
fetch_packages() {
    local debs=$cache/debs kernel
    if compgen -G "$debs/linux-image-*.deb" >/dev/null &&
        compgen -G "$debs/busybox-static_*.deb" >/dev/null; then
        return
    fi
    echo "Downloading Debian's arm64 kernel and busybox"
    write_arm64_sources
    apt_arm64 apt-get update >/dev/null
    kernel=$(apt_arm64 apt-cache depends linux-image-arm64 |
        awk '!found && $1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; found = 1 }')
    rm -rf "$debs.partial"
    mkdir -p "$debs.partial"
    (cd "$debs.partial" && apt_arm64 apt-get download "$kernel" busybox-static >/dev/null)
    rm -rf "$debs"
    mv "$debs.partial" "$debs"
}

# The kernel image and the modules the guest loads, taken out of the kernel package once.
extract_kernel() {
    local deb stamp=$cache/kernel/package patterns=() module
    deb=$(basename "$(compgen -G "$cache/debs/linux-image-*.deb")")
    if [ "$(cat "$stamp" 2>/dev/null)" = "$deb" ]; then
        return
    fi
    rm -rf "$cache/kernel"
    mkdir -p "$cache/kernel"
    patterns+=('./boot/vmlinuz-*')
    for module in $modules; do
        patterns+=("*/$module.ko")
    done
    dpkg-deb --fsys-tarfile "$cache/debs/$deb" |
        tar -x -C "$cache/kernel" --wildcards "${patterns[@]}"
    echo "$deb" >"$stamp"
}

# The initramfs: busybox, the static tool, the modules, the images and the guest script.
make_initramfs() {
    local tree=$work/initramfs module
    mkdir -p "$tree"/{bin,data,dev,lib/modules,proc,sys,tmp}
    dpkg-deb --fsys-tarfile "$(compgen -G "$cache/debs/busybox-static_*.deb")" |
        tar -x -O ./bin/busybox >"$tree/bin/busybox"
    chmod 755 "$tree/bin/busybox"
    ln -s busybox "$tree/bin/sh" # for the guest script's own line, before it installs the rest
    install -m 755 build/vm-aarch64/panelflash "$tree/bin/panelflash"
    install -m 755 scripts/vm-guest.sh "$tree/init"
    for module in $modules; do
        find "$cache/kernel" -name "$module.ko" -exec cp {} "$tree/lib/modules/" \;
    done
    # A firmware that starts (its first bytes are not erased) and answers panelsim's
    # --version, and one that answers the boot-time update's version, which panelsim's
    # firmware reads from its flash.
    { printf '\001'; head -c $((image_a_size - 1)) /dev/urandom; } >"$tree/data/a.bin"
    { printf 'FWVER=%s' "$boot_version"; head -c $((image_b_size - 10)) /dev/urandom; } \
        >"$tree/data/b.bin"
    add_boot_update "$tree"
    (cd "$tree" && find . | cpio -o -H newc -R 0:0 --quiet) >"$work/initramfs.cpio"
}

# The boot-time update of a device without udev and systemd, as the guide's steps set it
# up from the examples: the defaults with the image's version and the PL011's own node, the
# init script under BusyBox's name for it, the image where the defaults say, the tool where
# the script looks. busybox's inittab runs the guest script as rcS, then for the report.
add_boot_update() {
    local tree=$1 defaults image
    boot_step_copy "$boot_guide" 2
    defaults=$(boot_copy "$tree" deploy "$step_file" "$step_destination")
    set_setting "$tree$defaults" VERSION "$boot_version"
    set_setting "$tree$defaults" DEVICE /dev/ttyAMA0
    image=$(sed -n 's/^IMAGE=//p' "$tree$defaults")
    install -D -m 644 "$tree/data/b.bin" "$tree$image"
    boot_step_copy "$boot_guide" 3 "Without systemd, "
    boot_copy "$tree" deploy "$step_file" "$step_destination" "$(boot_busybox_name "$boot_guide" 3)" >/dev/null
    mkdir -p "$tree/usr/bin"
    ln -s ../../bin/panelflash "$tree/usr/bin/panelflash"
    printf '::sysinit:/init rcS\n::wait:/init report\n' >"$tree/etc/inittab"
}

# Starts a panelsim linked at $work/NAME and waits for its link.
start_panelsim() {
    local name=$1
    shift
    build/vm-host/sim/panelsim --link "$work/$name" --line "$@" >"$work/$name.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
        [ -L "$work/$name" ] && return
        sleep 0.1
    done
    echo "panelsim for $name did not start:" >&2
    cat "$work/$name.log" >&2
    exit 1
}

# Bootloader packets the tool sends to program an image of SIZE bytes with verification on a
# clean line: the bootloader area's 8 blocks read twice, each block erased and written twice,
# each block read back, the bootloader area read again, then the exit.
program_packets() {
    local blocks=$((($1 + 63) / 64))
    echo $((16 + blocks * 3 + blocks + 8 + 1))
}

# Over the PL011 panelsim answers every packet of the guest's runs up to the last
# read-out (two programmings, the second after -c's two reads of the first block, two
# read-outs that read each of the 128 blocks twice, and their exit packets), then falls
# silent after half its blocks.
start_panels() {
    local programs reads
    programs=$(($(program_packets $image_a_size) + 2 + $(program_packets $image_b_size)))
    reads=$((2 * (2 * 128 + 1)))
    start_panelsim pl011-panel --version 0104 --stop-after $((programs + reads + 128))
    start_panelsim usb-panel
}

# A guest of the initramfs whose PL011 is wired to PANEL and whose console goes to CONSOLE,
# with the kernel's command line ending in CMDLINE and QEMU given the arguments after them.
# Started in the background, where the subshell becomes QEMU, so that $! is QEMU's.
qemu_guest() {
    local panel=$1 console=$2 cmdline=$3 kernel
    shift 3
    kernel=$(compgen -G "$cache/kernel/boot/vmlinuz-*")
    exec qemu-system-aarch64 -M virt -cpu cortex-a57 -m 512 -smp 1 -display none -nodefaults \
        -no-reboot -kernel "$kernel" -initrd "$work/initramfs.cpio" \
        -append "console=hvc0 quiet panic=-1$cmdline" \
        -chardev serial,id=s0,path="$panel" -serial chardev:s0 \
        -device virtio-serial-device,max_ports=1 \
        -chardev file,id=console,path="$console" -device virtconsole,chardev=console "$@"
}

# The adapter is there only while its chardev is open, so panelsim comes first. The guest's
# console goes to a file, on a virtio-serial device of one port: with more, the kernel may
# add the console's port twice and lose it. QEMU's monitor listens on the pipes monitor.in
# and monitor.out.
start_qemu() {
    mkfifo "$work/monitor.in" "$work/monitor.out"
    qemu_guest "$work/pl011-panel" "$work/console.log" "" \
        -device qemu-xhci,id=xhci -chardev serial,id=u0,path="$work/usb-panel" \
        -device usb-serial,id=adapter,bus=xhci.0,chardev=u0 \
        -chardev pipe,id=monitor,path="$work/monitor" -mon chardev=monitor,mode=readline \
        >"$work/qemu.log" 2>&1 &
    qemu_pid=$!
    pids+=("$qemu_pid")
    cat "$work/monitor.out" >"$work/monitor.log" &
    pids+=($!)
}

# Waits for the guest to power off, removing the adapter when the guest asks for it; QEMU's
# status is left in qemu_status.
unplugged=false
qemu_status=0
await_guest() {
    local deadline=$((SECONDS + guest_seconds))
    unplugged=false
    touch "$work/console.log"
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if ! $unplugged && grep -q '^@@ unplug-now' "$work/console.log"; then
            echo "device_del adapter" >"$work/monitor.in"
            unplugged=true
        fi
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "The guest did not power off within $guest_seconds s." >&2
            kill "$qemu_pid"
            break
        fi
        sleep 0.05
    done
    qemu_status=0
    wait "$qemu_pid" || qemu_status=$?
    echo "The guest ran for $((SECONDS - deadline + guest_seconds)) s; QEMU ended with status $qemu_status."
}

# The guest over the PL011 and the adapter, with panels of its own. QEMU 7.2 itself
# sometimes dies of a signal while it removes the adapter (seen once in some fifty runs,
# SIGSEGV): that is the emulator's hot-unplug, not the tool, so the guest then runs once
# more from the start, with fresh panels; a second crash fails the checks as any run would.
run_guest() {
    local attempt
    for attempt in 1 2; do
        start_panels
        start_qemu
        await_guest
        if [ "$qemu_status" -le 128 ] || ! $unplugged || [ "$attempt" -eq 2 ]; then
            return
        fi
        echo "QEMU died of signal $((qemu_status - 128)) removing the adapter; the guest runs once more."
        cleanup
        pids=()
        rm -f "$work"/{console.log,monitor.in,monitor.out,pl011-panel,usb-panel}
    done
}

# The boot-time update booted under busybox's init, one guest for each panel: 0104,
# 0106, one that falls silent inside the first pass of programming, and 0104 again with
# the settings' VERSION raised to 0107 (the kernel's panelflash_version=), which the image
# does not run. Each panelsim keeps its flash in a file that begins with random bytes and
# saves it when it ends.
boot_busybox_init() {
    local name dir qemu=() sims=() deadline=$((SECONDS + guest_seconds)) index
    local -A panel=([programmed]="--version 0104" [current]="--version $boot_version"
        [silent]="--version 0104 --stop-after 100" [mislabelled]="--version 0104")
    local -A cmdline=([mislabelled]=" panelflash_version=$mislabelled_version")
    for name in programmed current silent mislabelled; do
        dir=$work/busybox-init-$name
        mkdir -p "$dir"
        head -c 8192 /dev/urandom >"$dir/flash-before.bin"
        cp "$dir/flash-before.bin" "$dir/flash.bin"
        # shellcheck disable=SC2086 # the panel's options are words
        start_panelsim "busybox-init-$name/panel" --flash "$dir/flash.bin" ${panel[$name]}
        sims+=("${pids[-1]}")
        qemu_guest "$dir/panel" "$dir/console.log" " guest=busybox-init${cmdline[$name]:-}" \
            >"$dir/qemu.log" 2>&1 &
        qemu+=($!)
        pids+=($!)
    done
    for index in "${!qemu[@]}"; do
        while kill -0 "${qemu[$index]}" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
            sleep 0.1
        done
        kill "${qemu[$index]}" 2>/dev/null || true
        wait "${qemu[$index]}" || true
    done
    echo "The four busybox-init guests ran for $((SECONDS - deadline + guest_seconds)) s."
    kill "${sims[@]}"
    wait "${sims[@]}" || true
}

passed=0
failed=0

# The value the guest reported for a name, from its "@@ name value" lines on the console,
# or on the one given. awk reads the file itself: behind a pipe, its exit at the first
# match would end a writer still sending a console of many progress lines with SIGPIPE,
# and the whole script with it.
reported() {
    awk -v name="$1" '{ gsub(/\r/, "") }
        $1 == "@@" && $2 == name { sub(/^@@ [^ ]+ ?/, ""); print; exit }' "${2:-$work/console.log}"
}

judge() {
    if [ "$1" = ok ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $2: expected $3, got '$4'"
    fi
}

expect() {
    local got
    got=$(reported "$1" "${3:-}")
    judge "$([ "$got" = "$2" ] && echo ok)" "$1" "'$2'" "$got"
}

expect_like() {
    local got
    got=$(reported "$1" "${3:-}")
    # shellcheck disable=SC2053 # the pattern is matched as a glob
    judge "$([[ $got == $2 ]] && echo ok)" "$1" "'$2'" "$got"
}

expect_at_most() {
    local got
    got=$(reported "$1")
    judge "$([[ $got =~ ^[0-9]+$ ]] && [ "$got" -le "$2" ] && echo ok)" "$1" "at most $2" "$got"
}

check_results() {
    local sha_a sha_b
    sha_a=$(sha256sum <"$work/initramfs/data/a.bin" | cut -d ' ' -f 1)
    sha_b=$(sha256sum <"$work/initramfs/data/b.bin" | cut -d ' ' -f 1)
    expect pl011.info.status 0
    expect pl011.info.says "Frontpanel version 0104"
    expect pl011.write.status 0
    expect pl011.read.status 0
    expect pl011.read.sha256 "$sha_a"
    expect pl011.current.status 1
    expect pl011.lock.status 3
    expect_like pl011.lock.says "*/dev/frontpanel is in use by another program*"
    expect pl011.older.status 0
    expect pl011.reread.status 0
    expect pl011.reread.sha256 "$sha_b"
    expect pl011.silent.status 3
    expect pl011.silent.files 0
    expect usb.chip FT232B
    expect usb.latency.before 16
    expect usb.latency.during 1
    expect usb.latency.after 16
    expect usb.write.status 0
    expect usb.read.status 0
    expect usb.read.sha256 "$sha_a"
    expect usb.unplug.status 3
    # The tool's waits for an answer end a silent run within seconds.
    expect_at_most usb.unplug.ms 5000
    expect usb.unplug.files 0
    expect guest finished
}

# What became of a busybox-init panel's flash, in its two areas.
flash_of() {
    local application=changed bootloader=changed
    cmp -s -n "$image_b_size" "$1/flash-before.bin" "$1/flash.bin" && application=untouched
    cmp -s -n "$image_b_size" "$work/initramfs/data/b.bin" "$1/flash.bin" && application=image
    cmp -s -i "$image_b_size" "$1/flash-before.bin" "$1/flash.bin" && bootloader=kept
    echo "application area $application, bootloader area $bootloader"
}

# Each busybox-init boot: the init script's status and what it logged, the boot's end, the
# panel's flash.
check_busybox_init() {
    local script name dir logged flash got
    script=$(boot_busybox_name "$boot_guide" 3)
    for name in programmed current silent mislabelled; do
        dir=$work/busybox-init-$name
        case $name in
        programmed)
            logged="front panel updated to version $boot_version"
            flash="application area image, bootloader area kept"
            ;;
        current)
            logged="front panel already runs version $boot_version or newer"
            flash="application area untouched, bootloader area kept"
            ;;
        silent)
            logged="front panel update failed with status 3 (No answer from Frontpanel*)"
            flash="application area changed, bootloader area kept"
            ;;
        mislabelled)
            logged="front panel update failed with status 4: the panel does not run version"
            logged="$logged $mislabelled_version after programming: the image is not that"
            logged="$logged version or does not start (*)"
            flash="application area image, bootloader area kept"
            ;;
        esac
        expect "busybox-init.$script.status" 0 "$dir/console.log"
        expect_like busybox-init.logged "$logged" "$dir/console.log"
        expect guest finished "$dir/console.log"
        got=$(flash_of "$dir")
        judge "$([ "$got" = "$flash" ] && echo ok)" "busybox-init $name flash" "$flash" "$got"
    done
}

scripts/deps.sh vm
build_programs
fetch_packages
extract_kernel
rm -rf "$work"
mkdir -p "$work"
make_initramfs
run_guest
check_results
if [ "$failed" -gt 0 ]; then
    echo "The guest's console, $work/console.log:"
    tr -d '\r' <"$work/console.log"
    cat "$work/qemu.log"
fi
failed_before=$failed
boot_busybox_init
check_busybox_init
if [ "$failed" -gt "$failed_before" ]; then
    echo "The busybox-init consoles are in $work/busybox-init-*/console.log."
fi
echo "vm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
