#!/bin/sh
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the Debian packages the project needs. Safe to run again.
#   scripts/setup.sh          everything: the build, the unit and kernel
#                             tests, the fuzzers, the benchmarks, the tools
#                             the tests compare against and the packaging
#   scripts/setup.sh --main   only what building the library and zodisk
#                             needs (the main job: scripts/run.sh)
set -eu
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

# The library and zodisk.
main="build-essential cmake pkg-config ccache
      libblkid-dev libdevmapper-dev libinih-dev libboost-dev
      libcli11-dev nlohmann-json3-dev libudev-dev"
# The tests, the peers they compare against, the real-kernel suite under
# qemu, the fuzzers (clang), bash completion, promtool (prometheus) for the
# metrics and alerting rules, and the Debian packaging.
rest="git ca-certificates
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      util-linux fdisk multipath-tools sg3-utils udev kmod cpio strace time
      qemu-system-x86 busybox-static nvme-cli open-iscsi
      clang-14 libclang-rt-14-dev
      bash-completion prometheus
      debhelper dpkg-dev fakeroot lintian"

case "${1:-}" in
    "") packages="$main $rest" ;;
    --main) packages=$main ;;
    *) echo "usage: scripts/setup.sh [--main]" >&2; exit 2 ;;
esac

echo "== installing $(echo $packages | wc -w) Debian packages (apt-get)" >&2
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $packages >/dev/null
