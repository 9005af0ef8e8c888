#!/usr/bin/dash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The storage fabric of the fabric guest, installed there as /zo/bin/zo-fabric:
# NVMe/TCP from the kernel's NVMe target (one subsystem, two namespaces, two
# ports on 127.0.0.1) under native NVMe multipath, and one iSCSI LU from the
# kernel's SCSI target (two portal groups, one portal each) logged into by
# open-iscsi over both portals under a dm-multipath map.
#
# Usage: zo-fabric setup                 builds both fabrics and connects to them
#        zo-fabric down|up nvme|iscsi    takes the second path of a fabric away
#                                        or brings it back, and waits until the
#                                        host has seen it (exit 1 if it has not)
#        zo-fabric state nvme|iscsi      the second path's state as the host
#                                        sees it: its controller and that one's
#                                        state ("nvme1 connecting"), or its
#                                        session, the session's state, its disk,
#                                        the disk's state and its path's state in
#                                        the map ("session1 FREE sdb
#                                        transport-offline failed")
#        zo-fabric capture DIR           zodisk's snapshot, a raw copy of the
#                                        fabric's sysfs and the peers' answers
# Messages go to standard error; each step's output to the log given by
# ZO_FABRIC_LOG (default /dev/null).
set -u
CFG=/sys/kernel/config
NQN=nqn.2024-01.test.zodevice:fabric
IQN=iqn.2024-01.test.zodevice:fabric
HOSTNQN=nqn.2014-08.org.nvmexpress:uuid:5a0f3b52-7c61-4d1e-9b0a-2f6e8c4d1a37
STORE=/run/fabric
LOG=${ZO_FABRIC_LOG:-/dev/null}
# The second path of each fabric: NVMe port 2 (4421), iSCSI portal group 2
# (3261).
NVME_PORTS="1:4420 2:4421"
ISCSI_TPGS="1:3260 2:3261"

say() { echo "zo-fabric: $*" >&2; }
now() { cut -d' ' -f1 /proc/uptime; }
run() {
    echo "+ [$(now)] $*" >>"$LOG"
    "$@" >>"$LOG" 2>&1
}
put() {  # put VALUE FILE: writes one configfs or sysfs attribute
    echo "+ echo $1 > $2" >>"$LOG"
    echo "$1" >"$2" 2>>"$LOG" || { say "cannot write '$1' to $2"; return 1; }
}
# Polls command every half second for up to $1 seconds; 0 once it succeeds.
wait_for() {
    t=$(($1 * 2))
    shift
    while [ "$t" -gt 0 ]; do
        "$@" && return 0
        sleep 0.5
        t=$((t - 1))
    done
    return 1
}

# --- NVMe over TCP -----------------------------------------------------------
nvme_port() {  # nvme_port N SERVICE: port N listening on 127.0.0.1:SERVICE
    p=$CFG/nvmet/ports/$1
    mkdir -p "$p" || return 1
    put tcp "$p/addr_trtype" && put ipv4 "$p/addr_adrfam" &&
        put 127.0.0.1 "$p/addr_traddr" && put "$2" "$p/addr_trsvcid" || return 1
    # The second port's paths are the non-optimized ones.
    [ "$1" = 1 ] || put non-optimized "$p/ana_groups/1/ana_state" || return 1
    ln -s "$CFG/nvmet/subsystems/$NQN" "$p/subsystems/$NQN"
}

nvme_target() {
    s=$CFG/nvmet/subsystems/$NQN
    mkdir -p "$s" "$STORE" || return 1
    put 1 "$s/attr_allow_any_host" && put ZOFABRIC0001 "$s/attr_serial" &&
        put zofabric-nvme "$s/attr_model" || return 1
    for n in 1 2; do
        truncate -s $((32 * n))M "$STORE/nvme-ns$n.img"
        mkdir -p "$s/namespaces/$n" || return 1
        # tmpfs has no O_DIRECT: the namespace file is read through the page cache.
        put "$STORE/nvme-ns$n.img" "$s/namespaces/$n/device_path" &&
            put 1 "$s/namespaces/$n/buffered_io" &&
            put "5a0f3b52-7c61-4d1e-9b0a-00000000000$n" "$s/namespaces/$n/device_uuid" &&
            put "5a0f3b527c614d1e9b0a00000000000$n" "$s/namespaces/$n/device_nguid" &&
            put 1 "$s/namespaces/$n/enable" || return 1
    done
    for ps in $NVME_PORTS; do
        nvme_port "${ps%:*}" "${ps#*:}" || return 1
    done
}

