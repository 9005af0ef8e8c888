#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Boots Debian's kernel under qemu once per scenario, runs the guest test
# program there and reports each scenario's outcome.
#
# Usage: run-suite.sh --build-dir DIR [--cache DIR] [--scenario NAME]...
#   --build-dir  the CMake build directory holding libzodevice.so and
#                tests/kernel/zodevice_kernel_tests
#   --cache      where the kernel, the base initramfs and the runs are kept
#                (default: BUILD/kernel-suite); the kernel and the base
#                initramfs are reused when present
#   --scenario   run only the named scenarios (default: all)
# ZODEVICE_KERNEL_TIMEOUT_FACTOR (default 1) multiplies each scenario's
# time-out, for a machine much slower or busier than usual.
# ZODEVICE_KERNEL_APPEND adds words to the guests' kernel command line (such
# as zo.capture=1, which the fabric scenario reads).
# Exits 0 iff every scenario ran to its end and all its tests passed; a
# missing qemu or kernel package is a failure with a message, never a pass.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD=""
CACHE=""
SCENARIOS=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir) BUILD=$2; shift 2 ;;
    --cache) CACHE=$2; shift 2 ;;
    --scenario) SCENARIOS+=("$2"); shift 2 ;;
    *) echo "run-suite.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$BUILD" ] || { echo "run-suite.sh: --build-dir is required" >&2; exit 2; }
