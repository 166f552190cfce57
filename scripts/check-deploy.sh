#!/usr/bin/env bash
# Checks the manual pages and the deployment examples as a device maker will use them:
# mandoc's lint, shellcheck, systemd-analyze verify on the installed package, the installed
# tool's --version against the package's, and the udev rule applied by udevadm to a real
# serial port in a private /dev.
#   scripts/check-deploy.sh PANELFLASH_DEB
# Needs root (it installs the package and makes a private mount namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
deb=${1:?usage: scripts/check-deploy.sh PANELFLASH_DEB}

scripts/deps.sh deploy

echo "== mandoc -Tlint"
mandoc -Tlint -Wwarning man/panelflash.1 man/panelsim.1

echo "== shellcheck"
shellcheck -s sh deploy/panelflash-update.init deploy/mender/panel-firmware deploy/mender/make-artifact \
    deploy/mender/mender-inventory-panel-firmware deploy/swupdate/panel-firmware.sh deploy/swupdate/make-swu deploy/rauc/panel-firmware.sh \
    deploy/rauc/make-bundle
shellcheck scripts/*.sh bench/run.sh .ci/run

echo "== systemd-analyze verify"
# verify checks that the unit's programs and manual exist, so the package is installed for
# the check, and removed again unless it was there before.
installed=$(dpkg-query -W -f='${Status}' panelflash 2>/dev/null || true)
dpkg -i "$deb" >/dev/null
[[ $installed == *" installed" ]] || trap 'dpkg -r panelflash >/dev/null' EXIT
systemd-analyze verify deploy/panelflash-update.service

echo "== --version"
# A bug report names the version --version prints; the package it came in must name the same.
package_version=$(dpkg-deb -f "$deb" Version)
tool_version=$(/usr/bin/panelflash --version)
[[ $tool_version == "panelflash ${package_version%%-*}"* ]] ||
    { echo "--version says '$tool_version', the package $package_version" >&2; exit 1; }

echo "== udev rule"
# Applied to the first serial port with its kernel name put in, in a private /dev and
# /run/udev, so that the machine's own devices are left alone.
ports=(/sys/class/tty/ttyS*)
port=${ports[0]##*/}
# shellcheck disable=SC2016 # $1 and $2 are the inner shell's
result=$(unshare --mount --propagation private sh -c '
    mount -t tmpfs none /dev && mkdir -p /run/udev && mount -t tmpfs none /run/udev &&
    mkdir /run/udev/rules.d &&
    sed "s/KERNEL==\"[^\"]*\"/KERNEL==\"$1\"/" "$2" >/run/udev/rules.d/60-frontpanel.rules &&
    udevadm test --action=add "/sys/class/tty/$1" 2>&1' sh "$port" deploy/60-frontpanel.rules)
if grep -q '60-frontpanel.rules:.*[Ii]nvalid' <<<"$result"; then
    grep '60-frontpanel.rules' <<<"$result" >&2
    echo "udev rule: invalid" >&2
    exit 1
fi
for expected in 'DEVLINKS=.*/dev/frontpanel' 'ID_MM_DEVICE_IGNORE=1' \
    '60-frontpanel.rules:[0-9]* GROUP' '60-frontpanel.rules:[0-9]* MODE 0660'; do
    grep -q "$expected" <<<"$result" || { echo "udev rule: no $expected" >&2; exit 1; }
done
# systemd's own rules tag serial ports too, so the rule's tag is checked in its text: a port
# of another subsystem would lack it.
grep -q 'TAG+="systemd"' deploy/60-frontpanel.rules || { echo "udev rule: no systemd tag" >&2; exit 1; }
echo "deployment examples OK"
