// SCSI disks in a host tree. Failures to edit the tree throw
// std::runtime_error (from HostTree).
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

}  // namespace

std::string hexBytes(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0x0f]);
    }
    return out;
}

std::string naaOfSeed(uint64_t seed) {
    uint64_t state = seed;
    std::string naa;
    for (int i = 0; i < 2; ++i) {
        uint64_t v = splitmix(state);
        for (int b = 0; b < 8; ++b) naa.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
    }
    naa[0] = static_cast<char>(0x60 | (naa[0] & 0x0f));  // NAA type 6, IEEE registered extended
    return naa;
}

std::string wwidOfSeed(uint64_t seed) { return "3" + hexBytes(naaOfSeed(seed)); }

std::string makeVpdPg83(uint64_t seed) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "SN%012llx",
                  static_cast<unsigned long long>(seed & 0xffffffffffffULL));
    const std::string t10 = std::string("ZOTEST  ") + serial;
    std::string body;
    body += std::string{'\x02', '\x01', '\x00', static_cast<char>(t10.size())} + t10;
    body += std::string{'\x01', '\x03', '\x00', '\x10'} + naaOfSeed(seed);
    std::string page{'\x00', '\x83', static_cast<char>(body.size() >> 8),
                     static_cast<char>(body.size() & 0xff)};
    return page + body;
}

ScsiDisk addScsiDisk(HostTree& tree, const ScsiDiskSpec& spec) {
    const std::string hct = std::to_string(spec.host) + ":" + std::to_string(spec.channel) + ":" +
                            std::to_string(spec.target);
    const std::string hctl = hct + ":" + std::to_string(spec.lun);
    const std::string dir = "/sys/devices/platform/host" + std::to_string(spec.host) + "/target" +
                            hct + "/" + hctl;
    const std::string page = spec.vpdPg83.empty() ? makeVpdPg83(spec.seed) : spec.vpdPg83;

    tree.write(dir + "/type", std::to_string(spec.type) + "\n");
    tree.write(dir + "/vendor", spec.vendor + "\n");
    tree.write(dir + "/model", spec.model + "\n");
    tree.write(dir + "/rev", spec.rev + "\n");
    tree.write(dir + "/vpd_pg83", page);
    if (spec.vpdPg83.empty()) tree.write(dir + "/wwid", "naa." + wwidOfSeed(spec.seed).substr(1) + "\n");
    tree.mkdir(dir + "/scsi_device/" + hctl);
    tree.symlink("../../../" + hctl, dir + "/scsi_device/" + hctl + "/device");
    tree.symlink("../../devices/platform/host" + std::to_string(spec.host) + "/target" + hct + "/" +
                     hctl + "/scsi_device/" + hctl,
                 "/sys/class/scsi_device/" + hctl);

    const std::string blockDir = dir + "/block/" + spec.name;
    tree.addBlockDevice(spec.name, spec.major, spec.minor, spec.sectors, blockDir);
    tree.symlink("../../../" + hctl, blockDir + "/device");

    if (!spec.fcNodeName.empty())
        tree.write("/sys/class/fc_transport/target" + hct + "/node_name", spec.fcNodeName + "\n");
    if (!spec.byIdLink.empty()) {
        if (spec.byIdLink.compare(0, 5, "/dev/") != 0)
            throw std::invalid_argument("scsi tree: link outside /dev: " + spec.byIdLink);
        std::string up;
        for (size_t i = 5; i < spec.byIdLink.size(); ++i)
            if (spec.byIdLink[i] == '/') up += "../";
        tree.symlink(up + spec.name, spec.byIdLink);
    }
    return ScsiDisk{"/dev/" + spec.name, dir, hctl};
}

std::string addScsiPartition(HostTree& tree, const ScsiDiskSpec& disk, int partno, uint64_t start,
                             uint64_t sectors, int major, int minor) {
    if (major < 0 || minor < 0) {
        if (partno < 1 || partno > 15)
            throw std::invalid_argument("scsi tree: partition " + std::to_string(partno) +
                                        " needs its device number");
        major = disk.major;
        minor = disk.minor + partno;
    }
    const std::string name = disk.name + std::to_string(partno);
    tree.addPartition(disk.name, name, partno, major, minor, start, sectors);
    return "/dev/" + name;
}

}  // namespace zotest