nvme_host() {
    mkdir -p /etc/nvme
    echo "$HOSTNQN" >/etc/nvme/hostnqn
    echo "${HOSTNQN##*:}" >/etc/nvme/hostid
    for ps in $NVME_PORTS; do
        # A lost controller is tried again every two seconds, for ever.
        run nvme connect -t tcp -a 127.0.0.1 -s "${ps#*:}" -n "$NQN" \
            --reconnect-delay=2 --ctrl-loss-tmo=-1 || return 1
    done
    wait_for 30 nvme_paths_live
}

# The controller of the NVMe port on service $1 ("nvme1"), "" when none.
nvme_ctrl() {
    for c in /sys/class/nvme/nvme*; do
        case "$(cat "$c/address" 2>/dev/null)" in
        *trsvcid=$1,* | *trsvcid=$1) echo "${c##*/}"; return ;;
        esac
    done
}
nvme_state() {  # the controller on service $1 and its state, "- -" when none
    c=$(nvme_ctrl "$1")
    echo "${c:--} $(cat "/sys/class/nvme/$c/state" 2>/dev/null || echo -)"
}
nvme_is() { [ "$(nvme_state "$1" | cut -d' ' -f2)" = "$2" ]; }
# Both controllers live and every path of theirs with an ANA state.
nvme_paths_live() {
    for ps in $NVME_PORTS; do
        nvme_is "${ps#*:}" live || return 1
        c=$(nvme_ctrl "${ps#*:}")
        set -- /sys/class/nvme/$c/nvme*c*n*
        [ -e "$1" ] && [ $# = 2 ] || return 1
        for pth in "$@"; do
            [ -n "$(cat "$pth/ana_state" 2>/dev/null)" ] || return 1
        done
    done
}

nvme_down() {
    rm "$CFG/nvmet/ports/2/subsystems/$NQN" && rmdir "$CFG/nvmet/ports/2" || return 1
    wait_for 60 nvme_is 4421 connecting
}
nvme_up() {
    nvme_port 2 4421 || return 1
    wait_for 60 nvme_paths_live
}

# --- iSCSI -------------------------------------------------------------------
iscsi_target() {
    lu=$CFG/target/core/fileio_0/lu0
    mkdir -p "$lu" "$STORE" || return 1
    put "fd_dev_name=$STORE/iscsi-lu0.img,fd_dev_size=$((48 << 20))" "$lu/control" &&
        put ZOFABRICLU0 "$lu/wwn/vpd_unit_serial" && put 1 "$lu/enable" || return 1
    for ts in $ISCSI_TPGS; do
        t=$CFG/target/iscsi/$IQN/tpgt_${ts%:*}
        mkdir -p "$t/lun/lun_0" "$t/np/127.0.0.1:${ts#*:}" || return 1
        ln -s "$lu" "$t/lun/lun_0/lu0" || return 1
        # Any initiator, without authentication, may write.
        put 0 "$t/attrib/authentication" && put 1 "$t/attrib/generate_node_acls" &&
            put 1 "$t/attrib/cache_dynamic_acls" &&
            put 0 "$t/attrib/demo_mode_write_protect" && put 1 "$t/enable" || return 1
    done
}

iscsi_host() {
    mkdir -p /etc/iscsi /run/lock/iscsi /var/lib/iscsi
    echo "InitiatorName=iqn.2024-01.test.zodevice:guest" >/etc/iscsi/initiatorname.iscsi
    # A lost connection fails the session's I/O after five seconds, so that
    # multipath fails the path over soon.
    cat >/etc/iscsi/iscsid.conf <<CONF
node.startup = manual
node.session.timeo.replacement_timeout = 5
node.conn[0].timeo.login_timeout = 5
node.conn[0].timeo.noop_out_interval = 2
node.conn[0].timeo.noop_out_timeout = 2
node.session.initial_login_retry_max = 2
CONF
    run iscsid || return 1
    run iscsiadm -m discovery -t sendtargets -p 127.0.0.1:3260 || return 1
    run iscsiadm -m node -T "$IQN" --login || return 1
    wait_for 30 iscsi_sessions_up
}

# The session of portal group $1's portal ("session2"), "" when none.
iscsi_session() {
    for s in /sys/class/iscsi_session/session*; do
        [ "$(cat "$s/tpgt" 2>/dev/null)" = "$1" ] && echo "${s##*/}" && return
    done
}
# The sd path of session $1 ("sdb"), "" when none.
iscsi_disk() {
    for b in /sys/class/iscsi_session/$1/device/target*/*/block/*; do
        [ -e "$b" ] && echo "${b##*/}" && return
    done
}
# multipathd's device-mapper state of path $1 ("active", "failed").
mp_state() {
    multipathd show paths format '%d %t' 2>/dev/null | awk -v d="$1" '$1 == d {print $2}'
}
# Portal group 2's session, its state, its disk, the disk's SCSI state and
# its path's state in the map: "session2 LOGGED_IN sdb running active".
iscsi_state() {
    s=$(iscsi_session 2)
    d=$(iscsi_disk "$s")
    echo "${s:--} $(cat "/sys/class/iscsi_session/$s/state" 2>/dev/null || echo -)" \
        "${d:--} $(cat "/sys/block/$d/device/state" 2>/dev/null || echo -) $(mp_state "$d")"
}
# Down: the session lost (FAILED, then FREE once its I/O has failed after the
# replacement time-out), the disk transport-offline and its path failed.
iscsi_is_down() {
    set -- $(iscsi_state)
    [ "$2" != LOGGED_IN ] && [ "$4" = transport-offline ] && [ "${5:-}" = failed ]
}
iscsi_is_up() {
    set -- $(iscsi_state)
    [ "$2" = LOGGED_IN ] && [ "$4" = running ] && [ "${5:-}" = active ]
}
iscsi_sessions_up() {
    for ts in $ISCSI_TPGS; do
        s=$(iscsi_session "${ts%:*}")
        [ "$(cat "/sys/class/iscsi_session/$s/state" 2>/dev/null)" = LOGGED_IN ] &&
            [ -n "$(iscsi_disk "$s")" ] || return 1
    done
}

