// SPDX-License-Identifier: LGPL-2.1-or-later
#include "san_tree.h"

#include "ZoScsiDiskDevice.h"
#include "support/devices.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace zobench {

namespace {

// Bumped whenever the layout changes, so that kept trees are rebuilt.
const char kLayoutVersion[] = "zodevice-san 4";

// sd's numbers of the disk with this index, as the kernel gives them: 16
// majors of 16 disks, further disks in the high minor bits.
int sdMajor(int index) {
    static const int majors[16] = {8, 65, 66, 67, 68, 69, 70, 71, 128, 129, 130, 131, 132, 133, 134, 135};
    return majors[(index & 0xf0) >> 4];
}
int sdMinor(int index) { return ((index & 0xf) << 4) | (index & 0xfff00); }

// The node name of the array port that target T of host H reaches.
std::string arrayNodeName(int host, int target) {
    return "0x5006016" + std::to_string(host) + "00" + std::to_string(100000 + target);
}

// A SCSI disk with the attributes a listing reads: state, unit serial, ro,
// removable and uevent beside what addScsiDisk writes. A SAN disk lies under
// the remote port of its target (rport-H:0-T).
std::string addDisk(zotest::HostTree& tree, int index, int host, int target, int lun, uint64_t seed,
                    const std::string& vendor) {
    zotest::ScsiDiskSpec s;
    s.name = "sd" + getAAName(index);
    s.host = host;
    s.target = target;
    s.lun = lun;
    s.major = sdMajor(index);
    s.minor = sdMinor(index);
    s.seed = seed;
    s.vendor = vendor;
    s.model = vendor == "ZOSAN" ? "ARRAY" : "LOCAL";
    s.sectors = 4194304;
    if (vendor == "ZOSAN") {
        s.fcNodeName = arrayNodeName(host, target);
        s.rport = "rport-" + std::to_string(host) + ":0-" + std::to_string(target);
    }
    zotest::addScsiDisk(tree, s);
    const std::string dev = zotest::scsiDeviceDir(s);
    tree.write(dev + "/state", "running\n");
    char serial[32];
    std::snprintf(serial, sizeof serial, "SN%010llu", static_cast<unsigned long long>(seed));
    tree.write(dev + "/vpd_pg80", std::string{'\0', '\x80', '\0', static_cast<char>(std::strlen(serial))} + serial);
    const std::string block = dev + "/block/" + s.name;
    tree.write(block + "/ro", "0\n");
    tree.write(block + "/removable", "0\n");
    tree.write(block + "/uevent", "MAJOR=" + std::to_string(s.major) + "\nMINOR=" + std::to_string(s.minor) +
                                      "\nDEVNAME=" + s.name + "\nDEVTYPE=disk\n");
    return s.name;
}

// Writes the attributes of a class device at dir and links
// /sys/class/<cls>/<name> to it, as the FC transport does.
void addClassDevice(zotest::HostTree& tree, const std::string& cls, const std::string& dir,
                    const std::vector<std::pair<const char*, std::string>>& attrs) {
    for (const auto& a : attrs) tree.write(dir + "/" + a.first, a.second + "\n");
    zotest::relativeSymlink(tree, dir, "/sys/class/" + cls + "/" + dir.substr(dir.rfind('/') + 1));
}

// The FC port of HBA host (SCSI host H).
void addFcHost(zotest::HostTree& tree, int host) {
    const std::string h = std::to_string(host);
    addClassDevice(tree, "fc_host", "/sys/devices/platform/host" + h + "/fc_host/host" + h,
                   {{"port_name", "0x21000000aa0b0c" + std::to_string(10 + host)},
                    {"node_name", "0x20000000aa0b0c" + std::to_string(10 + host)},
                    {"port_state", "Online"},
                    {"speed", "32 Gbit"},
                    {"fabric_name", "0x10000000f" + h + "000001"},
                    {"port_id", "0x0" + h + "0100"},
                    {"port_type", "NPort (fabric via point-to-point)"},
                    {"symbolic_name", "ZOSAN FC HBA"}});
}

// Remote port rport-H:0-T: the array port that host H reaches target T by.
void addFcRemotePort(zotest::HostTree& tree, int host, int target) {
    const std::string name = "rport-" + std::to_string(host) + ":0-" + std::to_string(target);
    addClassDevice(tree, "fc_remote_ports",
                   "/sys/devices/platform/host" + std::to_string(host) + "/" + name + "/fc_remote_ports/" + name,
                   {{"port_name", "0x5006016" + std::to_string(host) + "10" + std::to_string(100000 + target)},
                    {"node_name", arrayNodeName(host, target)},
                    {"port_state", "Online"},
                    {"roles", "FCP Target"},
                    {"port_id", "0x0" + std::to_string(host) + "0" + std::to_string(200 + target)}});
}

}  // namespace

