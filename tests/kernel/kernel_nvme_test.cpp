// SPDX-License-Identifier: LGPL-2.1-or-later
// NVMe namespaces in a real kernel, one controller on its own and one inside
// an NVMe subsystem: kinds, enumeration, partitions, parents and the volume-id
// conversions as the library answers them, against lsblk and sysfs.
#include "ZoNVMEDiskDevice.h"
#include "kernel_support.h"

namespace {

// NVMe namespaces (whole disks) with a node, as lsblk lists them.
std::vector<std::string> lsblkNvmeDisks() {
    std::vector<std::string> names;
    for (const zk::LsblkRow& r : zk::lsblk("-d"))
        if (r.type == "disk" && r.kname.compare(0, 4, "nvme") == 0) names.push_back(r.kname);
    return names;
}

TEST(KernelNvme, KindOfEveryBlockDevice) {
    zk::compareKindsOfAllDevices();
    EXPECT_EQ(lsblkNvmeDisks().size(), 2u) << "both controller layouts expected";
}

TEST(KernelNvme, AllNvmeDisksAreLsblksNvmeDisks) {
    zk::compareAllDevices(ZoDevice::NVME_DISK, "lsblk -d (nvme disks)");
}

TEST(KernelNvme, PartitionsAndParentMatchSysfs) {
    EXPECT_EQ(zk::comparePartitions(lsblkNvmeDisks()), 1);
    EXPECT_EQ(zk::compareDisksOfPartitions("nvme"), 2);
}

TEST(KernelNvme, VolumeIdsMatchTheSerialInSysfsBothWays) {
    std::vector<std::string> disks = lsblkNvmeDisks();
    ASSERT_EQ(disks.size(), 2u);
    for (const std::string& d : disks) {
        std::string serial = zo_str::trimmed(zk::readFile("/sys/block/" + d + "/device/serial"));
        CLuError err;
        std::string vol = ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/" + d, &err);
        EXPECT_TRUE(zk::same("volume id of /dev/" + d, "sysfs device/serial", serial, vol))
            << err.AsString();
        CLuError back;
        std::string path = ZoNVMEDiskDevice::convertAWSVoltoNVME(serial, &back);
        EXPECT_TRUE(zk::same("namespace of volume " + serial, "sysfs (serial's namespace)",
                             "/dev/" + d, path));
    }
}

}  // namespace
