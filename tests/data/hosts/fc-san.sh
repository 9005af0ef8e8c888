#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Writes the host tree fc-san: a Fibre Channel SAN host laid out as the
# kernel's FC transport shows one in sysfs, which no emulator here provides.
#
# Two HBAs (SCSI hosts 1 and 2, one per fabric) each log in to two target
# ports of one array (controller A and controller B), so LU 1 has four paths:
#
#   sda 1:0:0:1  host1 rport-1:0-0 -> controller A  active/optimized
#   sdb 1:0:1:1  host1 rport-1:0-1 -> controller B  active/non-optimized
#   sdc 2:0:0:1  host2 rport-2:0-0 -> controller A  active/optimized
#   sdd 2:0:1:1  host2 rport-2:0-1 -> controller B  remote port Blocked
#
# and a multipath map mpatha (dm-0) over them in two ALUA path groups, where
# device-mapper has failed sdd: its remote port is "Blocked", past its
# fast_io_fail_tmo, so the SCSI device is "transport-offline". Both HBA
# ports are "Online". Paths run hostN/rport-N:0-R/targetN:0:R/N:0:R:1; the
# classes fc_host, fc_remote_ports, fc_transport, scsi_host, scsi_device,
# scsi_disk and block link to those directories as the kernel's do.
#
# Usage: fc-san.sh [DIR]   (default: fc-san beside this script; replaced)
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=${1:-$HERE/fc-san}
rm -rf "$OUT"
mkdir -p "$OUT"

SECTORS=41943040 # 20 GiB
WWID_HEX=6ace0de5a0f1c00000000000000d0001
WWID=3$WWID_HEX
ARRAY_NODE=0x5200000000aa1000
PCI=(pci0000:3a/0000:3a:00.0/0000:3b:00.0 pci0000:d7/0000:d7:00.0/0000:d8:00.0)

# attr PATH VALUE...: one attribute file, each value on a line of its own.
attr() {
    local p=$OUT$1
    shift
    mkdir -p "$(dirname "$p")"
    printf '%s\n' "$@" >"$p"
}
# link PATH TARGET: a link at PATH to TARGET (both as the machine names
# them), relative as sysfs writes its links: up from the link's directory to
# the first directory above TARGET, then down to TARGET.
link() {
    local base up=""
    base=$(dirname "$1")
    while [ "${2#"$base"/}" = "$2" ]; do
        base=$(dirname "$base")
        up+=../
    done
    mkdir -p "$(dirname "$OUT$1")"
    ln -sfn "$up${2#"$base"/}" "$OUT$1"
}
# classdev DIR CLASS NAME: the class device DIR/CLASS/NAME of the device DIR,
# with its device and subsystem links and its /sys/class entry.
classdev() {
    local d=$1/$2/$3
    attr "$d/uevent"
    link "$d/device" "$1"
    link "$d/subsystem" "/sys/class/$2"
    link "/sys/class/$2/$3" "$d"
}
# hexbytes HEX: the bytes of a string of hex digits.
hexbytes() {
    local h=$1
    while [ -n "$h" ]; do
        printf "\\x${h:0:2}"
        h=${h:2}
    done
}

# --- HBA ports ---------------------------------------------------------------
# fc_host HOST: the SCSI host and its FC port (fabric HOST).
fc_host() {
    local h=$1 dir=/sys/devices/${PCI[$(($1 - 1))]}/host$1
    attr "$dir/uevent" "DEVTYPE=scsi_host"
    link "$dir/subsystem" /sys/bus/scsi
    classdev "$dir" scsi_host "host$h"
    local s=$dir/scsi_host/host$h
    attr "$s/proc_name" zofc
    attr "$s/unique_id" "$h"
    attr "$s/state" running
    attr "$s/host_busy" 0
    attr "$s/can_queue" 2048
    attr "$s/cmd_per_lun" 3
    attr "$s/sg_tablesize" 1024
    attr "$s/supported_mode" Initiator
    attr "$s/active_mode" Initiator
    attr "$s/nr_hw_queues" 2
    attr "$s/eh_deadline" off
    classdev "$dir" fc_host "host$h"
    local f=$dir/fc_host/host$h
    attr "$f/node_name" "0x20000000aa0b0c0$h"
    attr "$f/port_name" "0x21000000aa0b0c0$h"
    attr "$f/permanent_port_name" "0x21000000aa0b0c0$h"
    attr "$f/port_id" "0x0${h}0100"
    attr "$f/port_type" "NPort (fabric via point-to-point)"
    attr "$f/port_state" Online
    attr "$f/speed" "32 Gbit"
    attr "$f/supported_speeds" "8 Gbit, 16 Gbit, 32 Gbit"
    attr "$f/supported_classes" "Class 3"
    local fc4="0x00 0x00 0x01 0x00 0x00 0x00 0x00 0x01 " i
    for i in $(seq 24); do fc4+="0x00 "; done
    attr "$f/supported_fc4s" "$fc4"
    attr "$f/active_fc4s" "$fc4"
    attr "$f/fabric_name" "0x10000000f${h}000001"
    attr "$f/symbolic_name" "ZF32-2 FW:v9.12.04 DVR:v10.02.09-k"
    attr "$f/system_hostname" ""
    attr "$f/maxframe_size" "2048 bytes"
    attr "$f/max_npiv_vports" 254
    attr "$f/npiv_vports_inuse" 0
    attr "$f/serial_number" "ZFC2301A0$h"
    attr "$f/manufacturer" "Zofabric"
    attr "$f/model" "ZF32-2"
    attr "$f/model_description" "Zofabric 32Gb FC Dual-port HBA"
    attr "$f/firmware_version" "9.12.04 (d0d5)"
    attr "$f/driver_version" "10.02.09.100-k"
    attr "$f/tgtid_bind_type" "wwpn (World Wide Port Name)"
    attr "$f/dev_loss_tmo" 60
    local n v=$((4096 * h))
    for n in seconds_since_last_reset tx_frames tx_words rx_frames rx_words lip_count \
        nos_count error_frames dumped_frames link_failure_count loss_of_sync_count \
        loss_of_signal_count prim_seq_protocol_err_count invalid_tx_word_count \
        invalid_crc_count fcp_input_requests fcp_output_requests fcp_control_requests \
        fcp_input_megabytes fcp_output_megabytes; do
        case "$n" in
        *_count | error_frames | dumped_frames) attr "$f/statistics/$n" 0x0 ;;
        *) attr "$f/statistics/$n" "$(printf '0x%x' $((v += 7919 * h)))" ;;
        esac
    done
}

