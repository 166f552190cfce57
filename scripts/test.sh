#!/usr/bin/env bash
# Builds the tool, panelsim and the tests with a preset (default: dev) and runs every test.
#   scripts/test.sh                the Debug build
#   scripts/test.sh asan           the same suite with address and undefined-behaviour sanitizers
#   scripts/test.sh ci-clang       Release with clang (ci-gcc: with g++)
#   scripts/test.sh cross-aarch64  cross build for 64-bit ARM, tests under qemu (cross-armhf)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}

case $preset in
cross-*) scripts/deps.sh cross ;;
*clang*) scripts/deps.sh clang ;;
*) scripts/deps.sh ;;
esac
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
