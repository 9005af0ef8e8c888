// Kernel disk names from /proc/partitions, and disk letter names.
#include "ZoScsiDiskDevice.h"
#include "support/host_tree.h"

#include <gtest/gtest.h>

namespace {

TEST(KernelNames, WholeDiskNameOfADiskOrPartitionNumber) {
    zotest::HostTree tree;
    tree.write("/proc/partitions",  // its last line ends with the major's digits: no minor
               "major minor  #blocks  name\n\n   8   16 10485760 sdb\n   8   17 2048 sdb1\n"
               "   8   26 2048 sdb10\n 259    0 2048 sdb16\n  65  160 10485760 sdaa\n 202    0 8388608 xvda\n"
               " 202    2 2048 xvda2\n 259    3 2048 nvme0n1p3\n 259    4 8388608 nvme0n2\n"
               " 259    5 8388608 nvme0n12\n 259    6 8388608 nvme10n1\n 259    7 2048 nvme0n12p2\n   8   48x 2048 sdd\nsdz 66");
    auto installed = tree.install();
    const struct {
        const char* function;
        std::string (*lookup)(int, int);
        int major, minor;
        const char* want;
    } cases[] = {
        {"scsi", getScsiDevName, 8, 26, "sdb"},     {"scsi", getScsiDevName, 259, 0, "sdb"},
        {"scsi", getScsiDevName, 65, 160, "sdaa"},  {"scsi", getScsiDevName, 202, 2, ""},
        {"scsi", getScsiDevName, 66, 0, ""},        {"xvd", getDeviceName, 202, 2, "xvda"},
        {"nvme", getNVMEDeviceName, 259, 3, "nvme0n1"}, {"nvme", getNVMEDeviceName, 259, 4, "nvme0n2"},
        {"nvme", getNVMEDeviceName, 259, 5, "nvme0n12"},    {"nvme", getNVMEDeviceName, 259, 6, "nvme10n1"},
        {"nvme", getNVMEDeviceName, 259, 7, "nvme0n12"},   {"nvme", getNVMEDeviceName, 259, 8, ""},
        {"scsi", getScsiDevName, 8, 48, "sdd"},  // a minor followed by text
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, c.lookup(c.major, c.minor)) << c.function << " " << c.major << ":" << c.minor;
}

// Bijective base 26, as the kernel names its disks.
TEST(KernelNames, DiskLetterNames) {
    const std::pair<long, const char*> cases[] = {
        {0, "a"}, {25, "z"}, {26, "aa"}, {675, "yz"}, {676, "za"}, {701, "zz"}, {702, "aaa"}, {-1, ""}};
    for (const auto& c : cases) EXPECT_EQ(c.second, getAAName(c.first)) << c.first;
}

}  // namespace
