#include "nvme_tree.h"

namespace zotest {

const char kNvmeMajorCommand[] = "cat /proc/devices | awk '{if($2 ~/nvme/) printf $1}'";

void setNvmeProcDevices(HostTree& tree) {
    tree.setProcDevices({{1, "mem"}, {kNvmeGenericCharMajor, "nvme-generic"}, {kNvmeCharMajor, "nvme"}},
                        {{8, "sd"}, {kBlkextMajor, "blkext"}});
    tree.answerCommand(kNvmeMajorCommand, 0, std::to_string(kNvmeGenericCharMajor) + std::to_string(kNvmeCharMajor));
}

std::string nvmeSerialCommand(const std::string& path, const std::string& udevadm) {
    return udevadm + " info -a " + path + "  | awk -F '\"' '{if($0 ~/ATTRS{serial}/) printf \"%s\", $2}'";
}

std::string addNvmeDisk(HostTree& tree, int controller, int minor, uint64_t sectors,
                        const std::string& serial, NvmeLayout layout) {
    const std::string c = std::to_string(controller), ctrl = "nvme" + c, ns = ctrl + "n1";
    const std::string ctrlDir = "devices/pci0000:00/0000:00:0" + std::to_string(4 + controller) + ".0/nvme/" + ctrl;
    std::string nsDir = "/sys/" + ctrlDir + "/" + ns;  // ctrlDir is under /sys
    if (layout == NvmeLayout::Subsystem) {
        nsDir = "/sys/devices/virtual/nvme-subsystem/nvme-subsys" + c + "/" + ns;
        tree.write("/sys/devices/virtual/nvme-subsystem/nvme-subsys" + c + "/serial", serial + "\n");
        // The per-controller path: listed in /sys/block, hidden (no dev file, no node).
        const std::string hidden = ctrl + "c" + c + "n1";
        tree.write("/sys/" + ctrlDir + "/" + hidden + "/size", std::to_string(sectors) + "\n");
        tree.symlink("../" + ctrlDir + "/" + hidden, "/sys/block/" + hidden);
    }
    tree.write("/sys/" + ctrlDir + "/serial", serial + "\n");
    tree.write("/sys/" + ctrlDir + "/dev", std::to_string(kNvmeCharMajor) + ":" + c + "\n");
    tree.symlink("../../" + ctrlDir, "/sys/class/nvme/" + ctrl);
    tree.addBlockDevice(ns, kBlkextMajor, minor, sectors, nsDir);
    tree.answerCommand(nvmeSerialCommand("/dev/" + ns), 0, serial);
    return nsDir;
}

void addNvmePartition(HostTree& tree, const std::string& disk, int n, int minor, uint64_t start, uint64_t size) {
    tree.addPartition(disk, disk + "p" + std::to_string(n), n, kBlkextMajor, minor, start, size);
}

}  // namespace zotest
