// NVMe disks in host trees, laid out as a real kernel shows them: the
// namespace block device on the extended major 259 under its controller
// (.../nvme/nvmeN/nvmeNn1) or under a subsystem
// (/sys/devices/virtual/nvme-subsystem/nvme-subsysN/nvmeNn1, with the hidden
// path entry nvmeNcNn1 in /sys/block that has no dev file), the controller's
// serial attribute and character node, "/proc/devices" and the answers of
// the commands the library runs about them. No GoogleTest dependency.
#pragma once

#include "host_tree.h"  // and with it <cstdint>, <string>

namespace zotest {

// Extended block major shared by NVMe namespaces and their partitions.
const int kBlkextMajor = 259;
// Character majors of the nvme and nvme-generic drivers in these trees.
const int kNvmeCharMajor = 243;
const int kNvmeGenericCharMajor = 242;

enum class NvmeLayout { Controller, Subsystem };

// "/proc/devices" of a host with the NVMe driver (nvme and nvme-generic
// among the character devices, blkext and sd among the block devices), with
// the answer of the library's NVMe major command. Replaces /proc/devices.
void setNvmeProcDevices(HostTree& tree);

// Adds controller nvme<controller> with namespace 1 (nvme<controller>n1,
// 259:minor) whose serial is serial. Returns the namespace's sysfs
// directory. The answer of the serial command for /dev/nvme<controller>n1 is
// added to the command table.
std::string addNvmeDisk(HostTree& tree, int controller, int minor, uint64_t sectors,
                        const std::string& serial, NvmeLayout layout = NvmeLayout::Controller);

// Adds partition partno of namespace disk (for example "nvme0n1") as
// <disk>p<partno> on 259:minor.
void addNvmePartition(HostTree& tree, const std::string& disk, int partno, int minor, uint64_t start, uint64_t sectors);

// The command line with which the serial of an NVMe device path is read
// (the path must need no shell quoting).
std::string nvmeSerialCommand(const std::string& path, const std::string& udevadm = "/sbin/udevadm");

// The command that reads the NVMe major from /proc/devices.
extern const char kNvmeMajorCommand[];

}  // namespace zotest
