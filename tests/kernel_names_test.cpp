// Kernel disk names from /proc/partitions, and the regular-expression
// wrapper.
#include "ZoScsiDiskDevice.h"
#include "support/host_tree.h"

#include <gtest/gtest.h>

namespace {

const char kPartitions[] =
    "major minor  #blocks  name\n"
    "\n"
    "   8        0   10485760 sda\n"
    "   8       16   10485760 sdb\n"
    "   8       17     102400 sdb1\n"
    "   8       26     102400 sdb10\n"
    "   8       31     102400 sdb15\n"
    " 259        0     102400 sdb16\n"
    "  65      160   10485760 sdaa\n"
    " 202        0    8388608 xvda\n"
    " 202        2    1048576 xvda2\n"
    " 259        1   20971520 nvme0n1\n"
    " 259        3    1048576 nvme0n1p3\n"
    " 259        4   20971520 nvme0n2\n"
    " 259        5   20971520 nvme0n12\n"
    " 259        6   20971520 nvme10n1\n"
    " 253        0   10485760 dm-0\n";

using Lookup = std::string (*)(int, int);

struct Case {
    const char* function;
    Lookup lookup;
    int major, minor;
    const char* want;
};

TEST(KernelNames, WholeDiskNameOfADiskOrPartitionNumber) {
    zotest::HostTree tree;
    tree.write("/proc/partitions", kPartitions);
    auto installed = tree.install();
    const Case cases[] = {
        {"getScsiDevName", &getScsiDevName, 8, 16, "sdb"},
        {"getScsiDevName", &getScsiDevName, 8, 17, "sdb"},
        {"getScsiDevName", &getScsiDevName, 8, 26, "sdb"},
        {"getScsiDevName", &getScsiDevName, 8, 0, "sda"},
        {"getScsiDevName", &getScsiDevName, 259, 0, "sdb"},
        {"getScsiDevName", &getScsiDevName, 65, 160, "sdaa"},
        {"getScsiDevName", &getScsiDevName, 202, 2, ""},
        {"getScsiDevName", &getScsiDevName, 8, 1, ""},
        {"getScsiDevName", &getScsiDevName, 253, 0, ""},
        {"getDeviceName", &getDeviceName, 202, 2, "xvda"},
        {"getDeviceName", &getDeviceName, 202, 0, "xvda"},
        {"getDeviceName", &getDeviceName, 8, 16, ""},
        {"getNVMEDeviceName", &getNVMEDeviceName, 259, 3, "nvme0n1"},
        {"getNVMEDeviceName", &getNVMEDeviceName, 259, 1, "nvme0n1"},
        {"getNVMEDeviceName", &getNVMEDeviceName, 259, 4, ""},   // namespace 2
        {"getNVMEDeviceName", &getNVMEDeviceName, 259, 5, ""},   // nvme0n12 is not nvme0n1
        {"getNVMEDeviceName", &getNVMEDeviceName, 259, 6, "nvme10n1"},
        {"getNVMEDeviceName", &getNVMEDeviceName, 259, 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, c.lookup(c.major, c.minor)) << c.function << "(" << c.major << ", " << c.minor << ")";
}

TEST(KernelNames, LinesWithoutAMinorAreSkipped) {
    zotest::HostTree tree;
    // The major's digits end the line (no newline after the last one).
    tree.write("/proc/partitions", "major minor  #blocks  name\nsdb 8\nxvda 202\nnvme0n1 259");
    auto installed = tree.install();
    EXPECT_EQ("", getScsiDevName(8, 0));
    EXPECT_EQ("", getDeviceName(202, 0));
    EXPECT_EQ("", getNVMEDeviceName(259, 0));
}

TEST(KernelNames, NoPartitionsFileGivesNoName) {
    zotest::HostTree tree;
    auto installed = tree.install();
    EXPECT_EQ("", getScsiDevName(8, 16));
}

TEST(KernelNames, RegExReportsTheFirstMatchAndItsOffsets) {
    ZoRegEx number("[0-9]+", REG_EXTENDED);
    std::string matched = "old";
    std::pair<unsigned long, unsigned long> at{9, 9};
    EXPECT_TRUE(number.match("  8 16 sdb", &matched, &at));
    EXPECT_EQ("8", matched);
    EXPECT_EQ(2u, at.first);
    EXPECT_EQ(3u, at.second);

    EXPECT_FALSE(number.match("no digits", &matched, &at));
    EXPECT_EQ("8", matched);
    EXPECT_EQ(2u, at.first);
    EXPECT_TRUE(number.match("x123"));

    ZoRegEx broken("([", REG_EXTENDED);
    EXPECT_FALSE(broken.match("(["));
}

}  // namespace
