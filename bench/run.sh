#!/usr/bin/env bash
# Builds the Release tool and panelsim, then times programming and read-out against
# `panelsim --line --report` and prints the figures with a PASS/FAIL line per target.
# Exit 0 when the measurement ran, whether or not the targets were met.
# Arguments are passed on to panelsim, e.g. `bench/run.sh --fifo 1` for a UART that hands
# over every received byte on its own.
# BENCH_TOOL_ARGS puts options before each operation, e.g. `BENCH_TOOL_ARGS=-t bench/run.sh`
# to time traced runs (the trace goes to a file).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/bench"   # own build dir, without tests, so build/release is left alone
work=$(mktemp -d "${TMPDIR:-/tmp}/panelflash-bench.XXXXXX")
sim_pid=""

cleanup() {
    cd /
    if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" || true
        wait "$sim_pid" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$root/scripts/deps.sh" bench
started=$(date +%s)
echo "building Release tool and panelsim in $build"
{
    [[ -f $build/CMakeCache.txt ]] ||
        cmake --preset release -B "$build" -DBUILD_TESTING=OFF
    cmake --build "$build" -j"$(nproc)" --target panelflash-local panelsim
    [[ $build/child_usage -nt $root/bench/child_usage.c ]] ||
        "${CC:-cc}" -O2 -Wall -Wextra -o "$build/child_usage" "$root/bench/child_usage.c"
} >"$work/build.log" 2>&1 || { cat "$work/build.log"; echo "bench: build failed" >&2; exit 1; }

cd "$work"
"$build/sim/panelsim" --line --report --link ./frontpanel "$@" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    grep -q '^panelsim: panel on ' "$work/sim.out" && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; echo "bench: panelsim died" >&2; exit 1; }
    sleep 0.05
done
grep -q '^panelsim: panel on ' "$work/sim.out" || { echo "bench: panelsim did not start" >&2; exit 1; }
head -n 1 "$work/sim.out"

python3 "$root/bench/measure.py" "$build/child_usage" "$build/panelflash-local" "$work" "$work/sim.out"
echo "bench took $(( $(date +%s) - started )) s"
