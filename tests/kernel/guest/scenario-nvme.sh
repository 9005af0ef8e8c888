# SPDX-License-Identifier: LGPL-2.1-or-later
# Scenario nvme: one NVMe controller on its own (serial vol0123456789abcdef0)
# with a DOS table of two partitions, and one inside an NVMe subsystem.
step modprobe nvme || return 1
start_udev
plain=""
for i in 1 2 3 4 5 6 7 8 9 10; do
    for c in /sys/class/nvme/nvme*; do
        [ "$(cat $c/serial 2>/dev/null | tr -d ' ')" = vol0123456789abcdef0 ] || continue
        for n in $c/nvme*n1 /sys/block/${c##*/}n1; do
            [ -e "$n" ] && plain=/dev/${n##*/} && break
        done
    done
    [ -n "$plain" ] && [ -b "$plain" ] && break
    sleep 0.5
done
[ -n "$plain" ] || { echo "no namespace of the plain controller" >>$RES/setup.log; return 1; }
echo "plain namespace $plain" >>$RES/setup.log
printf 'label: dos\nstart=2048, size=32768, type=83\nstart=40960, size=40960, type=83\n' |
    step sfdisk "$plain" || return 1
step udevadm settle --timeout=60
step lsblk
ZO_ROUNDTRIP=1
ZO_FILTER='KernelHost.*:KernelNvme.*'
