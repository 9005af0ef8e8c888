# SPDX-License-Identifier: LGPL-2.1-or-later
# Scenario san: 32 logical units behind two SCSI hosts (scsi_debug), each
# under a multipath map of its two paths, multipathd checking the paths
# every few seconds. The tests then make the SAN sick: a path set offline,
# every command left unanswered, a path deleted and found again by a rescan.
for m in sd_mod sg scsi_dh_alua dm_mod dm_multipath dm_round_robin dm_service_time; do
    step modprobe $m || return 1
done
step modprobe scsi_debug dev_size_mb=8 add_host=2 num_tgts=1 max_luns=32 vpd_use_hostno=0 ||
    return 1
start_udev
cat >/etc/multipath.conf <<CONF
defaults {
	user_friendly_names yes
	find_multipaths no
	polling_interval 2
	max_polling_interval 4
}
blacklist {
	devnode "^vd[a-z]"
}
CONF
start_multipath || return 1
step multipath -ll
ZO_ROUNDTRIP=1
ZO_FILTER='KernelHost.*:KernelSan.*'
