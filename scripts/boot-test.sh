#!/usr/bin/env bash
# The boot-time update booted for real: a minimal Debian root with systemd and udev, made
# with debootstrap, gets the panelflash package the tree builds and the three boot-time
# steps of docs/deploying.md as they are written (the udev rule with KERNEL=="ttyS1", the
# defaults with VERSION=0106, the unit enabled). Its own kernel and initrd boot it under
# qemu-system-x86_64 -M pc (TCG, no KVM), the console on the first 16550 UART and the
# second, ttyS1, wired to panelsim on this machine. A unit ordered after the update prints
# what systemd and the journal say of it on the console and powers off. Five boots on each
# of Debian 12 and 13: a panel running 0104 is programmed (status 0, its bootloader area
# kept), one running 0106 is left alone (status 1, the unit succeeds), one that stops
# answering mid-programming fails the unit with status 3 while the boot goes on to its end,
# and a root whose image runs as 0105 (a packaging slip: VERSION=0106) fails the unit with
# status 4 and the tool's message, then, booted again on the same panel, again with status 4
# and nothing erased or written.
#   scripts/boot-test.sh [SUITE...]    bookworm trixie by default
# Needs root (debootstrap, chroot); without root it says so and skips. The package is
# build/debian/panelflash_*.deb, built with scripts/package.sh when missing. The roots are
# made once and kept in /var/cache/panelflash/boot (PANELFLASH_BOOT_CACHE), side by side;
# consoles and logs are left in build/boot-test.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
# shellcheck source=scripts/boot-steps.sh
source scripts/boot-steps.sh
work=$repo/build/boot-test
cache=${PANELFLASH_BOOT_CACHE:-/var/cache/panelflash/boot}
include=systemd,systemd-sysv,udev,linux-image-amd64,kmod
# A boot took 30 s on Debian 12 and 100 s on Debian 13 on a busy 2-core machine; a silent
# panel may keep the tool busy for a minute more.
guest_seconds=480
image_size=7680        # bytes: the whole application area
panel_version=0104     # what an outdated panel runs
image_version=0106     # the image's firmware version, set in the defaults
mislabelled_version=0105 # the version a mislabelled image runs
stop_after=100         # bootloader packets a failing panel answers, inside the first pass
started=$SECONDS

say() { echo "-- boot: $* ($((SECONDS - started)) s)"; }

pids=()
# Unmounts whatever is mounted below a folder, deepest first: debootstrap's mounts in a root
# it did not finish.
unmount_below() {
    awk -v folder="$1/" 'index($5, folder) == 1 { print $5 }' /proc/self/mountinfo |
        sort -r | while read -r target; do
            umount "$target" 2>/dev/null || umount -l "$target"
        done
}

