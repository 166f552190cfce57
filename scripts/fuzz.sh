#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz: clang, libFuzzer, address and undefined-behaviour
# sanitizers) and fuzzes each in turn from its committed seeds; a finding fails the run and
# is kept in build/fuzz/findings/. New inputs go to build/fuzz/work/, not to the seeds.
#   scripts/fuzz.sh                  every target, 60 seconds each
#   scripts/fuzz.sh 600 fuzz_run     one target, 10 minutes
#   build/fuzz/fuzz/fuzz_run build/fuzz/findings/fuzz_run-crash-...   replays a finding
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

scripts/deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for folder in fuzz/corpus/*/; do
        targets+=("$(basename "$folder")")
    done
fi
mkdir -p build/fuzz/findings
for target in "${targets[@]}"; do
    echo "== $target, $seconds s"
    mkdir -p "build/fuzz/work/$target"
    # Standard output is the tool's messages: thrown away. Properties broken and the
    # sanitizers' reports go to standard error.
    "build/fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=30 -close_fd_mask=1 \
        -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$target-" \
        "build/fuzz/work/$target" "fuzz/corpus/$target"
done
