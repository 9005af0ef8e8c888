// Device-mapper multipath maps in a host tree, laid out in sysfs as the
// kernel does. No GoogleTest dependency, so benchmarks use it too.
//   /sys/devices/virtual/block/dm-N/{dev,size,dm/name,dm/uuid,dm/suspended}
//   /sys/devices/virtual/block/dm-N/slaves/<path> -> the path's sysfs directory
//   <path's sysfs directory>/holders/dm-N -> the map's (relative links)
//   /dev/mapper/<name> -> ../dm-N; /dev/disk/by-id/dm-name-<name>, dm-uuid-<uuid>
#pragma once

#include "fault_host.h"
#include "host_tree.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zotest {

// The block major of device-mapper on a usual machine.
const int kDmMajor = 253;

struct DmMapSpec {
    std::string name = "mpatha";  // dm/name: the alias, or the WWID
    int minor = 0;                // the map is dm-<minor>
    std::string wwid;             // dm/uuid is "mpath-<wwid>"; empty: the name
    std::vector<std::string> paths;  // kernel names of path devices, in slaves/ order
    uint64_t sectors = 2097152;
    std::vector<std::string> failed = {};  // paths device-mapper reports failed
};

struct DmPartitionSpec {
    std::string map = "dm-0";  // kernel name of the whole map
    std::string name;          // dm/name, e.g. "mpatha-part1" (udev) or "mpatha1" (kpartx)
    int minor = 1;             // the partition map is dm-<minor>
    int partno = 1;            // uuid "part<partno>-<the map's uuid>"
    uint64_t start = 2048;     // in 512-byte sectors
    uint64_t sectors = 2048;
};

struct DmMap {
    std::string kernelName;  // "dm-N"
    std::string node;        // "/dev/mapper/<name>"
    std::string sysDir;      // "/sys/devices/virtual/block/dm-N"
};

// Adds a multipath map over path devices already in the tree, with its
// device-mapper state: one service-time group of every path, queueing.
DmMap addMultipathMap(HostTree& tree, const DmMapSpec& map);

// Adds a partition map over a map, its device-mapper state and the answer
// to "dmsetup table '<name>'" ("0 <sectors> linear <maj>:<min> <start>").
DmMap addMultipathPartition(HostTree& tree, const DmPartitionSpec& part);

// Map "data" (dm-3) over sdb (SCSI host 0, 8:16) and sdc (host 1, 8:32).
DmMap addDataMap(HostTree& tree);

// A host with one of each: map "data" (dm-3) over sdb and sdc (sdb also as
// /dev/disk/by-id/scsi-SZOTEST_VDISK_b), its partition maps under a udev name
// (dm-10, "data-part2") and a kpartx name (dm-11, "data1"), an LVM volume
// on it (dm-12); sdd in no map, Xen disk xvda and NVMe disk nvme0n1, with
// /proc/devices and the driver major commands to match.
void addMixedHost(HostTree& tree);

// A link at linkPath to target, written relative to linkPath's directory.
void relativeSymlink(HostTree& tree, const std::string& target, const std::string& linkPath);

}  // namespace zotest
