#!/usr/bin/env bash
# Programs a sample image into a simulated panel, reads the flash back and compares.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)" --target panelflash panelsim >/dev/null

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# panelsim links its pseudo-terminal at ./frontpanel; -d points the tool there.
"$root/build/dev/sim/panelsim" --flash panel.bin >panelsim.log &
sim_pid=$!
for _ in $(seq 50); do [ -L frontpanel ] && break; sleep 0.1; done

# The image carries its version as panelsim's firmware reads it (FWVER=hhhh).
{ printf FWVER=0105; head -c 2990 /dev/urandom; } >sample.bin
echo "== panelflash -w sample.bin"
"$root/build/dev/panelflash" -d frontpanel -w sample.bin
echo
echo "== panelflash -r dump.bin"
"$root/build/dev/panelflash" -d frontpanel -r dump.bin
echo
if cmp -n 3000 sample.bin dump.bin; then
    echo "The panel's flash holds the sample image: all 3000 bytes match."
else
    echo "MISMATCH between the sample image and the read-out." >&2
    exit 1
fi
