#include "nvme_tree.h"

namespace zotest {

const char kNvmeMajorCommand[] = "cat /proc/devices | awk '{if($2 ~/nvme/) printf $1}'";

void setNvmeProcDevices(HostTree& tree) {
    tree.setProcDevices({{1, "mem"}, {kNvmeGenericCharMajor, "nvme-generic"}, {kNvmeCharMajor, "nvme"}},
                        {{8, "sd"}, {kBlkextMajor, "blkext"}});
    tree.answerCommand(kNvmeMajorCommand, 0,
                       std::to_string(kNvmeGenericCharMajor) + std::to_string(kNvmeCharMajor));
}

std::string nvmeSerialCommand(const std::string& path, const std::string& udevadm) {
    return udevadm + " info -a " + path +
           "  | awk -F '\"' '{if($0 ~/ATTRS{serial}/) printf \"%s\", $2}'";
}

std::string addNvmeDisk(HostTree& tree, int controller, int minor, uint64_t sectors,
                        const std::string& serial, NvmeLayout layout) {
    const std::string ctrl = "nvme" + std::to_string(controller);
    const std::string ns = ctrl + "n1";
    const std::string ctrlDir = "/sys/devices/pci0000:00/0000:00:0" + std::to_string(4 + controller) +
                                ".0/nvme/" + ctrl;
    std::string nsDir;
    std::string serialDir = ctrlDir;
    if (layout == NvmeLayout::Controller) {
        nsDir = ctrlDir + "/" + ns;
    } else {
        const std::string subsys =
            "/sys/devices/virtual/nvme-subsystem/nvme-subsys" + std::to_string(controller);
        nsDir = subsys + "/" + ns;
        tree.write(subsys + "/serial", serial + "\n");
        // The per-controller path of the namespace: listed in /sys/block,
        // but hidden (no dev file, no node).
        const std::string hidden = ctrl + "c" + std::to_string(controller) + "n1";
        tree.write(ctrlDir + "/" + hidden + "/size", std::to_string(sectors) + "\n");
        tree.symlink("../devices/pci0000:00/0000:00:0" + std::to_string(4 + controller) + ".0/nvme/" +
                         ctrl + "/" + hidden,
                     "/sys/block/" + hidden);
    }
    tree.write(serialDir + "/serial", serial + "\n");
    tree.write(ctrlDir + "/dev", std::to_string(kNvmeCharMajor) + ":" + std::to_string(controller) + "\n");
    tree.symlink("../../devices/pci0000:00/0000:00:0" + std::to_string(4 + controller) + ".0/nvme/" + ctrl,
                 "/sys/class/nvme/" + ctrl);
    tree.addBlockDevice(ns, kBlkextMajor, minor, sectors, nsDir);
    tree.answerCommand(nvmeSerialCommand("/dev/" + ns), 0, serial);
    return nsDir;
}

void addNvmePartition(HostTree& tree, const std::string& disk, int partno, int minor,
                      uint64_t start, uint64_t sectors) {
    tree.addPartition(disk, disk + "p" + std::to_string(partno), partno, kBlkextMajor, minor, start,
                      sectors);
}

}  // namespace zotest
