#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Regenerates the shipped host tree examples/hosts/qemu-guest from a real
# kernel: boots the real-kernel suite's multipath guest (scsi_debug disks with
# partitions, a two-path map with partition maps, an NVMe namespace with a
# volume serial), takes the tree `zodisk snapshot` captured there (which keeps
# of each disk only the sectors its partition table is read from), and checks
# that zodisk answers from that tree exactly what it answered live in the
# guest.
#
# With --fabric it regenerates instead the fabric captures
# tests/data/hosts/fabric-live-up and fabric-live-down: it boots the suite's
# fabric guest with zo.capture=1, where guest/fabric.sh captures the host
# with every path up and again with the second path of each fabric down
# (NVMe port 4421 removed from the target, iSCSI portal group 2 disabled).
# Each capture holds
#   snapshot/  what `zodisk snapshot` captured (a host tree)
#   sysfs/     a copy of the fabric's sysfs: the classes nvme, nvme-subsystem,
#              nvme-fabrics, iscsi_host, iscsi_session, iscsi_connection,
#              iscsi_transport, scsi_host and block with the device
#              directories they link to (attributes that could be read, links
#              as links; power, trace and queue directories left out)
#   peers/     the peers' answers in the same state (peers/INDEX: file, exit
#              status, command)
#
# Usage: capture-example.sh --build-dir DIR [--cache DIR] [--reuse] [--fabric]
#   --build-dir, --cache  as for run-suite.sh (a build of zodisk and of the
#                         guest test program)
#   --reuse               take the capture of the last passed run instead of
#                         booting the guest again (for --fabric, a run booted
#                         with zo.capture=1)
#   --fabric              the fabric captures
# Afterwards rewrite the golden files and read their diff before committing:
#   REGENERATE=1 DIR/tests/zodevice_tests --gtest_filter='CliGuestGolden.*'
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TOP=$(cd "$HERE/../.." && pwd)
BUILD=""
CACHE=""
REUSE=0
FABRIC=0
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir) BUILD=$2; shift 2 ;;
    --cache) CACHE=$2; shift 2 ;;
    --reuse) REUSE=1; shift ;;
    --fabric) FABRIC=1; shift ;;
    *) echo "capture-example.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$BUILD" ] || { echo "capture-example.sh: --build-dir is required" >&2; exit 2; }
BUILD=$(cd "$BUILD" && pwd)
CACHE=${CACHE:-$BUILD/kernel-suite}
ZODISK=$BUILD/tools/zodisk
DEST=$TOP/examples/hosts/qemu-guest

die() {
    echo "capture-example.sh: $*" >&2
    exit 1
}

# The fabric captures: a guest whose tests or round trip failed is not
# captured. Capturing both states takes a minute or two more than the
# scenario.
capture_fabric() {
    if [ "$REUSE" = 0 ]; then
        ZODEVICE_KERNEL_TIMEOUT_FACTOR=${ZODEVICE_KERNEL_TIMEOUT_FACTOR:-2} \
            ZODEVICE_KERNEL_APPEND="${ZODEVICE_KERNEL_APPEND:-} zo.capture=1" \
            "$HERE/run-suite.sh" --build-dir "$BUILD" --cache "$CACHE" --scenario fabric ||
            die "the fabric scenario failed; no capture taken"
    fi
    local res=$CACHE/runs/fabric/results/fabric-capture state dest
    for state in up down; do
        [ -d "$res/$state/snapshot" ] && [ -d "$res/$state/sysfs" ] ||
            die "the guest left no $state capture in $res (booted without zo.capture=1?)"
    done
    for state in up down; do
        dest=$TOP/tests/data/hosts/fabric-live-$state
        rm -rf "$dest.new"
        cp -a "$res/$state" "$dest.new"
        # Git keeps no empty directory: shipped as a checkout will have it.
        find "$dest.new" -depth -type d -empty -delete
        rm -rf "$dest"
        mv "$dest.new" "$dest"
        echo "capture-example.sh: $dest regenerated ($(find "$dest" | wc -l) entries)"
    done
}
if [ "$FABRIC" = 1 ]; then
    capture_fabric
    exit 0
fi

# The guest's tests must pass and its round trip must hold: a capture of a
# guest that went wrong is no example. --reuse takes the last run's capture.
if [ "$REUSE" = 0 ]; then
    "$HERE/run-suite.sh" --build-dir "$BUILD" --cache "$CACHE" --scenario multipath ||
        die "the multipath scenario failed; no capture taken"
fi
RES=$CACHE/runs/multipath/results
[ -d "$RES/capture" ] || die "the guest left no capture in $RES"

NEW=$DEST.new
rm -rf "$NEW"
cp -a "$RES/capture" "$NEW"

# Git keeps no empty directory (an empty holders/ or slaves/): the tree is
# shipped and checked without them, as a checkout will have it.
find "$NEW" -depth -type d -empty -delete

# The tree answers every command of the guest's round trip as the guest
# did live.
n=0
bad=0
while read -r args; do
    n=$((n + 1))
    # shellcheck disable=SC2086 # args are words
    "$ZODISK" --sysroot "$NEW" --json $args </dev/null >"$NEW.out" 2>/dev/null && rc=0 || rc=$?
    if [ "$rc" != "$(cat "$RES/roundtrip/live/$n.rc")" ] ||
        ! cmp -s "$NEW.out" "$RES/roundtrip/live/$n.json"; then
        echo "zodisk --json $args: the tree answers differently:" >&2
        diff -u "$RES/roundtrip/live/$n.json" "$NEW.out" | head -30 >&2 || true
        bad=1
    fi
done <"$RES/roundtrip/commands"
rm -f "$NEW.out"
[ "$bad" = 0 ] || { rm -rf "$NEW"; die "the tree lost something the library reads"; }

rm -rf "$DEST"
mv "$NEW" "$DEST"
echo "capture-example.sh: $DEST regenerated ($(du -sh "$DEST" | cut -f1), $n commands checked)"
