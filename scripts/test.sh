#!/usr/bin/env bash
# Builds the tool, panelsim and the tests with a preset (default: dev) and runs every test.
#   scripts/test.sh          Debug build
#   scripts/test.sh asan     the same suite with address and undefined-behaviour sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-dev}

scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