BUILD=$(cd "$BUILD" && pwd)
CACHE=${CACHE:-$BUILD/kernel-suite}
mkdir -p "$CACHE"
CACHE=$(cd "$CACHE" && pwd)
# shellcheck source=scenarios.sh
. "$HERE/scenarios.sh"
[ ${#SCENARIOS[@]} -gt 0 ] || SCENARIOS=("${ALL_SCENARIOS[@]}")

die() {
    echo "kernel suite: FAILED: $*" >&2
    exit 1
}
log() { echo "kernel suite: $*"; }

# --- prerequisites -----------------------------------------------------------
QEMU=$(command -v qemu-system-x86_64 || true)
[ -n "$QEMU" ] || die "qemu-system-x86_64 is not installed (Debian package qemu-system-x86; run scripts/setup.sh)"
BUSYBOX=/bin/busybox
[ -x "$BUSYBOX" ] && ! ldd "$BUSYBOX" >/dev/null 2>&1 ||
    die "a static busybox is not installed (Debian package busybox-static)"
for tool in cpio depmod dpkg-deb apt-get ldd timeout tar; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done
TEST_BIN=$BUILD/tests/kernel/zodevice_kernel_tests
[ -x "$TEST_BIN" ] || die "$TEST_BIN is missing: build the target zodevice_kernel_tests first"
ZODISK=$BUILD/tools/zodisk
[ -x "$ZODISK" ] || die "$ZODISK is missing: build the target zodisk first (the snapshot round trip needs it)"
NORMALIZE=$BUILD/tests/kernel/zodevice_roundtrip_normalize
[ -x "$NORMALIZE" ] || die "$NORMALIZE is missing: build the target zodevice_roundtrip_normalize first"

# --- kernel ------------------------------------------------------------------
# Unpacks linux-image-amd64's kernel package into $CACHE/kernel (once).
fetch_kernel() {
    local k=$CACHE/kernel
    if [ -f "$k/ready" ]; then
        KVER=$(cat "$k/ready")
        return
    fi
    rm -rf "$k" "$CACHE/kernel.tmp"
    mkdir -p "$CACHE/kernel.tmp/debs"
    log "fetching Debian's kernel (apt-get download linux-image-amd64)"
    local apt=$CACHE/kernel.tmp/apt.log
    (cd "$CACHE/kernel.tmp/debs" && apt-get download -q linux-image-amd64 >"$apt" 2>&1) ||
        die "apt-get download linux-image-amd64 failed (no archive access? try apt-get update): $(tail -1 "$apt")"
    local meta dep
    meta=$(ls "$CACHE"/kernel.tmp/debs/linux-image-amd64_*.deb)
    dep=$(dpkg-deb -f "$meta" Depends | tr ',' '\n' | sed -n 's/^ *\(linux-image-[0-9][^ ]*\).*/\1/p' | head -1)
    [ -n "$dep" ] || die "cannot read the kernel package from $meta's Depends"
    (cd "$CACHE/kernel.tmp/debs" && apt-get download -q "$dep" >"$apt" 2>&1) ||
        die "apt-get download $dep failed: $(tail -1 "$apt")"
    dpkg-deb -x "$CACHE"/kernel.tmp/debs/"$dep"_*.deb "$CACHE/kernel.tmp/root" ||
        die "cannot unpack $dep"
    KVER=$(ls "$CACHE/kernel.tmp/root/lib/modules" | head -1)
    [ -n "$KVER" ] && [ -f "$CACHE/kernel.tmp/root/boot/vmlinuz-$KVER" ] ||
        die "$dep holds no kernel image"
    depmod -b "$CACHE/kernel.tmp/root" "$KVER" || die "depmod failed on $dep"
    rm -rf "$CACHE/kernel.tmp/debs"
    echo "$KVER" >"$CACHE/kernel.tmp/ready"
    mv "$CACHE/kernel.tmp" "$k"
}

# --- initramfs ---------------------------------------------------------------
# Copies file (following links) and the shared libraries it needs into root,
# each at its own path.
copy_with_libs() {
    local root=$1
    shift
    local f lib
    for f in "$@"; do
        [ -e "$f" ] || die "$f is missing on this machine (see scripts/setup.sh)"
        copy_path "$root" "$f"
        for lib in $(ldd "$f" 2>/dev/null | grep -o '/[^ ]*' || true); do
            copy_path "$root" "$lib"
        done
    done
}

# The path under /usr of a path below /bin, /sbin, /lib or /lib64: the guest,
# like this machine, has those as links into /usr, and an archive entry below
# them would replace the link by a directory.
usr_path() {
    case "$1" in
    /bin/* | /sbin/* | /lib/* | /lib64/*) echo "/usr$1" ;;
    *) echo "$1" ;;
    esac
}

# Copies path into root at the same place; a link is kept as a link and its
# target copied as well.
copy_path() {
    local root=$1 p
    p=$(usr_path "$2")
    [ -e "$root$p" ] || [ -L "$root$p" ] && return 0
    mkdir -p "$root$(dirname "$p")"
    if [ -L "$p" ]; then
        local target
        target=$(readlink "$p")
        ln -sf "$target" "$root$p"
        case "$target" in
        /*) copy_path "$root" "$target" ;;
        *) copy_path "$root" "$(cd "$(dirname "$p")" && pwd)/$target" ;;
        esac
    else
        cp -a "$p" "$root$p"
    fi
}

# Binaries the scenarios and the peers need in the guest.
GUEST_BINARIES=(
    /usr/bin/kmod /usr/bin/lsblk /usr/sbin/blkid /usr/sbin/sfdisk /usr/sbin/blockdev
    /usr/bin/partx /usr/bin/mountpoint /usr/sbin/mke2fs /usr/sbin/multipath /usr/sbin/multipathd
    /usr/sbin/kpartx /usr/sbin/dmsetup /usr/bin/sg_vpd /usr/bin/sg_inq /usr/bin/sg_turs /usr/bin/strace
    /usr/bin/udevadm /lib/udev/scsi_id /lib/udev/kpartx_id /lib/udev/ata_id
    /usr/bin/awk /usr/bin/grep /usr/bin/cat
    /usr/sbin/nvme /usr/sbin/iscsiadm /usr/sbin/iscsid
)
# Modules loaded by some scenario; their dependencies are added.
GUEST_MODULES=(
    virtio_pci virtio_blk scsi_debug sd_mod sg scsi_dh_alua scsi_dh_rdac scsi_dh_emc dm_mod
    dm_multipath dm_round_robin dm_service_time dm_queue_length nvme nvme_core ext4
    nvmet nvmet_tcp nvme_tcp crc32c_generic target_core_mod target_core_file
    iscsi_target_mod iscsi_tcp
)

build_base() {
    local stamp want
    want="$KVER $(cat "$HERE/run-suite.sh" | md5sum | cut -d' ' -f1)"
    stamp=$CACHE/base.stamp
    if [ -f "$CACHE/base.cpio" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
        return
    fi
    log "building the base initramfs"
    local root=$CACHE/base.root
    rm -rf "$root"
    mkdir -p "$root"/usr/{bin,sbin,lib,lib64} "$root"/{dev,proc,sys,run,tmp,etc,root,results,bb}
    ln -s usr/bin "$root/bin"
    ln -s usr/sbin "$root/sbin"
    ln -s usr/lib "$root/lib"
    ln -s usr/lib64 "$root/lib64"
    cp "$BUSYBOX" "$root/bb/busybox"
    copy_with_libs "$root" "${GUEST_BINARIES[@]}"
    ln -sf /usr/bin/kmod "$root/usr/sbin/modprobe"
    ln -sf /usr/bin/kmod "$root/usr/sbin/depmod"
    # dash is /bin/sh as on Debian: busybox's shell would run its own applets
    # (modprobe, blkid, blockdev) instead of the real tools.
    copy_with_libs "$root" /usr/bin/dash
    ln -sf dash "$root/usr/bin/sh"
    ln -sf /usr/bin/udevadm "$root/usr/lib/systemd/systemd-udevd" 2>/dev/null ||
        { mkdir -p "$root/usr/lib/systemd" && ln -sf /usr/bin/udevadm "$root/usr/lib/systemd/systemd-udevd"; }
    # multipath loads its checkers and prioritisers at run time; glibc loads
    # libgcc_s for thread cancellation.
    local so
    for so in /usr/lib/multipath/*.so; do copy_with_libs "$root" "$so"; done
    copy_with_libs "$root" "$(ldconfig -p | awk '/libgcc_s.so.1 .*x86-64/ && !lib {lib = $NF} END {print lib}')"
    # udev rules, without the sg3_utils ones: for scsi_debug's NAA they make
    # the T10 designator the disk's ID_SERIAL, and maps would be named by it.
    mkdir -p "$root/usr/lib/udev/rules.d" "$root/etc/udev"
    cp /usr/lib/udev/rules.d/*.rules "$root/usr/lib/udev/rules.d/"
    rm -f "$root"/usr/lib/udev/rules.d/{55-scsi-sg3_id,58-scsi-sg3_symlink}.rules
    cp /etc/passwd /etc/group "$root/etc/"
    # Modules with their dependencies, and a modules.dep of their own.
    local kroot=$CACHE/kernel/root m dep
    mkdir -p "$root/usr/lib/modules/$KVER"
    for m in "${GUEST_MODULES[@]}"; do
        for dep in $(modprobe -d "$kroot" -S "$KVER" --show-depends "$m" 2>/dev/null |
            awk '$1 == "insmod" {print $2}'); do
            dep=${dep#"$kroot"}
            mkdir -p "$root/usr$(dirname "$dep")"
            cp "$kroot$dep" "$root/usr$dep"
        done
    done
    cp "$kroot/lib/modules/$KVER"/modules.{builtin,builtin.modinfo,order} "$root/usr/lib/modules/$KVER/"
    depmod -b "$root/usr" "$KVER" || die "depmod failed on the initramfs"
    (cd "$root" && find . | cpio -o -H newc --quiet >"$CACHE/base.cpio.tmp") ||
        die "cpio failed"
    mv "$CACHE/base.cpio.tmp" "$CACHE/base.cpio"
    echo "$want" >"$stamp"
    rm -rf "$root"
}

# Copies program into root's /zo/bin and the shared libraries it needs:
# the system's at their own paths, any other (the build's own) into /zo/lib,
# where the guest's LD_LIBRARY_PATH finds them. Nothing in the guest depends
# on where the build directory is: a build under /tmp, which the guest
# mounts a tmpfs over, runs as well as any other.
copy_program() {
    local root=$1 program=$2 lib
    cp -L "$program" "$root/zo/bin/"
    for lib in $(ldd "$program" 2>/dev/null | grep -o '/[^ ]*' || true); do
        case "$lib" in
        /lib/* | /lib64/* | /usr/lib/* | /usr/lib64/*) copy_path "$root" "$lib" ;;
        *) cp -L "$lib" "$root/zo/lib/" ;;
        esac
    done
}

# The test programs and the guest scripts, appended to the base each run.
build_tests() {
    local root=$CACHE/tests.root
    rm -rf "$root"
    mkdir -p "$root/zo/bin" "$root/zo/lib" "$root/zo/scenarios"
    copy_program "$root" "$TEST_BIN"
    copy_program "$root" "$ZODISK"
    cp "$HERE/guest/init" "$root/init"
    chmod +x "$root/init"
    cp "$HERE"/guest/scenario-*.sh "$root/zo/scenarios/"
    cp "$HERE/guest/fabric.sh" "$root/zo/bin/zo-fabric"
    chmod +x "$root/zo/bin/zo-fabric"
    (cd "$root" && find . | cpio -o -H newc --quiet >"$CACHE/tests.cpio") || die "cpio failed"
    cat "$CACHE/base.cpio" "$CACHE/tests.cpio" >"$CACHE/initrd"
    rm -rf "$root"
}

# --- runs --------------------------------------------------------------------
# Boots one guest for scenario name; leaves its results in $CACHE/runs/name.
run_scenario() {
    local name=$1 dir=$CACHE/runs/$1 limit
    limit=$(($(scenario_timeout "$name") * ${ZODEVICE_KERNEL_TIMEOUT_FACTOR:-1}))
    rm -rf "$dir"
    mkdir -p "$dir/results"
    truncate -s 64M "$dir/results.img"
    local -a extra
    mapfile -t extra < <(scenario_qemu_args "$name" "$dir")
    local start=$SECONDS rc=0
    # no_timer_check: on a busy host the emulated timer can look broken to
    # the kernel's boot check, which then panics.
    timeout --foreground -k 10 "$limit" "$QEMU" -accel tcg -m 1024 -smp 2 -nographic -no-reboot \
        -kernel "$CACHE/kernel/root/boot/vmlinuz-$KVER" -initrd "$CACHE/initrd" \
        -append "console=ttyS0 panic=-1 quiet no_timer_check zo.scenario=$name ${ZODEVICE_KERNEL_APPEND:-}" \
        -drive "file=$dir/results.img,if=none,id=res,format=raw" \
        -device virtio-blk-pci,drive=res,serial=results \
        "${extra[@]}" </dev/null >"$dir/console.log" 2>&1 || rc=$?
    echo $((SECONDS - start)) >"$dir/seconds"
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        echo "timed out after ${limit}s" >"$dir/problem"
    elif [ "$rc" != 0 ]; then
        echo "qemu exited with status $rc" >"$dir/problem"
    fi
    tar -xf "$dir/results.img" -C "$dir/results" 2>/dev/null || true
}

# The snapshot round trip of a run's results directory: answers each command
# the guest answered live (roundtrip/commands, roundtrip/live/N.*) with this
# machine's zodisk from the guest's capture, and compares exit status and
# JSON. Every field takes part; only the order of device lists, slaves and
# holders is left out (both sides sorted, see roundtrip_normalize.cpp): it is
# the order in which sysfs directories list them, the kernel's on the machine
# and the names' in a captured tree. Prints one "[roundtrip]"
# line per command; returns 0 iff every answer is the same.
check_roundtrip() {
    local res=$1 rt=$1/roundtrip n=0 args bad=0 live host
    if [ ! -f "$rt/commands" ] || [ ! -f "$rt/snapshot.rc" ]; then
        echo "[roundtrip] the guest did not run the round trip"
        return 1
    fi
    if [ "$(cat "$rt/snapshot.rc")" != 0 ] || [ ! -d "$res/capture" ]; then
        echo "[roundtrip] zodisk snapshot failed in the guest: $(cat "$rt/snapshot.log")"
        return 1
    fi
    mkdir -p "$rt/host"
    while read -r args; do
        n=$((n + 1))
        live=$rt/live/$n host=$rt/host/$n
        # shellcheck disable=SC2086 # args are words
        "$ZODISK" --sysroot "$res/capture" --json $args </dev/null >"$host.json" 2>"$host.err"
        echo $? >"$host.rc"
        local json=1
        "$NORMALIZE" <"$live.json" >"$live.norm" 2>&1 || json=0
        "$NORMALIZE" <"$host.json" >"$host.norm" 2>&1 || json=0
        if [ "$json" = 0 ]; then
            bad=1
            echo "[roundtrip] zodisk --json $args | not JSON: guest $(head -c 80 "$live.json" | tr '\n' ' ')... capture $(head -c 80 "$host.json" | tr '\n' ' ')..."
        elif [ "$(cat "$live.rc")" = "$(cat "$host.rc")" ] && cmp -s "$live.norm" "$host.norm"; then
            echo "[roundtrip] zodisk --json $args | guest: exit $(cat "$live.rc"), $(wc -c <"$live.json") bytes | capture: the same"
        else
            bad=1
            echo "[roundtrip] zodisk --json $args | guest: exit $(cat "$live.rc") | capture: exit $(cat "$host.rc"), DIFFERENT:"
            diff -u "$live.norm" "$host.norm" | head -40
        fi
    done <"$rt/commands"
    [ "$n" -gt 2 ] || { echo "[roundtrip] only $n commands"; return 1; }
    return $bad
}

# Prints scenario name's comparisons and verdict; returns 0 iff it passed.
report_scenario() {
    local name=$1 dir=$CACHE/runs/$1 ok=1 why=""
    local res=$dir/results
    if [ -f "$dir/problem" ]; then
        ok=0; why=$(cat "$dir/problem")
    elif [ ! -f "$res/status" ]; then
        ok=0; why="the guest wrote no results (see $dir/console.log)"
    elif [ "$(cat "$res/status")" != 0 ]; then
        ok=0; why="the guest reported: $(cat "$res/status")"
    else
        local xml
        for xml in "$res"/tests-*.xml; do
            if ! grep -q '<testsuites tests="[1-9]' "$xml" 2>/dev/null; then
                ok=0; why="a run of the guest program ran no tests ($xml)"
            fi
        done
    fi
    echo "=== scenario $name ($(cat "$dir/seconds")s) ==="
    if [ -f "$res/output.txt" ]; then
        grep -E '^\[(compare|measure)\]' "$res/output.txt" || true
        grep -E '^\[ +(OK|FAILED|SKIPPED) +\]' "$res/output.txt" || true
    fi
    if [ -f "$res/status" ] && scenario_roundtrip "$name" && ! check_roundtrip "$res"; then
        [ "$ok" = 0 ] || why="the snapshot round trip differs (guest and capture answers in $res/roundtrip)"
        ok=0
    fi
    if [ "$ok" = 1 ]; then
        echo "=== scenario $name: PASSED"
        return 0
    fi
    echo "=== scenario $name: FAILED: $why"
    if [ -f "$res/output.txt" ]; then
        echo "--- failures in the guest's output:"
        grep -B2 -A12 -E 'Failure$|error:' "$res/output.txt" | head -150 || true
    fi
    if [ -f "$res/setup.log" ]; then
        echo "--- tail of the scenario's setup log:"
        tail -30 "$res/setup.log"
    fi
    echo "--- tail of the console ($dir/console.log):"
    tail -40 "$dir/console.log"
    return 1
}

fetch_kernel
log "kernel $KVER"
build_base
build_tests
failed=()
for s in "${SCENARIOS[@]}"; do
    log "booting scenario $s"
    run_scenario "$s"
    report_scenario "$s" || failed+=("$s")
done
if [ ${#failed[@]} -gt 0 ]; then
    die "scenarios failed: ${failed[*]}"
fi
log "all ${#SCENARIOS[@]} scenarios passed"
