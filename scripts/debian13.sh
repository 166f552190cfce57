#!/usr/bin/env bash
# Builds and tests the committed tree (HEAD) on a fresh minimal Debian 13 (trixie), made
# with debootstrap and entered with chroot, as the README and docs/building.md tell a new
# user to: the Quick start test command, the release preset with its tests, the ci-clang
# preset built, and the Debian packages with their tests and lintian. Each step installs what it needs itself.
# Run as root on a Debian-like machine; debootstrap is installed when missing.
#   scripts/debian13.sh
# The root is made anew in build/deb13-root on every run and removed when all passed (a
# failed run's root is kept for a look). Downloaded packages are kept in
# /var/cache/panelflash/debian13 (PANELFLASH_CACHE) so reruns fetch nothing again. The
# mirror is the one this machine's apt uses for its own release; DEBIAN_MIRROR overrides.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
root=$repo/build/deb13-root
cache=${PANELFLASH_CACHE:-/var/cache/panelflash/debian13}
started=$(date +%s)
child=""

step() { echo "-- debian13: $* ($(($(date +%s) - started)) s)"; }

# Prints the URI of this machine's apt source for SUITE, "" when there is none. awk reads
# to the end: leaving at the first match could end apt-get, still writing, with SIGPIPE.
apt_uri() {
    apt-get indextargets --no-release-info --format "\$(REPO_URI) \$(RELEASE)" |
        awk -v suite="$1" '!found && $2 == suite { sub("/$", "", $1); print $1; found = 1 }'
}

# Prints the id of every process inside the root.
processes_in_root() {
    local link pid
    for link in /proc/[0-9]*/root; do
        [ "$(readlink "$link" 2>/dev/null)" = "$root" ] || continue
        pid=${link#/proc/}
        echo "${pid%/root}"
    done
}

# Prints the mount points below the root, deepest first.
mounts_in_root() {
    awk -v root="$root" 'index($5, root "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# Runs a long step in the background, so that a signal to this script is handled at once
# rather than when the step is over.
run_step() {
    local status=0
    "$@" &
    child=$!
    wait "$child" || status=$?
    child=""
    return "$status"
}

# A process inside the root holds its mounts, and one being ended may have started another:
# ended by id until none is left. Then every mount below the root goes, debootstrap's too.
leave_root() {
    local pids round target
    [ -z "$child" ] || kill -KILL "$child" 2>/dev/null || true
    for round in 1 2 3 4 5 6 7 8 9 10; do
        pids=$(processes_in_root)
        [ -n "$pids" ] || break
        # shellcheck disable=SC2086 # one id a word
        kill -KILL $pids 2>/dev/null || true
        sleep "0.$round"
    done
    for target in $(mounts_in_root); do
        umount "$target" 2>/dev/null || umount -l "$target"
    done
}
trap leave_root EXIT
trap 'exit 130' INT TERM HUP

mount_in_root() {
    local target=$root$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
}

# A root is removed only with nothing mounted below it, or the bound package cache would
# go too; a run that was killed outright left its processes and mounts behind.
remove_root() {
    leave_root
    if [ -n "$(processes_in_root)$(mounts_in_root)" ]; then
        echo "debian13: left in $root: $(processes_in_root | tr '\n' ' ')" \
            "$(mounts_in_root | tr '\n' ' ')" >&2
        exit 1
    fi
    rm -rf "$root"
}

# Inside the root, the commands of the README and docs/building.md only. The release
# build's warnings fail the run as the strict presets' do; ci-clang builds with the clang++
# that scripts/deps.sh clang installs, warnings as errors. Its suite is the one the g++
# builds ran: CI's time goes to those commands.
steps_in_root() {
    started=$(date +%s)
    cd /root/panelflash
    step "scripts/test.sh"
    scripts/test.sh
    step "release preset"
    cmake --preset release
    cmake --build --preset release 2>&1 | tee build/release.log
    if grep -q "warning:" build/release.log; then
        echo "debian13: the release build has warnings" >&2
        exit 1
    fi
    ctest --preset release
    step "ci-clang preset, built"
    scripts/deps.sh clang
    cmake --preset ci-clang >/dev/null
    cmake --build --preset ci-clang
    step "scripts/package.sh"
    scripts/package.sh build/debian
    step "built with g++ $(g++ -dumpfullversion), clang++ $(clang++ -dumpversion)," \
        "$(cmake --version | head -n 1)"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "debian13: debootstrap and chroot need root" >&2
    exit 1
fi
if ! git -C "$repo" rev-parse --verify -q HEAD >/dev/null; then
    echo "debian13: $repo is not a git checkout with a commit: the committed tree is tested" >&2
    exit 1
fi
command -v debootstrap >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}
codename=$(awk -F= '$1 == "VERSION_CODENAME" { gsub("\"", "", $2); print $2 }' /etc/os-release)
mirror=${DEBIAN_MIRROR:-$(apt_uri "$codename")}
security=$(apt_uri "$codename-security")
if [ -z "$mirror" ]; then
    echo "debian13: no Debian mirror among this machine's apt sources; set DEBIAN_MIRROR" >&2
    exit 1
fi

remove_root
mkdir -p "$root" "$cache/debootstrap" "$cache/apt"
step "debootstrap trixie from $mirror"
run_step debootstrap --variant=minbase --cache-dir="$cache/debootstrap" trixie "$root" \
    "$mirror" >"$repo/build/deb13-debootstrap.log" 2>&1 ||
    { tail -n 20 "$repo/build/deb13-debootstrap.log" >&2; exit 1; }
{
    echo "deb $mirror trixie main"
    echo "deb $mirror trixie-updates main"
    [ -z "$security" ] || echo "deb $security trixie-security main"
} >"$root/etc/apt/sources.list"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

# The pseudo-terminal tests need a devpts of their own, with /dev/ptmx leading to it.
mount_in_root /proc -t proc proc
mount_in_root /dev/pts -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts
ln -sf pts/ptmx "$root/dev/ptmx"
mount_in_root /dev/shm -t tmpfs -o mode=1777 tmpfs
mount_in_root /var/cache/apt/archives --bind "$cache/apt"

git clone -q --no-checkout "$repo" "$root/root/panelflash"
git -C "$root/root/panelflash" checkout -q --detach "$(git -C "$repo" rev-parse HEAD)"
step "testing $(git -C "$repo" rev-parse --short HEAD)"

run_step chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 CI="${CI:-}" /bin/bash -euo pipefail -c \
    "$(declare -f step steps_in_root); steps_in_root"
remove_root
step "passed"
