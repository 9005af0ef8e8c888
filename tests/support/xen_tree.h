// Xen virtual disks in host trees, laid out as a Xen guest's kernel shows
// them: /sys/devices/vbd-<id>/block/xvdX on major 202, 16 minors per disk,
// "/proc/devices" with the xvd driver, and the answers of the commands the
// library runs about them. No GoogleTest dependency.
#pragma once

#include "host_tree.h"  // and with it <cstdint>, <string>

namespace zotest {

const int kXvdMajor = 202;

// The command that reads the xvd major from /proc/devices.
extern const char kXvdMajorCommand[];

// "/proc/devices" of a Xen guest (xvd among the block devices; msr, whose
// character major is also 202, among the character devices) with the answer
// of the library's xvd major command. Replaces /proc/devices.
void setXenProcDevices(HostTree& tree);

// Adds the whole disk xvd<letters> with index index (xvda 0, xvdb 1, ...):
// 202:16*index. Returns its sysfs directory.
std::string addXenDisk(HostTree& tree, int index, uint64_t sectors);

// Adds partition partno of the disk with index index (202:16*index+partno).
void addXenPartition(HostTree& tree, int index, int partno, uint64_t start, uint64_t sectors);

// Answers "mountpoint -d /" with MAJ:MIN, or with a failure when major < 0.
void setRootDevice(HostTree& tree, int major, int minor);

}  // namespace zotest
