#!/usr/bin/env bash
# Makes sure the build tools are here: installs what is missing when run as root on a
# Debian-like system, otherwise says what to install and fails.
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)

if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
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
