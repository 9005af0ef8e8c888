// SCSI disks in a host tree, laid out in sysfs as the kernel does. No
// GoogleTest dependency, so benchmarks use it too.
//
//   /sys/devices/platform/hostH/targetH:C:T/H:C:T:L/{type,vendor,model,rev,
//       vpd_pg83,wwid,scsi_device/H:C:T:L,block/NAME}
//   /sys/class/scsi_device/H:C:T:L -> ../../devices/.../H:C:T:L/scsi_device/H:C:T:L
//   .../scsi_device/H:C:T:L/device -> ../../../H:C:T:L
//   .../block/NAME/device -> ../../../H:C:T:L
// plus the block device itself (HostTree::addBlockDevice).
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
    int type = 0;  // peripheral device type (0: direct access)
    // The raw page 0x83; when empty, makeVpdPg83(seed) is used.
    std::string vpdPg83;
    uint64_t seed = 1;
    // Non-empty: /sys/class/fc_transport/targetH:C:T/node_name holds it
    // (with a newline).
    std::string fcNodeName;
    // Non-empty: a relative link at this path (under /dev) to /dev/NAME,
    // for example "/dev/disk/by-id/scsi-3600...".
    std::string byIdLink;
};

// What addScsiDisk made.
struct ScsiDisk {
    std::string node;         // /dev/NAME
    std::string sysfsDevice;  // /sys/devices/platform/hostH/targetH:C:T/H:C:T:L
    std::string hctl;         // "H:C:T:L"
};

// A Device Identification page: a T10 vendor-identification descriptor
// followed by a 16-byte binary NAA (type 6) descriptor of the logical unit,
// both derived from seed.
std::string makeVpdPg83(uint64_t seed);
// The WWID text of makeVpdPg83(seed): "3" and the NAA designator in
// lowercase hexadecimal (32 digits).
std::string wwidOfSeed(uint64_t seed);
// Bytes as lowercase hexadecimal, two digits each.
std::string hexBytes(const std::string& bytes);
// The 16-byte NAA designator of makeVpdPg83(seed).
std::string naaOfSeed(uint64_t seed);

// Adds one SCSI device (with its block device) to the tree.
ScsiDisk addScsiDisk(HostTree& tree, const ScsiDiskSpec& spec);

// Adds partition partno of a disk made by addScsiDisk. The device number
// defaults to the disk's major and minor + partno (partitions 1 to 15);
// partitions from 16 up need it given (the kernel puts them on major 259).
// Returns the node path (/dev/NAME + partno).
std::string addScsiPartition(HostTree& tree, const ScsiDiskSpec& disk, int partno,
                             uint64_t start = 2048, uint64_t sectors = 2048, int major = -1,
                             int minor = -1);

}  // namespace zotest
