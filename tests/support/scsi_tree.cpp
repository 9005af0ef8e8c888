#include "scsi_tree.h"

#include <cstdio>
#include <stdexcept>

namespace zotest {

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

}  // namespace

std::string hexBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 0x0f]};
    return out;
}

std::string wwidOfSeed(uint64_t seed) { return "3" + hexBytes(naaOfSeed(seed)); }

std::string makeVpdPg83(uint64_t seed) {
    char t10[32];  // vendor and a serial number of 12 hexadecimal digits: 22 characters
    std::snprintf(t10, sizeof t10, "ZOTEST  SN%012llx", static_cast<unsigned long long>(seed % (1ULL << 48)));
    std::string body = std::string{'\x02', '\x01', '\x00', '\x16'} + t10;
    body += std::string{'\x01', '\x03', '\x00', '\x10'} + naaOfSeed(seed);
    return std::string{'\x00', '\x83', '\x00', static_cast<char>(body.size())} + body;
}

ScsiDisk addScsiDisk(HostTree& tree, const ScsiDiskSpec& disk) {
    const std::string host = std::to_string(disk.host);
    const std::string hct = host + ":" + std::to_string(disk.channel) + ":" + std::to_string(disk.target);
    const std::string hctl = hct + ":" + std::to_string(disk.lun);
    const std::string dir = "/sys/devices/platform/host" + host + "/target" + hct + "/" + hctl;
    tree.write(dir + "/type", std::to_string(disk.type) + "\n");
    tree.write(dir + "/vendor", disk.vendor + "\n");
    tree.write(dir + "/model", disk.model + "\n");
    tree.write(dir + "/rev", disk.rev + "\n");
    tree.write(dir + "/vpd_pg83", disk.vpdPg83.empty() ? makeVpdPg83(disk.seed) : disk.vpdPg83);
    if (disk.vpdPg83.empty()) tree.write(dir + "/wwid", "naa." + wwidOfSeed(disk.seed).substr(1) + "\n");
    tree.mkdir(dir + "/scsi_device/" + hctl);
    tree.symlink("../../../" + hctl, dir + "/scsi_device/" + hctl + "/device");
    tree.symlink("../.." + dir.substr(4) + "/scsi_device/" + hctl, "/sys/class/scsi_device/" + hctl);
    tree.addBlockDevice(disk.name, disk.major, disk.minor, disk.sectors, dir + "/block/" + disk.name);
    tree.symlink("../../../" + hctl, dir + "/block/" + disk.name + "/device");
    if (!disk.fcNodeName.empty())
        tree.write("/sys/class/fc_transport/target" + hct + "/node_name", disk.fcNodeName + "\n");
    if (!disk.byIdLink.empty()) {  // a path under /dev: one "../" per directory below /dev
        std::string up;
        for (size_t i = 5; i < disk.byIdLink.size(); ++i) up += disk.byIdLink[i] == '/' ? "../" : "";
        tree.symlink(up + disk.name, disk.byIdLink);
    }
    return ScsiDisk{"/dev/" + disk.name};
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

}  // namespace zotest