iscsi_down() {
    put 0 "$CFG/target/iscsi/$IQN/tpgt_2/enable" || return 1
    wait_for 60 iscsi_is_down
}
iscsi_up() {
    put 1 "$CFG/target/iscsi/$IQN/tpgt_2/enable" || return 1
    wait_for 60 iscsi_is_up
}

# --- multipath ---------------------------------------------------------------
multipath_setup() {
    # NVMe namespaces are multipathed by the kernel itself; multipath only
    # reports them (the nvme foreign library).
    cat >/etc/multipath.conf <<CONF
defaults {
	user_friendly_names yes
	find_multipaths no
	polling_interval 2
	max_polling_interval 4
	enable_foreign nvme
}
blacklist {
	devnode "^vd[a-z]"
	devnode "^nvme"
}
CONF
    run multipath -v2 && run multipathd && run udevadm settle --timeout=60 || return 1
    wait_for 30 iscsi_is_up
}

setup() {
    run ip link set lo up || return 1
    # One modprobe for all: a process each takes seconds in the emulated guest.
    run modprobe -a configfs nvmet nvmet_tcp nvme_tcp crc32c_generic target_core_mod target_core_file \
        iscsi_target_mod iscsi_tcp sd_mod sg scsi_dh_alua dm_mod dm_multipath \
        dm_round_robin dm_service_time || { say "modprobe failed (see $LOG)"; return 1; }
    mountpoint -q $CFG || run mount -t configfs configfs $CFG || return 1
    grep -qx Y /sys/module/nvme_core/parameters/multipath ||
        { say "native NVMe multipath is off"; return 1; }
    nvme_target || { say "the NVMe target could not be set up"; return 1; }
    iscsi_target || { say "the iSCSI target could not be set up"; return 1; }
    nvme_host || { say "the host did not connect to both NVMe ports"; return 1; }
    iscsi_host || { say "the host did not log in over both iSCSI portals"; return 1; }
    run udevadm settle --timeout=60
    multipath_setup || { say "multipath did not take both iSCSI paths"; return 1; }
}

