#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds every libFuzzer target with clang (in build-fuzz/, apart from the
# normal build) and runs each for SECONDS (default 60). Seeds come from
# fuzz/corpus/<name>/ and the test data; what a run learns stays in
# build-fuzz/corpus/<name>/. A crash leaves its input in build-fuzz/ and
# makes the script fail.
#   fuzz/run.sh [SECONDS] [TARGET...]
set -eu
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
JOBS=${JOBS:-2}
CXX_FUZZ=${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14)}
cmake -S fuzz -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX_FUZZ" >/dev/null
cmake --build "$BUILD" -j"$JOBS" >/dev/null
targets=${*:-$(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')}
status=0
for target in $targets; do
    name=${target%_fuzz}
    mkdir -p "$BUILD/corpus/$name"
    seeds="fuzz/corpus/$name"
    case $name in
        multipath_conf) seeds="$seeds tests/data/multipath" ;;
    esac
    echo "== $target, ${SECONDS_EACH}s"
    if ! "$BUILD/$target" -max_total_time="$SECONDS_EACH" -max_len=4096 -timeout=10 \
            -artifact_prefix="$BUILD/$name-" -print_final_stats=1 \
            "$BUILD/corpus/$name" $seeds 2>"$BUILD/$name.log"; then
        tail -n 40 "$BUILD/$name.log"
        status=1
    fi
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$BUILD/$name.log" || true
done
exit $status
