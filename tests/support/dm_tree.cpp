// Device-mapper maps in a host tree. Failures to edit the tree throw.
#include "dm_tree.h"

#include "FXString.h"
#include "nvme_tree.h"
#include "scsi_tree.h"
#include "xen_tree.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace zotest {

namespace {

std::string firstLine(const HostTree& tree, const std::string& path) {
    const std::string text = tree.read(path);
    return text.substr(0, text.find('\n'));
}

// The device dm-<minor> stacked on the block devices lowers (slaves/ and
// holders/ links both ways).
DmMap addDmDevice(HostTree& tree, const std::string& name, int minor, const std::string& uuid,
                  uint64_t sectors, const std::vector<std::string>& lowers) {
    const std::string kernelName = "dm-" + std::to_string(minor);
    DmMap m{kernelName, "/dev/mapper/" + name, "/sys/devices/virtual/block/" + kernelName};
    tree.addBlockDevice(kernelName, kDmMajor, minor, sectors, m.sysDir);
    tree.write(m.sysDir + "/dm/name", name + "\n");
    tree.write(m.sysDir + "/dm/uuid", uuid + "\n");
    tree.write(m.sysDir + "/dm/suspended", "0\n");
    tree.mkdir(m.sysDir + "/slaves");
    tree.mkdir(m.sysDir + "/holders");
    tree.symlink("../" + kernelName, m.node);
    for (const std::string& link : {"dm-name-" + name, "dm-uuid-" + uuid})
        tree.symlink("../../" + kernelName, "/dev/disk/by-id/" + link);
    for (const std::string& lower : lowers) {
        const std::string lowerDir = tree.sysDirOf(lower);
        if (lowerDir.empty()) throw std::invalid_argument("dm tree: no block device " + lower);
        relativeSymlink(tree, lowerDir, m.sysDir + "/slaves/" + lower);
        relativeSymlink(tree, m.sysDir, lowerDir + "/holders/" + kernelName);
    }
    return m;
}

// A SCSI disk /dev/<name> (major 8) on SCSI host `host`.
void addPathDisk(HostTree& tree, const std::string& name, int minor, int host) {
    ScsiDiskSpec disk;
    disk.name = name;
    disk.minor = minor;
    disk.host = host;
    addScsiDisk(tree, disk);
}

}  // namespace

void relativeSymlink(HostTree& tree, const std::string& target, const std::string& linkPath) {
    namespace fs = std::filesystem;
    tree.symlink(fs::path(target).lexically_relative(fs::path(linkPath).parent_path()).string(),
                 linkPath);
}

DmMap addMultipathMap(HostTree& tree, const DmMapSpec& map) {
    const std::string uuid = "mpath-" + (map.wwid.empty() ? map.name : map.wwid);
    DmMap added = addDmDevice(tree, map.name, map.minor, uuid, map.sectors, map.paths);
    // One service-time group holding every path, all active but those failed.
    const std::string target = "0 " + std::to_string(map.sectors) + " multipath ";
    const std::string n = std::to_string(map.paths.size());
    std::string table = target + "1 queue_if_no_path 0 " + (map.paths.empty() ? "0 1" : "1 1 service-time 0 " + n + " 1");
    std::string status = target + "2 0 0 0 " + (map.paths.empty() ? "0 1" : "1 1 A 0 " + n + " 2");
    for (const std::string& path : map.paths) {
        const bool failed = std::count(map.failed.begin(), map.failed.end(), path) > 0;
        const std::string number = firstLine(tree, tree.sysDirOf(path) + "/dev");
        table += " " + number + " 1";
        status += " " + number + (failed ? " F 1" : " A 0") + " 0 1";
    }
    tree.setDmState(kDmMajor, static_cast<unsigned>(map.minor), {table}, {status});
    return added;
}

DmMap addMultipathPartition(HostTree& tree, const DmPartitionSpec& part) {
    const std::string mapDir = "/sys/block/" + part.map;
    const std::string uuid =
        "part" + std::to_string(part.partno) + "-" + firstLine(tree, mapDir + "/dm/uuid");
    tree.answerCommand("dmsetup table " + FXString::ShellQuote(part.name), 0,
                       "0 " + std::to_string(part.sectors) + " linear " +
                           firstLine(tree, mapDir + "/dev") + " " + std::to_string(part.start) +
                           "\n");
    tree.setDmState(kDmMajor, static_cast<unsigned>(part.minor),
                    {"0 " + std::to_string(part.sectors) + " linear " + firstLine(tree, mapDir + "/dev") + " " +
                     std::to_string(part.start)},
                    {"0 " + std::to_string(part.sectors) + " linear"});
    return addDmDevice(tree, part.name, part.minor, uuid, part.sectors, {part.map});
}

DmMap addDataMap(HostTree& tree) {
    addPathDisk(tree, "sdb", 16, 0);
    addPathDisk(tree, "sdc", 32, 1);
    return addMultipathMap(tree, {"data", 3, "", {"sdb", "sdc"}});
}

void addMixedHost(HostTree& tree) {
    addDataMap(tree);
    tree.symlink("../../sdb", "/dev/disk/by-id/scsi-SZOTEST_VDISK_b");
    addPathDisk(tree, "sdd", 48, 2);
    addXenDisk(tree, 0, 2048);
    addNvmeDisk(tree, 0, 0, 2048, "SERIAL0");
    tree.setProcDevices({{kNvmeCharMajor, "nvme"}},
                        {{8, "sd"}, {kXvdMajor, "xvd"}, {kBlkextMajor, "blkext"}, {kDmMajor, "device-mapper"}});
    tree.answerCommand(kXvdMajorCommand, 0, std::to_string(kXvdMajor) + "\n");
    tree.answerCommand(kNvmeMajorCommand, 0, std::to_string(kNvmeCharMajor));
    addMultipathPartition(tree, {"dm-3", "data-part2", 10, 2, 1050624, 8192});
    addMultipathPartition(tree, {"dm-3", "data1", 11, 1, 2048, 1048576});
    const std::string lvm = "/sys/devices/virtual/block/dm-12";
    tree.addBlockDevice("dm-12", kDmMajor, 12, 8, lvm);
    tree.write(lvm + "/dm/uuid", "LVM-abcdef\n");
    relativeSymlink(tree, lvm, "/sys/devices/virtual/block/dm-3/holders/dm-12");
    relativeSymlink(tree, "/sys/devices/virtual/block/dm-3", lvm + "/slaves/dm-3");
}

}  // namespace zotest
