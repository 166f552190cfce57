#!/usr/bin/env bash
# Builds the Debian packages panelflash, panelsim and panelflash-mender from the committed tree
# and checks them with lintian; the packages and their .changes end up in OUTDIR (default
# build/debian).
#   scripts/package.sh [OUTDIR]
# DEB_BUILD_OPTIONS=nocheck skips the test suite that the package build runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
out=$(mkdir -p "${1:-build/debian}" && cd "${1:-build/debian}" && pwd)

scripts/deps.sh package
# A tree from a tarball, or one inside another project's checkout, has no commit of its own.
if [ "$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" != "$root" ] ||
    ! git -C "$root" rev-parse -q --verify HEAD >/dev/null; then
    echo "package.sh: $root is not a git checkout with a commit; the packages are built" \
        "from the committed tree (git clone the project)" >&2
    exit 1
fi

# The suite the package build runs waits on the line, not on the processors: four tests at
# once, unless the caller says otherwise.
case " ${DEB_BUILD_OPTIONS:-} " in
*" parallel="*) ;;
*) export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=4" ;;
esac

# dpkg-buildpackage writes beside the source tree, so the tree is built from a copy.
work=$(mktemp -d "${TMPDIR:-/tmp}/panelflash-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
git -C "$root" archive --prefix=panelflash/ HEAD | tar -x -C "$work"
(cd "$work/panelflash" && dpkg-buildpackage -us -uc -b)
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/

lintian --fail-on error,warning "$out"/*.changes
echo "packages in $out: $(cd "$out" && echo ./*.deb)"
