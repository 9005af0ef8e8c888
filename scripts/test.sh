#!/bin/bash
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
if [ "${1:-}" = "--unit" ]; then
    labels=(-LE kernel)
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZODEVICE_SANITIZE="${ZODEVICE_SANITIZE:-}" \
      -DZODEVICE_WERROR="${ZODEVICE_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${labels[@]}"