# The ids of the processes inside a root below the cache: those a stopped debootstrap left.
processes_in_cache() {
    local link
    for link in /proc/[0-9]*/root; do
        [[ $(readlink "$link" 2>/dev/null) == "$cache"/* ]] || continue
        link=${link#/proc/}
        echo "${link%/root}"
    done
}

# Ends what this script started, by id, and leaves no processes or mounts behind.
cleanup() {
    local pid
    for pid in "${pids[@]}" $(processes_in_cache); do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    unmount_below "$cache"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Prints the URI of this machine's apt source for SUITE, "" when there is none. awk reads
# to the end: leaving at the first match could end apt-get, still writing, with SIGPIPE.
apt_uri() {
    apt-get indextargets --no-release-info --format "\$(REPO_URI) \$(RELEASE)" |
        awk -v suite="$1" '!found && $2 == suite { sub("/$", "", $1); print $1; found = 1 }'
}

# The package under test, built only when CI or the developer has not built it yet.
find_package() {
    if ! compgen -G "build/debian/panelflash_*.deb" >/dev/null; then
        say "building the packages"
        scripts/package.sh build/debian
    fi
    deb=$(compgen -G "build/debian/panelflash_*.deb" | head -n 1)
    sim_deb=$(compgen -G "build/debian/panelsim_*.deb" | head -n 1)
    rm -rf "$work/panelsim"
    dpkg-deb -x "$sim_deb" "$work/panelsim"
    panelsim=$work/panelsim/usr/bin/panelsim
}

# This machine's Debian mirror, the one its apt uses for its own release.
find_mirror() {
    local codename
    codename=$(awk -F= '$1 == "VERSION_CODENAME" { gsub("\"", "", $2); print $2 }' /etc/os-release)
    mirror=${DEBIAN_MIRROR:-$(apt_uri "$codename")}
    if [ -z "$mirror" ]; then
        echo "boot: no Debian mirror among this machine's apt sources; set DEBIAN_MIRROR" >&2
        exit 1
    fi
}

# The roots as debootstrap makes them, kept in the cache, those missing made side by side.
# A root without its stamp is what a stopped run left, made anew.
make_roots() {
    local suite root packages status
    local -A making=()
    for suite in "$@"; do
        root=$cache/$suite/root
        [ "$(cat "$root.done" 2>/dev/null)" != "$include" ] || continue
        [ -v mirror ] || find_mirror
        packages=$cache/$suite/debootstrap
        say "debootstrap $suite from $mirror"
        unmount_below "$root"
        rm -rf --one-file-system "$root" "$root.done"
        mkdir -p "$packages" "$root"
        debootstrap --variant=minbase --include="$include" --cache-dir="$packages" "$suite" \
            "$root" "$mirror" >"$work/$suite-debootstrap.log" 2>&1 &
        making[$suite]=$!
        pids+=($!)
    done
    for suite in "${!making[@]}"; do
        status=0
        wait "${making[$suite]}" || status=$?
        if [ "$status" -ne 0 ]; then
            tail -n 20 "$work/$suite-debootstrap.log" >&2
            exit 1
        fi
        echo "$include" >"$cache/$suite/root.done"
    done
}

# The unit that reports the update on the console once the boot has reached its end.
write_report_unit() {
    local stage=$1
    cat >"$stage/usr/local/sbin/boot-test-report" <<'EOF'
#!/bin/sh
journalctl --sync
# The console, not ttyS0 itself: the serial getty's hangup of ttyS0 would cut the report.
exec >/dev/console 2>&1
echo "@@ begin"
systemctl show -p Result -p ExecMainStatus panelflash-update | sed 's/^/@@ show /'
journalctl -b -u panelflash-update --no-pager | sed 's/^/@@ journal /'
journalctl -b -p warning --no-pager | sed 's/^/@@ warning /'
echo "@@ target $(systemctl is-active multi-user.target)"
echo "@@ end"
systemctl --no-block poweroff
EOF
    chmod 755 "$stage/usr/local/sbin/boot-test-report"
    cat >"$stage/etc/systemd/system/boot-test-report.service" <<'EOF'
[Unit]
Description=Report the front panel update to the boot test
After=panelflash-update.service multi-user.target

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/boot-test-report

[Install]
WantedBy=multi-user.target
EOF
    chroot "$stage" systemctl enable boot-test-report.service >/dev/null 2>&1
}

# An image of the whole application area whose firmware answers VERSION, as panelsim's
# firmware reads it from its flash.
write_firmware() { # FILE VERSION
    { printf 'FWVER=%s' "$2"; head -c $((image_size - 10)) /dev/urandom; } >"$1"
}

make_root_image() { # STAGE IMAGE
    mkfs.ext4 -q -F -d "$1" "$2" "$(($(du -sm "$1" | cut -f 1) + 300))M" >/dev/null
}

# The guide's three steps in a copy of the root, with the package installed, then the
# root's ext4 image, kernel and initrd for QEMU.
make_guest() {
    local suite=$1 examples rules defaults unit image command
    local stage=$work/$suite/root
    say "$suite: the package and the steps of $boot_guide"
    rm -rf "${work:?}/$suite"
    mkdir -p "$work/$suite"
    cp -a "$cache/$suite/root" "$stage"
    cp "$deb" "$stage/tmp/"
    chroot "$stage" dpkg -i "/tmp/$(basename "$deb")" >"$work/$suite/dpkg.log"
    examples=$(boot_examples_folder "$boot_guide")
    boot_step_copy "$boot_guide" 1
    rules=$(boot_copy "$stage" "$stage$examples" "$step_file" "$step_destination")
    sed -i 's/KERNEL=="[^"]*"/KERNEL=="ttyS1"/' "$stage$rules"
    grep -q 'KERNEL=="ttyS1"' "$stage$rules"
    boot_step_copy "$boot_guide" 2
    defaults=$(boot_copy "$stage" "$stage$examples" "$step_file" "$step_destination")
    set_setting "$stage$defaults" VERSION "$image_version"
    image=$(sed -n 's/^IMAGE=//p' "$stage$defaults")
    boot_step_copy "$boot_guide" 3 "With systemd, "
    unit=$(boot_copy "$stage" "$stage$examples" "$step_file" "$step_destination")
    command=$(boot_step_commands "$boot_guide" 3 systemctl)
    [ -n "$command" ] || { echo "$boot_guide: step 3 gives no systemctl command" >&2; exit 1; }
    chroot "$stage" /bin/sh -c "$command" >"$work/$suite/step3.log" 2>&1 ||
        { cat "$work/$suite/step3.log" >&2; echo "boot: step 3 of $boot_guide, $command, failed" >&2; exit 1; }
    mkdir -p "$stage$(dirname "$image")"
    write_firmware "$work/$suite/image.bin" "$image_version"
    write_firmware "$work/$suite/mislabelled.bin" "$mislabelled_version"
    install -m 644 "$work/$suite/image.bin" "$stage$image"
    write_report_unit "$stage"
    echo "$rules, $defaults, $unit; $command" >"$work/$suite/steps"
    cp "$(compgen -G "$stage/boot/vmlinuz-*")" "$work/$suite/vmlinuz"
    cp "$(compgen -G "$stage/boot/initrd.img-*")" "$work/$suite/initrd.img"
    make_root_image "$stage" "$work/$suite/root.ext4"
    # The same root, its image one that runs an older version than VERSION.
    install -m 644 "$work/$suite/mislabelled.bin" "$stage$image"
    make_root_image "$stage" "$work/$suite/mislabelled.ext4"
    rm -rf "$stage"
}

declare -A qemu_of=() sim_of=() began=()

# Starts a boot of SUITE from its root ROOT (root or mislabelled) against a panelsim started
# with OPTIONS, its flash in a file that begins with random bytes, or with the flash the
# boot FROM left; the guest's root is the image, its writes thrown away.
boot_start() {
    local suite=$1 name=$2 root=$3 from=$4 dir=$work/$1/$2
    shift 4
    mkdir -p "$dir"
    if [ "$from" = - ]; then
        head -c 8192 /dev/urandom >"$dir/flash-before.bin"
    else
        cp "$work/$suite/$from/flash.bin" "$dir/flash-before.bin"
    fi
    cp "$dir/flash-before.bin" "$dir/flash.bin"
    "$panelsim" --link "$dir/panel" --line --flash "$dir/flash.bin" "$@" >"$dir/panelsim.log" 2>&1 &
    sim_of[$dir]=$!
    pids+=($!)
    for _ in $(seq 50); do
        [ -L "$dir/panel" ] && break
        sleep 0.1
    done
    qemu-system-x86_64 -M pc -accel tcg -m 1024 -smp 1 -nodefaults -no-user-config \
        -display none -no-reboot -nic none \
        -kernel "$work/$suite/vmlinuz" -initrd "$work/$suite/initrd.img" \
        -append "root=/dev/vda rw console=ttyS0 panic=-1" \
        -drive file="$work/$suite/$root.ext4",format=raw,if=virtio,snapshot=on \
        -chardev file,id=console,path="$dir/console.log" -serial chardev:console \
        -chardev serial,id=panel,path="$dir/panel" -serial chardev:panel \
        >"$dir/qemu.log" 2>&1 &
    qemu_of[$dir]=$!
    pids+=($!)
    began[$dir]=$SECONDS
}

# Waits for every guest started to power off, or ends it after guest_seconds; then ends its
# panelsim, which saves its flash as it ends.
boot_await() {
    local deadline=$((SECONDS + guest_seconds)) dir status
    local -A took=()
    while [ ${#took[@]} -lt ${#qemu_of[@]} ] && [ "$SECONDS" -lt "$deadline" ]; do
        for dir in "${!qemu_of[@]}"; do
            [ -z "${took[$dir]:-}" ] || continue
            kill -0 "${qemu_of[$dir]}" 2>/dev/null || took[$dir]=$((SECONDS - began[$dir]))
        done
        sleep 0.2
    done
    for dir in "${!qemu_of[@]}"; do
        status=0
        if kill "${qemu_of[$dir]}" 2>/dev/null; then
            echo "${dir#"$work/"}: the guest did not power off within $guest_seconds s." >&2
        fi
        wait "${qemu_of[$dir]}" || status=$?
        kill "${sim_of[$dir]}"
        wait "${sim_of[$dir]}" || true
        echo "${dir#"$work/"}: ${took[$dir]:-more than $guest_seconds} s, QEMU status $status" |
            tee "$dir/boot"
    done
    qemu_of=()
    sim_of=()
    began=()
}

passed=0
failed=0

# What the guest reported under a tag, its "@@ tag" prefix taken off, and whatever the
# console had before it on that line (systemd's queries of the terminal).
reported() {
    tr -d '\r' <"$1/console.log" | sed -n "s/^.*@@ $2 //p"
}

judge() {
    if [ -n "$1" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $2: expected $3, got '$4'"
    fi
}

expect() {
    judge "$([ "$2" = "$3" ] && echo ok)" "$1" "'$2'" "$3"
}

# The tool's lines in the journal: under the unit, from the process that is not systemd.
tool_lines() {
    reported "$1" journal | grep -v ' systemd\[1\]: ' | sed 's/^[^]]*\]: //'
}

# Warnings of the boot that concern the update, apart from the failure the case expects.
unit_warnings() {
    reported "$1" warning | grep -i -E 'panelflash|frontpanel' |
        grep -v -E "$2" || true
}

# A boot of SUITE and what it must show; the flash programmed with IMAGE (default image.bin).
check_boot() {
    local suite=$1 name=$2 status=$3 result=$4 says=$5 flash=$6 expected_warnings=$7
    local dir=$work/$1/$2 image=$work/$1/${8:-image.bin} got
    expect "$suite $name: the report's end" 1 "$(tr -d '\r' <"$dir/console.log" | grep -c '@@ end$')"
    expect "$suite $name: ExecMainStatus" "$status" "$(reported "$dir" show | sed -n 's/^ExecMainStatus=//p')"
    expect "$suite $name: Result" "$result" "$(reported "$dir" show | sed -n 's/^Result=//p')"
    expect "$suite $name: the boot's end" active "$(reported "$dir" target)"
    got=$(tool_lines "$dir" | grep -c -x -F "$says" || true)
    expect "$suite $name: the tool saying \"$says\" in the journal" 1 "$got"
    got=$(reported "$dir" journal | grep -c 'blob data' || true)
    expect "$suite $name: journal lines shown as blob data" 0 "$got"
    got=$(unit_warnings "$dir" "$expected_warnings")
    expect "$suite $name: systemd's warnings about the update" "" "$got"
    case $flash in
    programmed)
        got=$(cmp -s -n "$image_size" "$image" "$dir/flash.bin" && echo image)
        expect "$suite $name: the application area" image "$got"
        got=$(cmp -s -i "$image_size" "$dir/flash-before.bin" "$dir/flash.bin" && echo kept)
        expect "$suite $name: the bootloader area 0x1E00-0x1FFF" kept "$got"
        ;;
    untouched)
        got=$(cmp -s "$dir/flash-before.bin" "$dir/flash.bin" && echo untouched)
        expect "$suite $name: the flash" untouched "$got"
        ;;
    esac
}

# The sessions of a boot's panelsim that erased or wrote anything.
writing_sessions() {
    grep '^session:' "$1/panelsim.log" | grep -v -c 'erases 0, writes 0,' || true
}

# systemd's own lines for a unit that failed with a status.
failure_lines() { # STATUS
    echo "status=$1/[A-Z]*|Failed with result 'exit-code'|Failed to start panelflash-update"
}

# The boots, each on every Debian at once, in three rounds of two boots (the guests are
# single processors); a mislabelled root boots again in the round after its first boot,
# on the flash that boot left.
boot_all() {
    local round name suite
    for round in "programmed mislabelled" "current again" silent; do
        say "booting ${suites[*]}: $round"
        for name in $round; do
            for suite in "${suites[@]}"; do
                case $name in
                programmed) boot_start "$suite" "$name" root - --version "$panel_version" ;;
                current) boot_start "$suite" "$name" root - --version "$image_version" ;;
                silent)
                    boot_start "$suite" "$name" root - --version "$panel_version" \
                        --stop-after "$stop_after"
                    ;;
                mislabelled)
                    boot_start "$suite" "$name" mislabelled - --version "$panel_version" --report
                    ;;
                again)
                    boot_start "$suite" "$name" mislabelled mislabelled \
                        --version "$panel_version" --report
                    ;;
                esac
            done
        done
        boot_await
    done
}

check_suite() {
    local suite=$1 refused
    check_boot "$suite" programmed 0 success "Frontpanel version $image_version" programmed '^$'
    check_boot "$suite" current 1 success "Frontpanel version OK, no programming done." \
        untouched '^$'
    check_boot "$suite" silent 3 exit-code "No answer from Frontpanel, aborting" - \
        "$(failure_lines 3)"
    refused="Frontpanel version $mislabelled_version is older than $image_version: the image is"
    refused="$refused not version $image_version, and a boot-time update would program it again"
    refused="$refused at every start"
    check_boot "$suite" mislabelled 4 exit-code "$refused" programmed "$(failure_lines 4)" \
        mislabelled.bin
    check_boot "$suite" again 4 exit-code "$refused" untouched "$(failure_lines 4)"
    expect "$suite again: panelsim's sessions that erased or wrote" 0 \
        "$(writing_sessions "$work/$suite/again")"
    expect "$suite again: panelsim's sessions" 1 \
        "$(grep -c '^session:' "$work/$suite/again/panelsim.log" || true)"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "boot: skipped: debootstrap and chroot need root"
    exit 0
fi
scripts/deps.sh boot
mkdir -p "$work" "$cache"
find_package
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(bookworm trixie)
make_roots "${suites[@]}"
for suite in "${suites[@]}"; do
    make_guest "$suite"
done
boot_all
for suite in "${suites[@]}"; do
    check_suite "$suite"
done
if [ "$failed" -gt 0 ]; then
    echo "The consoles are in $work/*/*/console.log."
fi
say "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