San addSan(zotest::HostTree& tree, int maps, int pathsPerMap) {
    San san;
    std::string blocks = "  8 sd\n";
    for (int m : {65, 66, 67, 68, 69, 70, 71, 128, 129, 130, 131, 132, 133, 134, 135})
        blocks += std::to_string(m) + " sd\n";
    tree.write("/proc/devices", "Character devices:\n  1 mem\n 21 sg\n\nBlock devices:\n" + blocks +
                                    "253 device-mapper\n254 mdp\n259 blkext\n");
    for (int host = 0; host < pathsPerMap; ++host) addFcHost(tree, host);
    const int localHost = pathsPerMap;
    tree.write("/sys/class/scsi_host/host" + std::to_string(localHost) + "/proc_name", "ahci\n");

    int disk = 0;
    int nextDmMinor = maps;
    for (int m = 0; m < maps; ++m) {
        zotest::DmMapSpec map;
        map.name = "mpath" + getAAName(m);
        map.minor = m;
        map.wwid = zotest::wwidOfSeed(m + 1);
        map.sectors = 4194304;
        if (m % 16 == 5) map.failed = {"sd" + getAAName(disk + pathsPerMap - 1)};  // its last path
        if (m % 256 == 0)
            for (int p = 0; p < pathsPerMap; ++p) addFcRemotePort(tree, p, m / 256);
        san.pathNodes.emplace_back();
        for (int p = 0; p < pathsPerMap; ++p, ++disk) {
            map.paths.push_back(addDisk(tree, disk, p, m / 256, m % 256, m + 1, "ZOSAN"));
            san.pathNodes.back().push_back("/dev/" + map.paths.back());
        }
        const zotest::DmMap added = zotest::addMultipathMap(tree, map);
        san.mapNodes.push_back(added.node);
        san.blockDevices += pathsPerMap + 1;
        if (m % 8 == 0) {
            for (int part = 1; part <= 2; ++part) {
                zotest::DmPartitionSpec partition;
                partition.map = added.kernelName;
                partition.name = map.name + "-part" + std::to_string(part);
                partition.minor = nextDmMinor++;
                partition.partno = part;
                partition.start = part == 1 ? 2048 : 2099200;
                partition.sectors = 2097152;
                zotest::addMultipathPartition(tree, partition);
                san.blockDevices += 1;
            }
        }
        if (m % 64 == 0) {
            zotest::ScsiDiskSpec local;
            local.name = addDisk(tree, disk, localHost, 0, m / 64, 1000000 + m, "ZOLOCAL");
            local.major = sdMajor(disk);
            local.minor = sdMinor(disk);
            ++disk;
            zotest::addScsiPartition(tree, local, 1, 2048, 1048576);
            zotest::addScsiPartition(tree, local, 2, 1050624, 3143680);
            san.localDisks.push_back("/dev/" + local.name);
            san.blockDevices += 3;
        }
    }
    return san;
}

std::string sanTree(int maps, int pathsPerMap, San* san) {
    const char* base = std::getenv("ZO_SAN_DIR");
    const fs::path dir = fs::path(base && *base ? base : "/dev/shm/zodevice-san") /
                         ("san-" + std::to_string(maps) + "x" + std::to_string(pathsPerMap));
    const fs::path marker = dir / ".zosan";
    const std::string version = std::string(kLayoutVersion) + "\n";
    std::ifstream in(marker);
    std::string found((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (found.compare(0, version.size(), version) == 0) {
        if (san) {
            *san = San();
            std::istringstream rest(found.substr(version.size()));
            for (std::string line; std::getline(rest, line);) {
                const std::string kind = line.substr(0, line.find(' '));
                std::istringstream words(line.substr(line.find(' ') + 1));
                std::vector<std::string> w((std::istream_iterator<std::string>(words)), std::istream_iterator<std::string>());
                if (kind == "map") {
                    san->mapNodes.push_back(w.front());
                    san->pathNodes.emplace_back(w.begin() + 1, w.end());
                } else if (kind == "local") {
                    san->localDisks.push_back(w.front());
                } else if (kind == "devices") {
                    san->blockDevices = std::stoul(w.front());
                }
            }
        }
        return dir.string();
    }
    fs::create_directories(dir.parent_path());
    fs::remove_all(dir);
    const std::string previous = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", dir.parent_path().c_str(), 1);
    zotest::HostTree tree;
    if (previous.empty()) unsetenv("TMPDIR"); else setenv("TMPDIR", previous.c_str(), 1);
    San built = addSan(tree, maps, pathsPerMap);
    std::string summary = version;
    for (size_t m = 0; m < built.mapNodes.size(); ++m) {
        summary += "map " + built.mapNodes[m];
        for (const std::string& p : built.pathNodes[m]) summary += " " + p;
        summary += "\n";
    }
    for (const std::string& l : built.localDisks) summary += "local " + l + "\n";
    summary += "devices " + std::to_string(built.blockDevices) + "\n";
    tree.keep();
    fs::rename(tree.root(), dir);
    std::ofstream(marker) << summary;
    if (san) *san = built;
    return dir.string();
}

}  // namespace zobench
