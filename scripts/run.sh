#!/bin/bash
# The main job: builds the library and its command-line tool and shows the
# device tree of a captured SAN host shipped with the project. Pass another
# host tree directory (or "live" for this machine) as the first argument.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZODEVICE_SANITIZE= >/dev/null
cmake --build "$build" -j"$(nproc)" --target zodisk >/dev/null
tree=${1:-examples/hosts/qemu-san}
if [ "$tree" = live ]; then
    exec "$build/tools/zodisk" tree
fi
echo "== zodisk --sysroot $tree tree"
"$build/tools/zodisk" --sysroot "$tree" tree
echo
echo "== zodisk --sysroot $tree list --kind mpath"
"$build/tools/zodisk" --sysroot "$tree" list --kind mpath
