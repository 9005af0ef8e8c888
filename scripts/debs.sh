#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the Debian packages (libzodevice1, libzodevice-dev, zodisk) from a
# copy of the work tree, so that the checkout stays clean: dpkg-buildpackage
# writes its results beside the source directory.
#   scripts/debs.sh OUTDIR             the packages into OUTDIR
#   scripts/debs.sh --symbols OUTDIR   the same, then rewrites
#                                      debian/libzodevice1.symbols from the
#                                      library just built
# DEB_BUILD_OPTIONS works as usual (nocheck: no unit tests, no GoogleTest);
# ZODEVICE_WERROR=ON makes warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."
symbols=no
if [ "${1:-}" = --symbols ]; then
    symbols=yes
    shift
fi
out=${1:?usage: scripts/debs.sh [--symbols] OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
src=$out/zodevice
rm -rf "$src"
mkdir "$src"
# Tracked and new files as they are in the work tree, no build directories.
git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do { [ -e "$f" ] || [ -L "$f" ]; } && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -C "$src" -xf -

export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-parallel=$(nproc)}"
if [ "$symbols" = yes ]; then
    # A symbol that went away must not stop the build that replaces the list.
    export DPKG_GENSYMBOLS_CHECK_LEVEL=0
fi
(cd "$src" && dpkg-buildpackage -us -uc -b)
if [ "$symbols" = yes ]; then
    # New symbols carry the project's version (1.0.0), which is older than
    # the package's (1.0.0-1): only then does a later build of the same
    # version notice one that went away.
    dpkg-gensymbols -plibzodevice1 -P"$src/debian/libzodevice1" \
        -v"$(dpkg-parsechangelog -SVersion | sed 's/-[^-]*$//')" \
        -Odebian/libzodevice1.symbols
    echo "rewrote debian/libzodevice1.symbols; review with git diff"
fi
ls "$out"/*.deb
