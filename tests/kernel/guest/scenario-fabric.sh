# SPDX-License-Identifier: LGPL-2.1-or-later
# Scenario fabric: NVMe over TCP from the kernel's NVMe target (a subsystem
# with two namespaces behind two ports) under native NVMe multipath, and an
# iSCSI LU behind two portal groups logged into by open-iscsi under a
# dm-multipath map; all on 127.0.0.1 (see fabric.sh, /zo/bin/zo-fabric here).
# With zo.capture=1 on the kernel command line the host is captured with
# every path up and with the second path of each fabric down, into
# $RES/fabric-capture/up and down (see capture-example.sh --fabric).
start_udev
export ZO_FABRIC_LOG=$RES/setup.log
step zo-fabric setup || return 1
echo "zo-guest [$(up)s]: both fabrics up"
step multipath -ll
step nvme list-subsys
step lsblk -o NAME,TYPE,TRAN,HCTL,SIZE,STATE
if grep -q 'zo\.capture=1' /proc/cmdline; then
    zo-fabric capture $RES/fabric-capture/up || return 1
    echo "zo-guest [$(up)s]: captured with every path up"
    step zo-fabric down nvme && step zo-fabric down iscsi || return 1
    zo-fabric capture $RES/fabric-capture/down || return 1
    echo "zo-guest [$(up)s]: captured with one path of each fabric down"
    step zo-fabric up nvme && step zo-fabric up iscsi || return 1
fi
ZO_ROUNDTRIP=1
ZO_FILTER='KernelHost.*:KernelFabric.ScenarioHas* KernelFabric.EachState*'
