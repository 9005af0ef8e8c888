#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Checks an installation of the library the way a caller meets it:
#   check.sh SRC BUILD      installs the build tree BUILD into a scratch prefix
#   check.sh SRC --system   uses what the packages installed under /usr
# A program outside the tree is built against it with pkg-config and with
# find_package (both must find /dev/null to be no device); every installed
# header must compile on its own through <zodevice/...>; internal headers
# must stay out; the shared library must export no standard-library, Boost or
# internal symbols; no installed binary may carry a run path; zodisk runs.
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install check: $*" >&2; exit 1; }

if [ "${2:-}" = --system ]; then
    prefix=/usr
    # No early exit in a pipeline's reader: the writer would die of SIGPIPE.
    lib=$(ldconfig -p | awk '/libzodevice\.so\.1 .*x86-64/ && !lib {lib = $NF} END {print lib}')
    [ -n "$lib" ] || fail "libzodevice.so.1 is not installed"
    zodisk=$(command -v zodisk) || fail "zodisk is not installed"
    cmake_prefix=()
else
    prefix=$work/prefix
    cmake --install "$2" --prefix "$prefix" >/dev/null
    lib=$(find "$prefix" -name 'libzodevice.so.1' -print -quit)
    [ -n "$lib" ] || fail "libzodevice.so.1 was not installed"
    libdir=$(dirname "$lib")
    export PKG_CONFIG_PATH="$libdir/pkgconfig"
    export LD_LIBRARY_PATH="$libdir"
    zodisk=$prefix/bin/zodisk
    cmake_prefix=(-DCMAKE_PREFIX_PATH="$prefix")
fi
headers=$prefix/include/zodevice

# Callers see <prefix>/include only, and write <zodevice/...>.
cflags=$(pkg-config --cflags zodevice)
case " $cflags " in *"/include/zodevice "*) fail "pkg-config puts $headers on the path: $cflags" ;; esac
c++ -std=c++17 "$src/tests/install/consumer.cpp" $cflags $(pkg-config --libs zodevice) \
    -o "$work/consumer-pc"
"$work/consumer-pc"

cmake -S "$src/tests/install" -B "$work/cm" "${cmake_prefix[@]}" >/dev/null
cmake --build "$work/cm" >/dev/null
"$work/cm/consumer"

test -f "$headers/ZoDeviceTree.h" || fail "$headers/ZoDeviceTree.h is missing"
test ! -e "$headers/ZoHostInternal.h" || fail "the internal ZoHostInternal.h is installed"
for h in "$headers"/*.h; do
    echo "#include <zodevice/$(basename "$h")>" >"$work/one.cpp"
    c++ -std=c++17 -fsyntax-only $cflags "$work/one.cpp" ||
        fail "$(basename "$h") does not compile on its own"
done

# A symbol's name, after what it is of ("typeinfo for ") or its return type
# ("void "), must not start in a namespace that is not the interface's.
leaked=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- |
         grep -E '^((typeinfo (name )?for |vtable for |guard variable for )|[^ (]+ )?(std|boost|__gnu_cxx|zohost|zo_internal)::' ||
         true)
[ -z "$leaked" ] || fail "the library exports symbols that are not its interface:
$leaked"

for f in "$lib" "$zodisk"; do
    if readelf -d "$f" | grep -E '\((RPATH|RUNPATH)\)' >/dev/null; then
        fail "$f carries a run path: $(readelf -d "$f" | grep -E 'RPATH|RUNPATH')"
    fi
done
"$zodisk" --help >/dev/null || fail "zodisk --help failed"
"$zodisk" --version >/dev/null || fail "zodisk --version failed"
echo "install check passed ($prefix)"
