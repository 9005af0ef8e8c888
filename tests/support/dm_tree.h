// Device-mapper multipath maps in a host tree, laid out in sysfs as the
// kernel does. No GoogleTest dependency, so benchmarks use it too.
//
//   /sys/devices/virtual/block/dm-N/{dev,size,dm/name,dm/uuid,dm/suspended}
//   /sys/devices/virtual/block/dm-N/slaves/<path> -> the path's sysfs directory
//   <path's sysfs directory>/holders/dm-N -> ../../../../virtual/block/dm-N (relative)
//   /dev/mapper/<name> -> ../dm-N
//   /dev/disk/by-id/dm-name-<name>, dm-uuid-<uuid> -> ../../dm-N
// plus the block device itself (HostTree::addBlockDevice).
#pragma once

#include "ZoInternal.h"
#include "fault_host.h"
#include "host_tree.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zotest {

// The block major of device-mapper on a usual machine.
const int kDmMajor = 253;

struct DmMapSpec {
    std::string name = "mpatha";  // dm/name: the alias, or the WWID
    int minor = 0;                // the map is dm-<minor>
    std::string wwid;             // dm/uuid is "mpath-<wwid>"; empty: the name
    // Kernel names of the path devices (already in the tree), in the order
    // slaves/ gets them.
    std::vector<std::string> paths;
    uint64_t sectors = 2097152;
};

struct DmPartitionSpec {
    std::string map = "dm-0";     // kernel name of the whole map (already in the tree)
    std::string name;             // dm/name, e.g. "mpatha-part1" (udev) or "mpatha1" (kpartx)
    int minor = 1;                // the partition map is dm-<minor>
    int partno = 1;               // uuid "part<partno>-<the map's uuid>"
    uint64_t start = 2048;        // in 512-byte sectors
    uint64_t sectors = 2048;
};

// What was made.
struct DmMap {
    std::string kernelName;  // "dm-N"
    std::string node;        // "/dev/mapper/<name>"
    std::string sysDir;      // "/sys/devices/virtual/block/dm-N"
};

// Adds a multipath map over existing path devices.
DmMap addMultipathMap(HostTree& tree, const DmMapSpec& spec);

// Adds a partition map over an existing map, and the answer to
// "dmsetup table '<name>'" ("0 <sectors> linear <maj>:<min> <start>").
DmMap addMultipathPartition(HostTree& tree, const DmPartitionSpec& spec);

// A SCSI disk to serve as a path: /dev/<name>, major 8, on SCSI host
// `host` (target 0, LUN 0), answering INQUIRY with makeVpdPg83(1).
std::string addPathDisk(HostTree& tree, const std::string& name, int minor, int host);

// The small multipath host of most tests: path disks sdb (SCSI host 0,
// 8:16) and sdc (SCSI host 1, 8:32) under map "data" (dm-3).
DmMap addDataMap(HostTree& tree);

// Installs a tree behind a FaultHost for this object's life, with the
// library's process-wide state reset at both ends. (Inline: only users link
// the FaultHost.)
class FaultyInstall {
public:
    explicit FaultyInstall(HostTree& tree)
        : m_installed(tree.install()),
          m_fault(std::make_shared<FaultHost>(m_installed.shared())),
          m_previous((zo_internal::resetProcessState(), ZoHost::install(m_fault))) {}
    ~FaultyInstall() {
        ZoHost::install(m_previous);
        zo_internal::resetProcessState();
    }
    FaultyInstall(const FaultyInstall&) = delete;
    FaultyInstall& operator=(const FaultyInstall&) = delete;
    FaultHost& fault() const { return *m_fault; }
    ZoRootedHost& host() const { return m_installed.host(); }

private:
    HostTree::Installed m_installed;
    std::shared_ptr<FaultHost> m_fault;
    std::shared_ptr<ZoHost> m_previous;
};

// A SAN as a host sees it: maps multipath maps ("mpath" + letters, dm-0
// upwards), each over pathsPerMap SCSI disks on hosts 0 to pathsPerMap-1 (LUN
// = the map's index; every path of a map answers with the map's WWID).
struct San {
    std::vector<DmMap> maps;
    std::vector<std::vector<std::string>> paths;  // per map, the path nodes ("/dev/sdX")
    std::vector<std::string> wwids;               // per map
};
San addSan(HostTree& tree, int maps, int pathsPerMap);

// A link at linkPath to target, written relative to linkPath's directory
// (as the kernel and udev write them, so util-linux can read the tree).
void relativeSymlink(HostTree& tree, const std::string& target, const std::string& linkPath);

}  // namespace zotest
