#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# What zodisk diff and watch cost, measured in one run and reported (never
# a pass or a failure on time):
#   - `zodisk diff A B` of two captures of a generated SAN host (MAPS maps x 4
#     paths; B is A with one path failed in every 64th map and one map grown)
#     against two `zodisk --json list`, one of each capture: medians of CPU
#     seconds (user + system) over the runs, and their ratio;
#   - `zodisk watch` on this machine while nothing happens: the CPU clock
#     ticks it used over SECONDS (utime + stime from /proc/PID/stat, read
#     after it printed that it watches and again at the end), and whether
#     SIGTERM ended it with status 0.
#
# usage: bench/diff-watch-cost.sh [-b BUILD] [-m MAPS] [-r RUNS] [-w SECONDS]
#   -b  the build directory (default: build); its tools/zodisk and
#       bench/make_san_tree are used
#   -m  maps of the generated host (default 1024)
#   -r  runs per command (default 5)
#   -w  seconds watch is left idle (default 60)
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
maps=1024
runs=5
idle=60
while [ $# -gt 0 ]; do
    case $1 in
    -b) build=$(cd "$2" && pwd); shift 2 ;;
    -m) maps=$2; shift 2 ;;
    -r) runs=$2; shift 2 ;;
    -w) idle=$2; shift 2 ;;
    *) echo "usage: $0 [-b BUILD] [-m MAPS] [-r RUNS] [-w SECONDS]" >&2; exit 2 ;;
    esac
done
zodisk=$build/tools/zodisk
maketree=$build/bench/make_san_tree
for tool in "$zodisk" "$maketree"; do
    [ -x "$tool" ] || { echo "$0: $tool not found (build it first)" >&2; exit 1; }
done

set -- $("$maketree" "$maps") || exit 1
before=$1
after=$(mktemp -d "${ZO_SAN_DIR:-/dev/shm/zodevice-san}/diff-after.XXXXXX")
trap 'rm -rf "$after"' EXIT
cp -a "$before/." "$after/"
# One path failed in every 64th map; the first map grown to twice its size.
n=0
for f in "$after"/.zohost/dm/*; do
    grep -q '^table .* multipath ' "$f" || continue
    [ $((n++ % 64)) = 0 ] && sed -i -E 's/^(status .* [0-9]+:[0-9]+) A /\1 F /' "$f"
done
first=$(grep -l '^table .* multipath ' "$after"/.zohost/dm/* | head -1)
dm=$(basename "$(readlink -f "$after/sys/dev/block/$(basename "$first")")")
echo $(($(cat "$after/sys/devices/virtual/block/$dm/size") * 2)) >"$after/sys/devices/virtual/block/$dm/size"

cpu() {  # CPU seconds (user + system) of a command line
    /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%.3f", $1 + $2}'
}
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

diffs=() lists=()
for ((i = 0; i < runs; i++)); do
    diffs+=("$(cpu "$zodisk" diff "$before" "$after")")
    a=$(cpu "$zodisk" --sysroot "$before" --json list)
    b=$(cpu "$zodisk" --sysroot "$after" --json list)
    lists+=("$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.3f", a + b}')")
done
changes=$("$zodisk" diff "$before" "$after" | wc -l)
d=$(median "${diffs[@]}")
l=$(median "${lists[@]}")
echo "captures of $maps maps x 4 paths; $changes changes; median CPU seconds of $runs runs"
echo "  zodisk diff A B:                     $d"
echo "  zodisk --json list A + same of B:    $l"
echo "  ratio diff / two lists:              $(awk -v d="$d" -v l="$l" 'BEGIN {printf "%.2f", d / l}') (at most 2 wanted)"

ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }
err=$(mktemp)
"$zodisk" watch >/dev/null 2>"$err" &
pid=$!
for ((i = 0; i < 100; i++)); do grep -q 'watching' "$err" && break; sleep 0.1; done
t0=$(ticks $pid)
sleep "$idle"
t1=$(ticks $pid)
kill -TERM $pid
wait $pid
rc=$?
echo "zodisk watch on this machine, idle for ${idle} s: $((t1 - t0)) clock ticks of CPU" \
     "($(getconf CLK_TCK) a second); SIGTERM ended it with status $rc"
echo "  ($(cat "$err"))"
rm -f "$err"
