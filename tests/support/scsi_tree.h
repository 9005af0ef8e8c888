// SCSI disks in a host tree, laid out in sysfs as the kernel does
// (/sys/devices/platform/hostH/targetH:C:T/H:C:T:L with its attributes,
// scsi_device and block entries; /sys/class/scsi_device/H:C:T:L). No
// GoogleTest dependency, so benchmarks use it too. Failures to edit the tree
// throw std::runtime_error (from HostTree).
#pragma once

#include "host_tree.h"

#include <cstdint>
#include <string>

namespace zotest {

struct ScsiDiskSpec {
    std::string name = "sdb";
    int host = 0, channel = 0, target = 0, lun = 0;
    int major = 8, minor = 16;
    uint64_t sectors = 2097152;
    std::string vendor = "ZOTEST", model = "VDISK", rev = "1.0";
    int type = 0;            // peripheral device type (0: direct access)
    std::string vpdPg83;     // the raw page 0x83; empty: makeVpdPg83(seed)
    uint64_t seed = 1;
    std::string fcNodeName;  // non-empty: fc_transport/targetH:C:T/node_name holds it
    std::string byIdLink;    // non-empty: a relative link at this path (under /dev) to the node
};

struct ScsiDisk {
    std::string node;  // /dev/NAME
};

// A page 0x83: a T10 vendor-identification descriptor, then a 16-byte binary
// NAA (type 6) of the logical unit, both derived from seed.
std::string makeVpdPg83(uint64_t seed);
// "3" and the NAA designator of makeVpdPg83(seed) in lowercase hexadecimal.
std::string wwidOfSeed(uint64_t seed);
// Bytes as lowercase hexadecimal, two digits each.
std::string hexBytes(const std::string& bytes);

ScsiDisk addScsiDisk(HostTree& tree, const ScsiDiskSpec& disk);
// Adds partition partno of the disk; the device number defaults to the
// disk's + partno (partitions 1 to 15 only). Returns /dev/NAME + partno.
std::string addScsiPartition(HostTree& tree, const ScsiDiskSpec& disk, int partno, uint64_t start = 2048,
                             uint64_t sectors = 2048, int major = -1, int minor = -1);

}  // namespace zotest