# --- remote ports, targets and paths -----------------------------------------
# path HOST RPORT KNAME MINOR STATE: remote port RPORT (0: controller A, 1:
# controller B) of HOST in STATE, its target and LU 1 on it as disk KNAME.
path() {
    local h=$1 r=$2 k=$3 minor=$4 state=$5
    local host=/sys/devices/${PCI[$((h - 1))]}/host$h
    local rp=$host/rport-$h:0-$r ctrl=$((r + 1))
    local wwpn=0x5200000000aa10$ctrl$h
    attr "$rp/uevent"
    classdev "$rp" fc_remote_ports "rport-$h:0-$r"
    local f=$rp/fc_remote_ports/rport-$h:0-$r
    attr "$f/node_name" "$ARRAY_NODE"
    attr "$f/port_name" "$wwpn"
    attr "$f/port_id" "0x0${h}0$((ctrl + 1))00"
    attr "$f/roles" "FCP Target"
    attr "$f/port_state" "$state"
    attr "$f/scsi_target_id" "$r"
    attr "$f/supported_classes" "Class 3"
    attr "$f/maxframe_size" "2048 bytes"
    attr "$f/dev_loss_tmo" 600
    attr "$f/fast_io_fail_tmo" 5
    local tg=$rp/target$h:0:$r
    attr "$tg/uevent" "DEVTYPE=scsi_target"
    link "$tg/subsystem" /sys/bus/scsi
    classdev "$tg" fc_transport "target$h:0:$r"
    attr "$tg/fc_transport/target$h:0:$r/node_name" "$ARRAY_NODE"
    attr "$tg/fc_transport/target$h:0:$r/port_name" "$wwpn"
    attr "$tg/fc_transport/target$h:0:$r/port_id" "0x0${h}0$((ctrl + 1))00"
    lu "$tg/$h:0:$r:1" "$k" "$minor" "$state" "$r" "$wwpn"
}

