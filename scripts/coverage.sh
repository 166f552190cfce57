#!/usr/bin/env bash
# Line and branch coverage of the tool's code (src/) by the whole test suite: a Debug build
# with --coverage in build/cov, the suite run, then gcovr's summary. The end-to-end tests run
# the tool as a child process, whose counts are written when it exits; a run ended by a
# signal leaves none, so a stop signal's handler shows as never run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh coverage
cmake -S . -B build/cov -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build/cov -j 2
find build/cov -name '*.gcda' -delete
ctest --test-dir build/cov -j 2 --output-on-failure
# Exception edges (std::string running out of memory) are no path a user can take.
gcovr --root . --filter 'src/' --exclude-throw-branches --exclude-unreachable-branches \
    --print-summary build/cov