# --- capture -----------------------------------------------------------------
# The device directories the fabric's class entries stand for: a SCSI host's
# whole tree (sessions, targets, disks), an NVMe controller with its paths,
# a subsystem with its namespace heads; a directory inside another once.
fabric_devices() {
    for e in /sys/class/nvme/* /sys/class/nvme-subsystem/* /sys/class/nvme-fabrics/* \
        /sys/class/iscsi_host/* /sys/class/iscsi_session/* /sys/class/iscsi_connection/* \
        /sys/class/scsi_host/* /sys/devices/virtual/block/dm-*; do
        [ -e "$e" ] && readlink -f "$e"
    done | sed 's#^\(/sys/devices/platform/host[0-9]*\)/.*#\1#' | sort -u |
        awk 'top == "" || index($0, top "/") != 1 {print; top = $0}'
}

# Copies the sysfs directories given into $1 at their own paths: directories,
# links as links (with their targets), and the contents of every attribute
# that can be read (one copying process: a process per file takes minutes
# in the emulated guest). Power, trace and queue settings are left out.
copy_sysfs() {
    dest=$1
    shift
    for p in "$@"; do
        mkdir -p "$dest${p%/*}" && /bb/cp -a "$p" "$dest${p%/*}/" 2>/dev/null
    done
    find "$dest" -depth -type d \( -name power -o -name trace -o -name queue -o -name mq \
        -o -name integrity \) | xargs rm -rf
    # An attribute whose read failed left an empty copy.
    find "$dest" -type f -size 0 | while read -r f; do
        /bb/cat "${f#"$dest"}" >/dev/null 2>&1 || rm -f "$f"
    done
}

# peer NAME COMMAND...: the command's output in peers/NAME, its standard error
# beside it when there is any, and a line in peers/INDEX.
peer() {
    name=$1
    shift
    t0=$(now)
    "$@" >"$PEERS/$name" 2>"$PEERS/$name.err"
    rc=$?
    echo "capture: $name, seconds $t0 to $(now)" >>"$LOG"
    [ -s "$PEERS/$name.err" ] || rm -f "$PEERS/$name.err"
    printf '%s\texit %s\t%s\n' "$name" "$rc" "$*" >>"$PEERS/INDEX"
}

capture() {
    dir=$1
    mkdir -p "$dir/peers" "$dir/sysfs" || return 1
    PEERS=$dir/peers
    : >"$PEERS/INDEX"
    peer zodisk-snapshot.log /zo/bin/zodisk snapshot "$dir/snapshot"
    peer nvme-list-subsys.json nvme list-subsys -o json
    peer nvme-list-subsys.txt nvme list-subsys
    peer nvme-list-v.json nvme list -v -o json
    peer nvme-list-v.txt nvme list -v
    peer nvme-list.txt nvme list
    peer iscsiadm-session-P3.txt iscsiadm -m session -P3
    peer multipath-ll.txt multipath -ll
    peer multipathd-paths.txt multipathd show paths format '%w %i %d %D %t %T %o %C %p %s'
    peer lsblk-O.json lsblk --json -O
    peer lsblk.txt lsblk -o NAME,KNAME,MAJ:MIN,TYPE,TRAN,HCTL,SIZE,STATE,WWN,MODEL
    peer nvme_core-multipath.txt cat /sys/module/nvme_core/parameters/multipath
    peer zodisk-list.json /zo/bin/zodisk --json -O list
    peer zodisk-tree.txt /zo/bin/zodisk tree
    peer zodisk-check.json /zo/bin/zodisk --json check
    t0=$(now)
    copy_sysfs "$dir/sysfs" /sys/class/nvme /sys/class/nvme-subsystem /sys/class/nvme-fabrics \
        /sys/class/iscsi_host /sys/class/iscsi_session /sys/class/iscsi_connection \
        /sys/class/iscsi_transport /sys/class/iscsi_iface /sys/class/scsi_host /sys/class/block \
        /sys/block /sys/dev/block /sys/module/nvme_core/parameters $(fabric_devices)
    echo "capture: sysfs copy, seconds $t0 to $(now)" >>"$LOG"
}

case "${1:-}" in
setup) setup ;;
down | up)
    case "${2:-}" in
    nvme | iscsi) "${2}_$1" || { say "$2 $1: the host did not follow ($("${2}_state" 4421))"; exit 1; } ;;
    *) say "down|up nvme|iscsi"; exit 2 ;;
    esac
    ;;
state)
    case "${2:-}" in
    nvme) nvme_state 4421 ;;
    iscsi) iscsi_state ;;
    *) say "state nvme|iscsi"; exit 2 ;;
    esac
    ;;
capture) [ -n "${2:-}" ] && capture "$2" ;;
*) say "usage: zo-fabric setup | down|up nvme|iscsi | state nvme|iscsi | capture DIR"; exit 2 ;;
esac
