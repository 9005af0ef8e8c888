#include "xen_tree.h"

namespace zotest {

const char kXvdMajorCommand[] = "cat /proc/devices | grep 'xvd' | awk '{print $1}'";

void setXenProcDevices(HostTree& tree) {
    tree.setProcDevices({{1, "mem"}, {kXvdMajor, "cpu/msr"}}, {{kXvdMajor, "xvd"}, {259, "blkext"}});
    tree.answerCommand(kXvdMajorCommand, 0, std::to_string(kXvdMajor) + "\n");
}

// The disk name of an index: 0 xvda, 25 xvdz, 26 xvdaa.
static std::string xenDiskName(int index) {
    std::string letters;
    for (int i = index; i >= 0; i = i / 26 - 1) letters.insert(letters.begin(), char('a' + i % 26));
    return "xvd" + letters;
}

std::string addXenDisk(HostTree& tree, int index, uint64_t sectors) {
    const std::string name = xenDiskName(index);
    const std::string dir = "/sys/devices/vbd-" + std::to_string(kXvdMajor * 256 + 16 * index) + "/block/" + name;
    tree.addBlockDevice(name, kXvdMajor, 16 * index, sectors, dir);
    return dir;
}

void addXenPartition(HostTree& tree, int index, int partno, uint64_t start, uint64_t sectors) {
    const std::string disk = xenDiskName(index);
    tree.addPartition(disk, disk + std::to_string(partno), partno, kXvdMajor, 16 * index + partno, start, sectors);
}

void setRootDevice(HostTree& tree, int major, int minor) {
    const std::string answer = std::to_string(major) + ":" + std::to_string(minor) + "\n";
    tree.answerCommand("mountpoint -d /", major < 0, major < 0 ? "" : answer, major < 0 ? "/: not a mountpoint\n" : "");
}

}  // namespace zotest
