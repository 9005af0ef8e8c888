#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the project and runs every test: unit and integration tests on host
# trees, the installed-package check, and the real-kernel suite under qemu.
#   scripts/test.sh           everything
#   scripts/test.sh --unit    everything but the real-kernel suite
# BUILD_DIR (default build), ZODEVICE_SANITIZE (e.g. address,undefined) and
# ZODEVICE_WERROR (ON: warnings in the project's own code are errors) select
# the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
labels=()
targets=()
if [ "${1:-}" = "--unit" ]; then
    labels=(-LE kernel)
    # What the unit tests and the install check run; not the real-kernel
    # suite's programs nor the benchmarks.
    targets=(--target zodevice_tests zodisk)
fi
# BUILD_TESTING and ZODEVICE_BENCH explicitly: scripts/run.sh may have
# configured the same build directory without them.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING=ON -DZODEVICE_BENCH=ON \
      -DZODEVICE_SANITIZE="${ZODEVICE_SANITIZE:-}" \
      -DZODEVICE_WERROR="${ZODEVICE_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${labels[@]}"
