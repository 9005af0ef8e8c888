// NVMe namespaces in a real kernel, one controller on its own and one inside
// an NVMe subsystem: kinds, enumeration, partitions, parents and the volume-id
// conversions as the library answers them, against lsblk and sysfs.
#include "ZoDeviceTree.h"
#include "ZoNVMEDiskDevice.h"
#include "kernel_support.h"

#include <set>

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
    CLuError err;
    std::list<SP<ZoDevice>> all = ZoDeviceTree::getAllDevices(ZoDevice::NVME_DISK, &err);
    std::vector<std::string> lib;
    for (const SP<ZoDevice>& d : all) {
        EXPECT_EQ(d->getType(), ZoDevice::NVME_DISK) << d->getDevicePath();
        lib.push_back(zk::knameOf(d));
    }
    EXPECT_TRUE(zk::same("getAllDevices(NVME_DISK)", "lsblk -d (nvme disks)",
                         zk::joinSorted(lsblkNvmeDisks()), zk::joinSorted(lib)))
        << err.AsString();
}

TEST(KernelNvme, PartitionsAndParentMatchSysfs) {
    int withParts = 0;
    for (const std::string& d : lsblkNvmeDisks()) {
        std::string sys = zk::sysfsParts(d);
        if (sys.empty()) continue;
        ++withParts;
        EXPECT_TRUE(zk::same("partitions of /dev/" + d, "sysfs partition/start/size/dev", sys,
                             zk::libraryParts("/dev/" + d, false)));
    }
    EXPECT_EQ(withParts, 1);
    EXPECT_EQ(zk::compareDisksOfPartitions("nvme"), 2);
}

TEST(KernelNvme, VolumeIdsMatchTheSerialInSysfsBothWays) {
    std::vector<std::string> disks = lsblkNvmeDisks();
    ASSERT_EQ(disks.size(), 2u);
    for (const std::string& d : disks) {
        std::string serial = zk::trim(zk::readFile("/sys/block/" + d + "/device/serial"));
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
