// Device-mapper maps in a host tree. Failures to edit the tree throw
// (from HostTree).
#include "dm_tree.h"

#include "FXString.h"
#include "ZoScsiDiskDevice.h"
#include "scsi_tree.h"

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace zotest {

namespace {

std::string trimmedRead(const HostTree& tree, const std::string& path) {
    std::string text = tree.read(path);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

DmMap addDmDevice(HostTree& tree, const std::string& name, int minor, const std::string& uuid,
                  uint64_t sectors) {
    DmMap m;
    m.kernelName = "dm-" + std::to_string(minor);
    m.node = "/dev/mapper/" + name;
    m.sysDir = "/sys/devices/virtual/block/" + m.kernelName;
    tree.addBlockDevice(m.kernelName, kDmMajor, minor, sectors, m.sysDir);
    tree.write(m.sysDir + "/dm/name", name + "\n");
    tree.write(m.sysDir + "/dm/uuid", uuid + "\n");
    tree.write(m.sysDir + "/dm/suspended", "0\n");
    tree.mkdir(m.sysDir + "/slaves");
    tree.mkdir(m.sysDir + "/holders");
    tree.symlink("../" + m.kernelName, m.node);
    tree.symlink("../../" + m.kernelName, "/dev/disk/by-id/dm-name-" + name);
    tree.symlink("../../" + m.kernelName, "/dev/disk/by-id/dm-uuid-" + uuid);
    return m;
}

// slaves/<lower> in upper's directory and holders/<upper> in lower's.
void stack(HostTree& tree, const DmMap& upper, const std::string& lower) {
    const std::string lowerDir = tree.sysDirOf(lower);
    if (lowerDir.empty()) throw std::invalid_argument("dm tree: no block device " + lower);
    relativeSymlink(tree, lowerDir, upper.sysDir + "/slaves/" + lower);
    relativeSymlink(tree, upper.sysDir, lowerDir + "/holders/" + upper.kernelName);
}

}  // namespace

void relativeSymlink(HostTree& tree, const std::string& target, const std::string& linkPath) {
    tree.symlink(fs::path(target).lexically_relative(fs::path(linkPath).parent_path()).string(),
                 linkPath);
}

DmMap addMultipathMap(HostTree& tree, const DmMapSpec& spec) {
    const std::string uuid = "mpath-" + (spec.wwid.empty() ? spec.name : spec.wwid);
    DmMap m = addDmDevice(tree, spec.name, spec.minor, uuid, spec.sectors);
    for (const std::string& path : spec.paths) stack(tree, m, path);
    return m;
}

DmMap addMultipathPartition(HostTree& tree, const DmPartitionSpec& spec) {
    const std::string mapDir = tree.sysDirOf(spec.map);
    if (mapDir.empty()) throw std::invalid_argument("dm tree: no map " + spec.map);
    const std::string uuid =
        "part" + std::to_string(spec.partno) + "-" + trimmedRead(tree, mapDir + "/dm/uuid");
    DmMap m = addDmDevice(tree, spec.name, spec.minor, uuid, spec.sectors);
    stack(tree, m, spec.map);
    tree.answerCommand("dmsetup table " + FXString::ShellQuote(spec.name), 0,
                       "0 " + std::to_string(spec.sectors) + " linear " +
                           trimmedRead(tree, mapDir + "/dev") + " " + std::to_string(spec.start) +
                           "\n");
    return m;
}

std::string addPathDisk(HostTree& tree, const std::string& name, int minor, int host) {
    ScsiDiskSpec s;
    s.name = name;
    s.minor = minor;
    s.host = host;
    return addScsiDisk(tree, s).node;
}

DmMap addDataMap(HostTree& tree) {
    addPathDisk(tree, "sdb", 16, 0);
    addPathDisk(tree, "sdc", 32, 1);
    DmMapSpec map;
    map.name = "data";
    map.minor = 3;
    map.paths = {"sdb", "sdc"};
    return addMultipathMap(tree, map);
}

San addSan(HostTree& tree, int maps, int pathsPerMap) {
    // The sd majors in the kernel's order; 16 disks of 16 minors each.
    static const int kSdMajors[] = {8, 65, 66, 67, 68, 69, 70, 71,
                                    128, 129, 130, 131, 132, 133, 134, 135};
    San san;
    int disk = 0;
    for (int m = 0; m < maps; ++m) {
        const uint64_t seed = static_cast<uint64_t>(m) + 1;
        DmMapSpec map;
        map.name = "mpath" + getAAName(m);
        map.minor = m;
        map.wwid = wwidOfSeed(seed);
        std::vector<std::string> nodes;
        for (int p = 0; p < pathsPerMap; ++p, ++disk) {
            ScsiDiskSpec s;
            s.name = "sd" + getAAName(disk);
            s.host = p;
            s.lun = m;
            const int group = disk / 16;
            // Past the 256 classic disks, made-up majors keep numbers unique.
            s.major = group < 16 ? kSdMajors[group] : 1000 + group;
            s.minor = (disk % 16) * 16;
            s.seed = seed;
            nodes.push_back(addScsiDisk(tree, s).node);
            map.paths.push_back(s.name);
        }
        san.maps.push_back(addMultipathMap(tree, map));
        san.paths.push_back(nodes);
        san.wwids.push_back(map.wwid);
    }
    return san;
}

}  // namespace zotest