# lu DIR KNAME MINOR RPORT-STATE RPORT WWPN: the SCSI device of LU 1 and its
# disk.
lu() {
    local d=$1 k=$2 minor=$3 hctl=${1##*/} sdstate=running access=active/optimized
    [ "$4" = Online ] || sdstate=transport-offline
    [ "$5" = 0 ] || access=active/non-optimized
    attr "$d/uevent" "DEVTYPE=scsi_device" "DRIVER=sd" "MODALIAS=scsi:t-0x00"
    link "$d/subsystem" /sys/bus/scsi
    link "$d/driver" /sys/bus/scsi/drivers/sd
    attr "$d/vendor" "ZOARRAY "
    attr "$d/model" "FLASHVOL        "
    attr "$d/rev" "0912"
    attr "$d/type" 0
    attr "$d/scsi_level" 7
    attr "$d/state" "$sdstate"
    attr "$d/device_blocked" 0
    attr "$d/queue_depth" 64
    attr "$d/queue_type" simple
    attr "$d/timeout" 30
    attr "$d/eh_timeout" 10
    attr "$d/dh_state" alua
    attr "$d/access_state" "$access"
    attr "$d/preferred_path" 0
    attr "$d/wwid" "naa.$WWID_HEX"
    # Unit serial number; device identification: the LU's NAA name, the
    # target port's name, its relative port and its port group.
    { hexbytes 0080000c; printf 'ZA0001D0001 '; } >"$OUT$d/vpd_pg80"
    local host=${hctl%%:*}
    { hexbytes 00830030; hexbytes "01030010$WWID_HEX"; hexbytes "01930008${6#0x}"
      hexbytes "$(printf '019400040000%04x' $((2 * $5 + host)))"
      hexbytes "$(printf '019500040000%04x' $(($5 + 1)))"
    } >"$OUT$d/vpd_pg83"
    classdev "$d" scsi_device "$hctl"
    classdev "$d" scsi_disk "$hctl"
    attr "$d/scsi_disk/$hctl/cache_type" "write through"
    attr "$d/scsi_disk/$hctl/FUA" 1
    attr "$d/scsi_disk/$hctl/protection_type" 0
    attr "$d/scsi_disk/$hctl/provisioning_mode" unmap
    disk "$d/block/$k" 8 "$minor" 16
    link "$d/block/$k/device" "$d"
    link "$d/block/$k/holders/dm-0" /sys/devices/virtual/block/dm-0
    link "/sys/devices/virtual/block/dm-0/slaves/$k" "$d/block/$k"
}

# disk DIR MAJOR MINOR RANGE: a whole disk's block directory and its links.
disk() {
    local d=$1 k=${1##*/}
    attr "$d/dev" "$2:$3"
    attr "$d/size" $SECTORS
    attr "$d/ro" 0
    attr "$d/removable" 0
    attr "$d/hidden" 0
    attr "$d/ext_range" "$4"
    attr "$d/alignment_offset" 0
    attr "$d/discard_alignment" 0
    attr "$d/uevent" "MAJOR=$2" "MINOR=$3" "DEVNAME=$k" "DEVTYPE=disk"
    link "$d/subsystem" /sys/class/block
    local q=$d/queue
    attr "$q/logical_block_size" 512
    attr "$q/physical_block_size" 4096
    attr "$q/hw_sector_size" 512
    attr "$q/minimum_io_size" 4096
    attr "$q/optimal_io_size" 1048576
    attr "$q/rotational" 0
    attr "$q/read_ahead_kb" 4096
    attr "$q/nr_requests" 256
    attr "$q/max_sectors_kb" 1280
    attr "$q/discard_granularity" 4096
    attr "$q/discard_max_bytes" 1073741824
    attr "$q/discard_zeroes_data" 0
    attr "$q/write_same_max_bytes" 0
    attr "$q/zoned" none
    attr "$q/dax" 0
    attr "$q/scheduler" "[none] mq-deadline"
    link "/sys/block/$k" "$d"
    link "/sys/class/block/$k" "$d"
    link "/sys/dev/block/$2:$3" "$d"
    printf '%4d  %7d %10llu %s\n' "$2" "$3" $((SECTORS / 2)) "$k" >>"$OUT/proc/partitions"
}

# --- the machine -------------------------------------------------------------
mkdir -p "$OUT/proc"
printf 'major minor  #blocks  name\n\n' >"$OUT/proc/partitions"
fc_host 1
fc_host 2
path 1 0 sda 0 Online
path 1 1 sdb 16 Online
path 2 0 sdc 32 Online
path 2 1 sdd 48 Blocked

DM=/sys/devices/virtual/block/dm-0
disk $DM 253 0 1
attr "$DM/dm/name" mpatha
attr "$DM/dm/uuid" "mpath-$WWID"
attr "$DM/dm/suspended" 0
attr "$DM/dm/use_blk_mq" 1
printf 'DM_NAME=mpatha\nDM_UUID=mpath-%s\n' "$WWID" >>"$OUT$DM/uevent"

mkdir -p "$OUT/.zohost/dm"
{
    echo "# mpatha (dm-0): controller A's paths optimized, sdd failed"
    echo "table 0 $SECTORS multipath 1 queue_if_no_path 1 alua 2 1 service-time 0 2 2 8:0 1 1 8:32 1 1 service-time 0 2 2 8:16 1 1 8:48 1 1 "
    echo "status 0 $SECTORS multipath 2 0 1 0 2 1 A 0 2 2 8:0 A 0 0 1 8:32 A 0 0 1 E 0 2 2 8:16 A 0 0 1 8:48 F 1 0 1 "
} >"$OUT/.zohost/dm/253:0"

attr /proc/devices "Character devices:" "  1 mem" " 21 sg" "" "Block devices:" "  8 sd" \
    "253 device-mapper"
mkdir -p "$OUT/etc"
cat >"$OUT/etc/multipath.conf" <<'CONF'
defaults {
	user_friendly_names yes
	find_multipaths no
}
CONF
link /dev/mapper/mpatha /dev/dm-0
for n in "dm-name-mpatha" "dm-uuid-mpath-$WWID" "scsi-$WWID" "wwn-0x$WWID_HEX"; do
    link "/dev/disk/by-id/$n" /dev/dm-0
done
cat >"$OUT/.zohost/commands" <<'CMDS'
# The answers of the commands the library runs on this host.

$ cat /proc/devices | grep 'xvd' | awk '{print $1}'
? 0

$ cat /proc/devices | awk '{if($2 ~/nvme/) printf $1}'
? 0

$ mountpoint -d /
> 0:22
? 0

$ udevadm settle --timeout=120
? 0
CMDS
echo "fc-san.sh: wrote $OUT ($(find "$OUT" | wc -l) entries)"
