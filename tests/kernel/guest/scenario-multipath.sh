# SPDX-License-Identifier: LGPL-2.1-or-later
# Scenario multipath: scsi_debug behind two hosts presenting the same two LUs,
# so each LU has two paths. All LUs share one backing store holding a DOS
# table with two partitions. LU 0 is under multipath (map and partition maps);
# LU 1 stays blacklisted for the configuration editor, its paths plain SCSI
# disks with partitions. The map's second partition map holds an ext4 file
# system labelled zodata, mounted on /mnt/zodata. An NVMe namespace with a
# volume serial and a table of its own sits beside them. multipathd runs.
for m in sd_mod sg scsi_dh_alua dm_mod dm_multipath dm_round_robin dm_service_time nvme; do
    step modprobe $m || return 1
done
step modprobe scsi_debug dev_size_mb=64 add_host=2 num_tgts=1 max_luns=2 vpd_use_hostno=0 ||
    return 1
start_udev
lu0=""
for d in /sys/block/sd*; do
    case "$(basename "$(readlink $d/device)")" in
    *:0:0:0) lu0=/dev/${d##*/}; break ;;
    esac
done
[ -n "$lu0" ] || { echo "no path of LU 0" >>$RES/setup.log; return 1; }
wwid0=$(/lib/udev/scsi_id -g -u -d "$lu0")
echo "LU 0 path $lu0 wwid $wwid0" >>$RES/setup.log
TABLE='label: dos\nstart=2048, size=32768, type=83\nstart=40960, size=40960, type=83\n'
printf "$TABLE" | step sfdisk "$lu0" || return 1
# The paths of LU 1 read the shared table too.
for d in /sys/block/sd*; do
    case "$(basename "$(readlink $d/device)")" in
    *:1) step blockdev --rereadpt /dev/${d##*/} || return 1 ;;
    esac
done
nvme=/dev/nvme0n1
for i in 1 2 3 4 5 6 7 8 9 10; do
    [ -b $nvme ] && break
    sleep 0.5
done
[ -b $nvme ] || { echo "no NVMe namespace" >>$RES/setup.log; return 1; }
printf "$TABLE" | step sfdisk $nvme || return 1
mkdir -p /etc/quorvel
printf '[Ferrovane]\nnConfigureBlacklistException = 1\n' >/etc/quorvel/config.ini
cat >/etc/multipath.conf <<CONF
defaults {
	user_friendly_names no
	find_multipaths no
}
blacklist {
	wwid ".*"
}
blacklist_exceptions {
	wwid "$wwid0"
}
CONF
start_multipath || return 1
step kpartx -a -p -part /dev/mapper/$wwid0
step udevadm settle --timeout=60
step modprobe ext4 || return 1
step mke2fs -q -t ext4 -L zodata /dev/mapper/$wwid0-part2 || return 1
mkdir -p /mnt/zodata
step mount -t ext4 /dev/mapper/$wwid0-part2 /mnt/zodata || return 1
# udev probes the partition map again, as it does when a writer closes it.
step udevadm trigger --action=change /sys/class/block/"$(basename "$(readlink -f /dev/mapper/$wwid0-part2)")"
step udevadm settle --timeout=60
step multipath -ll
step dmsetup ls
# The kernel keeps the table of a disk a map holds (EBUSY).
step blockdev --rereadpt "$lu0" || true
step lsblk
ZO_ROUNDTRIP=1
ZO_FILTER='KernelHost.*:KernelMultipath.*:KernelMultipathEditor.* KernelFleet.* KernelMultipathFailover.*'
