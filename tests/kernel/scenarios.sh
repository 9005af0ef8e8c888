# SPDX-License-Identifier: LGPL-2.1-or-later
# The scenarios of the real-kernel suite: one guest boot each. Sourced by
# run-suite.sh. Each scenario NAME has a setup script guest/scenario-NAME.sh
# and runs the guest tests whose suite names start with the filter below.

# smoke (the guest and the library run at all) is left out of the default list;
# run it with --scenario smoke.
ALL_SCENARIOS=(scsi multipath nvme san fabric)

# Seconds one boot of scenario $1 may take: two to three times its usual time
# on a two-core machine that runs other tests beside it (scsi 30-45 s,
# multipath 45-100 s, nvme 20-40 s, san 210-240 s, fabric 250-380 s).
scenario_timeout() {
    case "$1" in
    smoke) echo 60 ;;
    scsi) echo 150 ;;
    multipath) echo 300 ;;
    nvme) echo 120 ;;
    san) echo 600 ;;
    fabric) echo 700 ;;
    *) echo 180 ;;
    esac
}

# Returns 0 iff the guest of scenario $1 runs the snapshot round trip.
scenario_roundtrip() {
    case "$1" in
    multipath | nvme | san | fabric) return 0 ;;
    *) return 1 ;;
    esac
}

# Extra qemu arguments of scenario $1, one per line; $2 is its run directory.
scenario_qemu_args() {
    case "$1" in
    scsi)
        # A plain virtio disk that no kind of the library may claim.
        truncate -s 16M "$2/virtio.img"
        printf '%s\n' -drive "file=$2/virtio.img,if=none,id=vd0,format=raw" \
            -device virtio-blk-pci,drive=vd0,serial=plainvirtio
        ;;
    multipath)
        # An NVMe namespace with a volume serial beside the SCSI disks.
        truncate -s 64M "$2/nvme0.img"
        printf '%s\n' -drive "file=$2/nvme0.img,if=none,id=nv0,format=raw" \
            -device nvme,serial=vol0123456789abcdef0,drive=nv0
        ;;
    nvme)
        # One controller on its own, and one inside an NVMe subsystem.
        truncate -s 64M "$2/nvme0.img" "$2/nvme1.img"
        printf '%s\n' \
            -drive "file=$2/nvme0.img,if=none,id=nv0,format=raw" \
            -device nvme,serial=vol0123456789abcdef0,drive=nv0 \
            -device nvme-subsys,id=subsys0,nqn=testsubsys \
            -device nvme,serial=vol0fedcba9876543210,subsys=subsys0,id=ctrl1 \
            -drive "file=$2/nvme1.img,if=none,id=nv1,format=raw" \
            -device nvme-ns,drive=nv1,bus=ctrl1,nsid=1
        ;;
    esac
}
