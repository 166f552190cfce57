#!/usr/bin/env bash
# Makes sure the build tools are here: installs what is missing when run as root on a
# Debian-like system, otherwise says what to install and fails.
#   scripts/deps.sh          native build and tests (presets dev, release, asan, ci-gcc)
#   scripts/deps.sh clang    and clang, for the ci-clang preset
#   scripts/deps.sh coverage and gcovr, which reports the suite's coverage (scripts/coverage.sh)
#   scripts/deps.sh fuzz     and clang with its libFuzzer, for the fuzz preset
#   scripts/deps.sh cross    and the cross compilers, qemu-user and GoogleTest's sources,
#                            for the cross-aarch64 and cross-armhf presets
#   scripts/deps.sh package  and what builds and checks the Debian packages
#   scripts/deps.sh deploy   and what checks the manual pages and deployment examples
#   scripts/deps.sh sandbox  and what checks the boot unit's sandbox (systemd-analyze, strace)
#   scripts/deps.sh bench    and what the benchmark runs with (a C compiler, python3)
#   scripts/deps.sh docs     and what checks the links of the README and docs/ (python3)
#   scripts/deps.sh vm       and what runs the tool on an arm64 kernel under QEMU
#   scripts/deps.sh fleet    and the update clients the fleet-update glue is tested with
#   scripts/deps.sh rauc     and RAUC with what it needs to make and install bundles
#   scripts/deps.sh boot     and what boots the boot-time update on Debian under QEMU
set -euo pipefail

missing=()
install_options=()
need_command() { command -v "$1" >/dev/null || missing+=("$2"); }
need_file() { [ -f "$1" ] || missing+=("$2"); }

need_command cmake cmake
need_command g++ g++
need_command make make
need_file /usr/include/gtest/gtest.h libgtest-dev
need_file /usr/include/nlohmann/json.hpp nlohmann-json3-dev # the tests read the run's account
for extra in "$@"; do
    case $extra in
    clang) need_command clang++ clang ;;
    coverage) need_command gcovr gcovr ;;
    fuzz)
        need_command clang++ clang
        fuzzer_libraries=(/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a)
        [ -f "${fuzzer_libraries[0]}" ] || missing+=(libclang-rt-dev)
        ;;
    cross)
        need_command aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
        need_command arm-linux-gnueabihf-g++ g++-arm-linux-gnueabihf
        need_command qemu-aarch64 qemu-user
        # A cross build compiles GoogleTest from these sources for the target.
        need_file /usr/src/googletest/CMakeLists.txt googletest
        ;;
    package)
        # scripts/package.sh builds from the committed tree, which git archive gives.
        need_command git git
        need_command dpkg-buildpackage dpkg-dev
        need_command dh debhelper
        need_command lintian lintian
        ;;
    deploy)
        need_command mandoc mandoc
        need_command shellcheck shellcheck
        need_command systemd-analyze systemd
        need_command udevadm udev
        ;;
    sandbox)
        need_command systemd-analyze systemd
        need_command strace strace
        ;;
    bench)
        need_command cc gcc
        need_command python3 python3
        ;;
    docs) need_command python3 python3 ;;
    fleet)
        need_command mender mender-client
        need_command mender-artifact mender-artifact
        need_command swupdate swupdate
        need_command openssl openssl
        need_command cpio cpio
        ;;
    rauc)
        need_command rauc rauc
        need_command mksquashfs squashfs-tools
        need_command dbus-daemon dbus
        need_command openssl openssl
        need_command python3 python3
        ;;
    vm)
        need_command aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
        need_command qemu-system-aarch64 qemu-system-arm
        need_command cpio cpio
        # The emulator alone: its recommended GUI, firmware and disk tools go unused.
        install_options=(--no-install-recommends)
        ;;
    boot)
        need_command debootstrap debootstrap
        need_command qemu-system-x86_64 qemu-system-x86
        need_command mkfs.ext4 e2fsprogs
        install_options=(--no-install-recommends)
        ;;
    *)
        echo "usage: scripts/deps.sh [clang] [fuzz] [cross] [package] [deploy] [sandbox] [bench] [docs] [fleet] [rauc] [vm] [boot]" >&2
        exit 64
        ;;
    esac
done

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${install_options[@]}" "${missing[@]}" >/dev/null
    else
        echo "Missing: ${missing[*]}. Install them (e.g. sudo apt-get install ${missing[*]}) and retry." >&2
        exit 1
    fi
fi

version=$(cmake --version | awk 'NR==1 {print $3}')
if [ "$(printf '%s\n3.25\n' "$version" | sort -V | head -n1)" != "3.25" ]; then
    echo "CMake $version is too old: 3.25 or newer is needed." >&2
    exit 1
fi
