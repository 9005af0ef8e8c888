#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The main job: builds the library and its command-line tool and shows the
# device tree of a captured SAN host shipped with the project.
#   scripts/run.sh                 the qemu-san capture (examples/hosts/)
#   scripts/run.sh DIR             another host tree
#   scripts/run.sh live            this machine
#   scripts/run.sh zodisk ARGS...  builds, then runs zodisk with ARGS
# Progress goes to standard error, so that zodisk's own output can be piped.
# BUILD_DIR (default build) selects the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
zodisk=$build/tools/zodisk

say() { echo "== $*" >&2; }

# Only the library and zodisk: neither GoogleTest nor Google Benchmark is
# needed (scripts/setup.sh --main installs what is). A build directory the
# tests used before keeps its tests switched on.
build_zodisk() {
    local testing=OFF launcher=
    [ -f "$build/CMakeCache.txt" ] && grep -q '^BUILD_TESTING:BOOL=ON' "$build/CMakeCache.txt" &&
        testing=ON
    command -v ccache >/dev/null && launcher=", ccache"
    say "configuring $build/ (cmake)"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZODEVICE_SANITIZE= \
          -DBUILD_TESTING=$testing -DZODEVICE_BENCH=$testing >/dev/null
    say "building libzodevice and zodisk ($(nproc) jobs$launcher)"
    cmake --build "$build" -j"$(nproc)" --target zodisk >&2
}

if [ "${1:-}" = zodisk ]; then
    shift
    build_zodisk
    exec "$zodisk" "$@"
fi

start=$SECONDS
build_zodisk
say "built $zodisk in $((SECONDS - start)) s"
tree=${1:-examples/hosts/qemu-san}
if [ "$tree" = live ]; then
    say "$zodisk tree"
    "$zodisk" tree
else
    say "$zodisk --sysroot $tree tree"
    "$zodisk" --sysroot "$tree" tree
    echo
    say "$zodisk --sysroot $tree list --kind mpath"
    "$zodisk" --sysroot "$tree" list --kind mpath
fi
echo >&2
say "zodisk is $zodisk; run it with 'scripts/run.sh zodisk ARGS' (e.g. 'scripts/run.sh zodisk --help')"
