# SPDX-License-Identifier: LGPL-2.1-or-later
# Scenario scsi: four scsi_debug disks (two targets, two LUNs) that share one
# backing store, a DOS table with two partitions on it, and a virtio disk.
step modprobe sd_mod || return 1
step modprobe sg || return 1
step modprobe scsi_debug dev_size_mb=64 num_tgts=2 max_luns=2 || return 1
start_udev
first=""
for d in /sys/block/sd*; do
    case "$(cat $d/device/model)" in
    scsi_debug*) first=/dev/${d##*/}; break ;;
    esac
done
[ -n "$first" ] || { echo "no scsi_debug disk" >>$RES/setup.log; return 1; }
printf 'label: dos\nstart=2048, size=32768, type=83\nstart=40960, size=40960, type=83\n' |
    step sfdisk --no-tell-kernel "$first" || return 1
# All LUs show the same store: let the kernel read the table on each.
for d in /sys/block/sd*; do
    step blockdev --rereadpt /dev/${d##*/} || return 1
done
step udevadm settle --timeout=60
ZO_FILTER='KernelHost.*:KernelScsi.* KernelScsiReread.*'
