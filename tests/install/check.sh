#!/bin/bash
# Installs the build into a scratch prefix and builds a program outside the
# tree against it twice: with pkg-config and with find_package. Both must
# find /dev/null to be no device.
set -euo pipefail
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(find "$work/prefix" -name 'libzodevice.so.1' -printf '%h\n' | head -n1)
export PKG_CONFIG_PATH="$libdir/pkgconfig"
export LD_LIBRARY_PATH="$libdir"

# The headers include <zodevice/...> through -I<prefix>/include, and each
# other by plain name through the package's own include directory.
c++ -std=c++17 "$src/tests/install/consumer.cpp" \
    $(pkg-config --cflags --libs zodevice) -o "$work/consumer-pc"
"$work/consumer-pc"

cmake -S "$src/tests/install" -B "$work/cm" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cm" >/dev/null
"$work/cm/consumer"

test -f "$work/prefix/include/zodevice/ZoHost.h"
test -f "$work/prefix/include/zodevice/ZoDevice.h"
echo "install check passed"
