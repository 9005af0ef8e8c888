# Scenario multipath: scsi_debug behind two hosts presenting the same two LUs,
# so each LU has two paths. LU 0 carries a DOS table with two partitions and
# is under multipath (map and partition maps); LU 1 stays blacklisted for the
# configuration editor. multipathd runs.
for m in sd_mod sg scsi_dh_alua dm_mod dm_multipath dm_round_robin dm_service_time; do
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
printf 'label: dos\nstart=2048, size=32768, type=83\nstart=40960, size=40960, type=83\n' |
    step sfdisk "$lu0" || return 1
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
step multipath -v2 || return 1
step multipathd || return 1
step udevadm settle --timeout=60
step kpartx -a -p -part /dev/mapper/$wwid0
step udevadm settle --timeout=60
step multipath -ll
step dmsetup ls
ZO_FILTER='KernelMultipath.*:KernelMultipathEditor.* KernelMultipathFailover.*'
