// SPDX-License-Identifier: LGPL-2.1-or-later
#include "devices.h"

#include "FXString.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace zotest {

const char kXvdMajorCommand[] = "cat /proc/devices | grep 'xvd' | awk '{print $1}'";
const char kNvmeMajorCommand[] = "cat /proc/devices | awk '{if($2 ~/nvme/) printf $1}'";

namespace {

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The 16-byte NAA designator of makeVpdPg83(seed).
std::string naaOfSeed(uint64_t seed) {
    std::string naa;
    for (int i = 0; i < 2; ++i)
        for (uint64_t v = splitmix(seed), b = 0; b < 8; ++b) naa.push_back(static_cast<char>(v >> (8 * b)));
    naa[0] = static_cast<char>(0x60 | (naa[0] & 0x0f));  // NAA type 6, IEEE registered extended
    return naa;
}

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

}  // namespace

std::string hexBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 0x0f]};
    return out;
}

std::string bytes(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

std::string desc(int codeSet, int association, int type, const std::string& designator) {
    return bytes({codeSet, association << 4 | type, 0, static_cast<int>(designator.size())}) + designator;
}

std::string page83(const std::string& body, int length) {
    if (length < 0) length = static_cast<int>(body.size());
    return bytes({0, 0x83, length >> 8, length & 0xff}) + body;
}

std::string wwidOfSeed(uint64_t seed) { return "3" + hexBytes(naaOfSeed(seed)); }

std::string makeVpdPg83(uint64_t seed) {
    char t10[32];  // vendor and a serial number of 12 hexadecimal digits: 22 characters
    std::snprintf(t10, sizeof t10, "ZOTEST  SN%012llx", static_cast<unsigned long long>(seed % (1ULL << 48)));
    std::string body = std::string{'\x02', '\x01', '\x00', '\x16'} + t10;
    body += std::string{'\x01', '\x03', '\x00', '\x10'} + naaOfSeed(seed);
    return std::string{'\x00', '\x83', '\x00', static_cast<char>(body.size())} + body;
}

std::string scsiDeviceDir(const ScsiDiskSpec& disk) {
    const std::string host = std::to_string(disk.host);
    const std::string hct = host + ":" + std::to_string(disk.channel) + ":" + std::to_string(disk.target);
    return "/sys/devices/platform/host" + host + (disk.rport.empty() ? "" : "/" + disk.rport) + "/target" + hct +
           "/" + hct + ":" + std::to_string(disk.lun);
}

// The disk's standard INQUIRY response (36 bytes), as the kernel keeps it
// in the device's inquiry attribute.
static std::string makeInquiry(const ScsiDiskSpec& disk) {
    // SPC-4, response data format 2, 31 bytes after the first five.
    std::string response{static_cast<char>(disk.type), '\0', '\x06', '\x02', '\x1f', '\0', '\0', '\0'};
    for (const auto& [text, length] : {std::make_pair(&disk.vendor, 8), {&disk.model, 16}, {&disk.rev, 4}})
        response += (*text + std::string(length, ' ')).substr(0, length);
    return response;
}

std::string addScsiDisk(HostTree& tree, const ScsiDiskSpec& disk) {
    const std::string host = std::to_string(disk.host);
    const std::string hct = host + ":" + std::to_string(disk.channel) + ":" + std::to_string(disk.target);
    const std::string hctl = hct + ":" + std::to_string(disk.lun);
    const std::string dir = scsiDeviceDir(disk);
    tree.write(dir + "/type", std::to_string(disk.type) + "\n");
    tree.write(dir + "/vendor", disk.vendor + "\n");
    tree.write(dir + "/model", disk.model + "\n");
    tree.write(dir + "/rev", disk.rev + "\n");
    tree.write(dir + "/inquiry", makeInquiry(disk));
    tree.write(dir + "/vpd_pg83", disk.vpdPg83.empty() ? makeVpdPg83(disk.seed) : disk.vpdPg83);
    if (disk.vpdPg83.empty()) tree.write(dir + "/wwid", "naa." + wwidOfSeed(disk.seed).substr(1) + "\n");
    tree.mkdir(dir + "/scsi_device/" + hctl);
    tree.symlink("../../../" + hctl, dir + "/scsi_device/" + hctl + "/device");
    tree.symlink("../.." + dir.substr(4) + "/scsi_device/" + hctl, "/sys/class/scsi_device/" + hctl);
    tree.addBlockDevice(disk.name, disk.major, disk.minor, disk.sectors, dir + "/block/" + disk.name);
    tree.symlink("../../../" + hctl, dir + "/block/" + disk.name + "/device");
    if (!disk.fcNodeName.empty())
        tree.write("/sys/class/fc_transport/target" + hct + "/node_name", disk.fcNodeName + "\n");
    if (!disk.byIdLink.empty()) relativeSymlink(tree, "/dev/" + disk.name, disk.byIdLink);
    return "/dev/" + disk.name;
}

std::string addScsiPartition(HostTree& tree, const ScsiDiskSpec& disk, int partno, uint64_t start,
                             uint64_t sectors, int major, int minor) {
    if ((major < 0 || minor < 0) && (partno < 1 || partno > 15))
        throw std::invalid_argument("scsi tree: partition " + std::to_string(partno) + " needs its number");
    const std::string name = disk.name + std::to_string(partno);
    tree.addPartition(disk.name, name, partno, major < 0 ? disk.major : major,
                      minor < 0 ? disk.minor + partno : minor, start, sectors);
    return "/dev/" + name;
}

void relativeSymlink(HostTree& tree, const std::string& target, const std::string& linkPath) {
    namespace fs = std::filesystem;
    tree.symlink(fs::path(target).lexically_relative(fs::path(linkPath).parent_path()).string(), linkPath);
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
    const std::string uuid = "part" + std::to_string(part.partno) + "-" + firstLine(tree, mapDir + "/dm/uuid");
    const std::string linear = "0 " + std::to_string(part.sectors) + " linear";
    const std::string table = linear + " " + firstLine(tree, mapDir + "/dev") + " " + std::to_string(part.start);
    tree.answerCommand("dmsetup table " + FXString::ShellQuote(part.name), 0, table + "\n");
    tree.setDmState(kDmMajor, static_cast<unsigned>(part.minor), {table}, {linear});
    return addDmDevice(tree, part.name, part.minor, uuid, part.sectors, {part.map});
}

void setRootDevice(HostTree& tree, int major, int minor) {
    const std::string answer = std::to_string(major) + ":" + std::to_string(minor) + "\n";
    tree.answerCommand("mountpoint -d /", major < 0, major < 0 ? "" : answer, major < 0 ? "/: not a mountpoint\n" : "");
}

std::string nvmeSerialCommand(const std::string& path, const std::string& udevadm) {
    return udevadm + " info -a " + path + "  | awk -F '\"' '{if($0 ~/ATTRS{serial}/) printf \"%s\", $2}'";
}

void makeDiskImage(const std::string& realPath, unsigned sizeMiB, const std::string& sfdiskScript) {
    std::filesystem::create_directories(std::filesystem::path(realPath).parent_path());
    std::filesystem::remove(realPath);
    std::string command = "truncate -s " + std::to_string(sizeMiB) + "M " + FXString::ShellQuote(realPath);
    if (!sfdiskScript.empty())
        command += " && printf %s " + FXString::ShellQuote(sfdiskScript) +
                   " | sfdisk --quiet --no-reread --no-tell-kernel " + FXString::ShellQuote(realPath);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

ZoDevicePartIface* partIface(const SP<ZoDevice>& dev) {
    return static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
}

std::string describeParts(const std::list<ZoPartInfo>& parts) {
    std::ostringstream os;
    for (const ZoPartInfo& p : parts)
        os << p.partName << " " << p.partNumber << " " << p.major << ":" << p.minor << " " << p.startSector << "+"
           << p.numSectors << " " << p.sectorSize << "; ";
    return os.str();
}

}  // namespace zotest
