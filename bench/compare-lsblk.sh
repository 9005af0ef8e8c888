#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Times zodisk against lsblk on generated SAN host trees, side by side in one
# run: for each size (maps x 4 paths), `zodisk --json list` (every column),
# `zodisk list` and `zodisk tree` (their default columns), the library's
# inventory alone (read_inventory, every fact) and
# `lsblk --sysroot T -J -o NAME,TYPE,MAJ:MIN,SIZE,WWN`; medians of CPU
# seconds (user + system) over the runs, the ratio of each to lsblk, the
# growth from one size to the next, and system calls per block device
# (strace -c -f, less those of the program's start-up alone).
#
# usage: bench/compare-lsblk.sh [-b BUILD] [-s "256 1024 4096"] [-r RUNS] [-t SECONDS] [--clean]
#   -b  the build directory (default: build); its tools/zodisk, bench/make_san_tree
#       and bench/read_inventory are used
#   -s  the sizes, in maps (default: 256 1024 4096)
#   -r  runs per command (default 3)
#   -t  time limit per run in seconds (default 600); a run cut off counts as ">T"
#   --clean  removes the trees afterwards (they are kept under $ZO_SAN_DIR,
#            default /dev/shm/zodevice-san, for the next run)
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
sizes="256 1024 4096"
runs=3
limit=600
clean=0
while [ $# -gt 0 ]; do
    case $1 in
    -b) build=$(cd "$2" && pwd); shift 2 ;;
    -s) sizes=$2; shift 2 ;;
    -r) runs=$2; shift 2 ;;
    -t) limit=$2; shift 2 ;;
    --clean) clean=1; shift ;;
    *) echo "usage: $0 [-b BUILD] [-s SIZES] [-r RUNS] [-t SECONDS] [--clean]" >&2; exit 2 ;;
    esac
done
zodisk=$build/tools/zodisk
maketree=$build/bench/make_san_tree
inventory=$build/bench/read_inventory
for tool in "$zodisk" "$maketree" "$inventory" lsblk strace; do
    command -v "$tool" >/dev/null || { echo "$0: $tool not found (build first; strace comes with scripts/setup.sh)" >&2; exit 1; }
done

commands=("zodisk --json list" "zodisk list" "zodisk tree" "inventory" "lsblk -J")
run_cmd() {  # name tree: runs one command on the tree, output discarded
    case $1 in
    "zodisk --json list") "$zodisk" --sysroot "$2" --json list ;;
    "zodisk list") "$zodisk" --sysroot "$2" list ;;
    "zodisk tree") "$zodisk" --sysroot "$2" tree ;;
    inventory) "$inventory" "$2" ;;
    "lsblk -J") lsblk --sysroot "$2" -J -o NAME,TYPE,MAJ:MIN,SIZE,WWN ;;
    esac >/dev/null 2>&1
}
start_up() {  # name: the program alone, doing nothing
    case $1 in
    zodisk*) "$zodisk" --version ;;
    inventory) "$inventory" - - ;;  # a usage error: loaded, then gone
    lsblk*) lsblk --version ;;
    esac >/dev/null 2>&1
}
export -f run_cmd start_up
export zodisk inventory

# CPU seconds of one run (user + system of the command and its children,
# to the millisecond: bash's times, where GNU time prints hundredths), or
# ">limit" when the time limit cut it off.
cpu_seconds() {  # name tree
    local out
    out=$( (timeout "$limit" bash -c 'run_cmd "$0" "$1"' "$1" "$2" >/dev/null 2>&1
            echo "status $?"; times) | awk '
        /^status/ { status = $2; next }
        { if (++line == 2) { split($1, u, "m"); split($2, s, "m"); cpu = u[1] * 60 + u[2] + s[1] * 60 + s[2] } }
        END { printf "%s %.3f", status, cpu }')
    set -- $out
    if [ "$1" = 124 ]; then echo ">$limit"; return; fi
    echo "$2"
    [ "$1" = 0 ] || echo "!"
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# The system calls of one run of a function (run_cmd or start_up) for a
# command name and tree, "-" when cut off. Both run in the same kind of
# shell, whose own calls the difference of the two cancels.
syscalls() {  # function name tree
    local log=$(mktemp)
    timeout "$limit" strace -c -f -o "$log" bash -c "$1"' "$0" "$1"' "$2" "$3"
    if [ $? = 124 ]; then echo "-"; else awk '$NF == "total" {print $4}' "$log"; fi
    rm -f "$log"
}
syscalls_per_device() {  # name tree devices
    local calls base
    calls=$(syscalls run_cmd "$1" "$2")
    base=$(syscalls start_up "$1" "")
    case "$calls$base" in *-*) echo "-" ;; *) awk -v c="$calls" -v b="$base" -v n="$3" 'BEGIN {printf "%.1f", (c - b) / n}' ;; esac
}

declare -A cpu calls devices
for size in $sizes; do
    set -- $("$maketree" "$size") || exit 1
    tree=$1
    devices[$size]=$2
    for name in "${commands[@]}"; do
        samples=()
        for ((i = 0; i < runs; i++)); do samples+=("$(cpu_seconds "$name" "$tree")"); done
        if printf '%s\n' "${samples[@]}" | grep -q '>'; then
            cpu[$size,$name]=">$limit"
        else
            cpu[$size,$name]=$(median "${samples[@]%!}")
            printf '%s\n' "${samples[@]}" | grep -q '!' && cpu[$size,$name]+="!"
        fi
    done
    for name in "${commands[@]}"; do
        calls[$size,$name]=$(syscalls_per_device "$name" "$tree" "${devices[$size]}")
    done
    [ $clean = 1 ] && rm -rf "$tree"
done

ratio() { case "$1$2" in *'>'*|*-*) echo "-" ;; *) awk -v a="${1%!}" -v b="${2%!}" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}' ;; esac; }

echo "CPU seconds, median of $runs (ratio to lsblk); ! marks a command that exited non-zero"
printf '%-8s %-9s' maps devices
for name in "${commands[@]}"; do printf ' | %-24s' "$name"; done
echo
for size in $sizes; do
    printf '%-8s %-9s' "$size" "${devices[$size]}"
    for name in "${commands[@]}"; do
        printf ' | %-24s' "${cpu[$size,$name]} ($(ratio "${cpu[$size,$name]}" "${cpu[$size,lsblk -J]}"))"
    done
    echo
done
echo
echo "growth from size to size (CPU seconds)"
prev=""
for size in $sizes; do
    if [ -n "$prev" ]; then
        printf '%-12s' "$prev->$size"
        for name in "${commands[@]}"; do printf ' | %-24s' "$(ratio "${cpu[$size,$name]}" "${cpu[$prev,$name]}")x"; done
        echo
    fi
    prev=$size
done
echo
echo "system calls per block device (strace -c -f, less the program's start-up)"
for size in $sizes; do
    printf '%-8s' "$size"
    for name in "${commands[@]}"; do printf ' | %s: %s' "$name" "${calls[$size,$name]}"; done
    echo
done
