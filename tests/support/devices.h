// SPDX-License-Identifier: LGPL-2.1-or-later
// Devices in host trees, laid out as real kernels show them: SCSI disks,
// device-mapper multipath maps and disk images with real partition tables.
// No GoogleTest dependency, so the benchmarks use them too. Failures to edit
// the tree throw.
#pragma once

#include "ZoDevice.h"
#include "host_tree.h"

#include <initializer_list>

namespace zotest {

// --- SCSI disks ------------------------------------------------------------
// /sys/devices/platform/hostH/targetH:C:T/H:C:T:L (or .../hostH/<rport>/
// targetH:C:T/...) with its attributes, scsi_device and block entries;
// /sys/class/scsi_device/H:C:T:L.
struct ScsiDiskSpec {
    ScsiDiskSpec(std::string name = "sdb", int minor = 16, int host = 0, uint64_t seed = 1)
        : name(std::move(name)), host(host), minor(minor), seed(seed) {}
    std::string name;
    int host, channel = 0, target = 0, lun = 0;
    int major = 8, minor;
    uint64_t sectors = 2097152;
    std::string vendor = "ZOTEST", model = "VDISK", rev = "1.0";
    int type = 0;            // peripheral device type (0: direct access)
    std::string vpdPg83;     // the raw page 0x83; empty: makeVpdPg83(seed)
    uint64_t seed;
    std::string fcNodeName;  // non-empty: fc_transport/targetH:C:T/node_name holds it
    std::string byIdLink;    // non-empty: a relative link at this path (under /dev) to the node
    std::string rport;       // non-empty ("rport-H:C-N"): the target lies under this remote port of
                             // the host, as the FC transport places it
};

// The disk's SCSI device directory, /sys/devices/platform/hostH/.../H:C:T:L.
std::string scsiDeviceDir(const ScsiDiskSpec& disk);

// A page 0x83: a T10 vendor-identification descriptor, then a 16-byte binary
// NAA (type 6) of the logical unit, both derived from seed.
std::string makeVpdPg83(uint64_t seed);
// "3" and the NAA designator of makeVpdPg83(seed) in lowercase hexadecimal.
std::string wwidOfSeed(uint64_t seed);
// Bytes as lowercase hexadecimal, two digits each.
std::string hexBytes(const std::string& bytes);

// Bytes of the given values; a designation descriptor (code set,
// association, designator type); a page 0x83 around descriptors (length
// overrides its length field).
std::string bytes(std::initializer_list<int> values);
std::string desc(int codeSet, int association, int type, const std::string& designator);
std::string page83(const std::string& body, int length = -1);

// Adds the disk; returns its node, /dev/NAME.
std::string addScsiDisk(HostTree& tree, const ScsiDiskSpec& disk);
// Adds partition partno of the disk; the device number defaults to the
// disk's + partno (partitions 1 to 15 only). Returns /dev/NAME + partno.
std::string addScsiPartition(HostTree& tree, const ScsiDiskSpec& disk, int partno, uint64_t start = 2048,
                             uint64_t sectors = 2048, int major = -1, int minor = -1);

// --- Device-mapper multipath maps ---------------------------------------------
//   /sys/devices/virtual/block/dm-N/{dev,size,dm/name,dm/uuid,dm/suspended}
//   /sys/devices/virtual/block/dm-N/slaves/<path> -> the path's sysfs directory
//   <path's sysfs directory>/holders/dm-N -> the map's (relative links)
//   /dev/mapper/<name> -> ../dm-N; /dev/disk/by-id/dm-name-<name>, dm-uuid-<uuid>

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

// A link at linkPath to target, written relative to linkPath's directory.
void relativeSymlink(HostTree& tree, const std::string& target, const std::string& linkPath);

// --- Xen and NVMe disks (the disk-kinds host of tests/data/hosts has them) -------

const int kXvdMajor = 202;
// The commands that read the xvd and the NVMe majors from /proc/devices.
extern const char kXvdMajorCommand[];
extern const char kNvmeMajorCommand[];
// Answers "mountpoint -d /" with MAJ:MIN, or with a failure when major < 0.
void setRootDevice(HostTree& tree, int major, int minor);
// The command line with which the serial of an NVMe device path is read
// (the path must need no shell quoting).
std::string nvmeSerialCommand(const std::string& path, const std::string& udevadm = "/sbin/udevadm");

// --- Disk images ---------------------------------------------------------------
// Creates (or replaces) a sparse image of sizeMiB MiB at realPath and, when
// the script is not empty, writes the table the sfdisk script describes.
void makeDiskImage(const std::string& realPath, unsigned sizeMiB, const std::string& sfdiskScript);
// The partition interface of a device, or null.
ZoDevicePartIface* partIface(const SP<ZoDevice>& dev);
// Records as "name number major:minor start+sectors sectorsize; " each.
std::string describeParts(const std::list<ZoPartInfo>& parts);

}  // namespace zotest
