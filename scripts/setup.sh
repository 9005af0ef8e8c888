#!/bin/sh
# Installs every Debian package that the build, the tests, the tools, the
# real-kernel suite and the Debian packaging need. Safe to run again.
set -eu
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
    build-essential cmake pkg-config git ca-certificates ccache \
    libblkid-dev libdevmapper-dev libinih-dev libboost-dev \
    libcli11-dev nlohmann-json3-dev \
    googletest libgtest-dev libgmock-dev libbenchmark-dev \
    util-linux fdisk multipath-tools sg3-utils udev kmod cpio strace \
    qemu-system-x86 busybox-static \
    clang-14 libclang-rt-14-dev \
    strace time \
    debhelper dpkg-dev fakeroot lintian \
    >/dev/null
