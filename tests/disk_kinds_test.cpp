// SPDX-License-Identifier: LGPL-2.1-or-later
// The Xen and NVMe disk kinds on one host tree (with a SCSI disk beside
// them): recognition, enumeration, partitions, parents, the volume-id and
// xvd/sd conversions, and their place in the lookup order; kernel disk
// names.
#include "test.h"

#include <map>

namespace {

const char kVolA[] = "vol0123456789abcdef0";
const char kVolB[] = "vol0fedcba9876543210";
const char kSettle[] = "udevadm settle --timeout=120";
const char kSdbLink[] = "/dev/disk/by-id/scsi-3600a0b80001-part1";
using Names = std::set<std::string>;

// The rows of tests/data/disk-kinds.tsv that begin with kind.
std::vector<std::vector<std::string>> rows(const std::string& kind) {
    std::vector<std::vector<std::string>> out;
    for (auto& row : zotest::readTable(ZODEVICE_SOURCE_DIR "/tests/data/disk-kinds.tsv", 5))
        if (row[0] == kind) out.push_back(row);
    EXPECT_GE(out.size(), 13u) << kind;  // a table cut short
    return out;
}

// The disk-kinds host of tests/data/hosts (its README says what it holds).
class DiskKinds : public ::testing::Test {
protected:
    void SetUp() override { zo_internal::resetProcessState(); }
    void TearDown() override { zo_internal::resetProcessState(); }

    zotest::HostTree tree{zotest::dataTree("disk-kinds")};  // a copy each test may change
};

// Only block devices whose own sysfs link says so are NVMe disks, whatever
// the process accepted before; a character node is no disk and no error.
// Enumeration meets the hidden per-controller path, listed but without a node.
TEST_F(DiskKinds, RecognitionAndEnumeration) {
    auto installed = tree.install();
    auto nvme = &ZoNVMEDiskDevice::isSupportedDevice;
    auto xen = &ZoVDDiskDevice::isSupportedDevice;
    for (const auto& c : rows("accepts")) {
        CLuError err;
        EXPECT_EQ(c[3] == "yes", (c[1] == "xen" ? xen : nvme)(c[2].c_str(), &err)) << c[1] << " " << c[2];
        EXPECT_EQ(c[4], err.AsString()) << c[2];
    }
    std::list<std::string> nvmes, xens;
    CLuError err;
    EXPECT_EQ(0, ZoNVMEDiskDevice::getDevices(nvmes, &err) + ZoVDDiskDevice::getDevices(xens, nullptr));
    EXPECT_EQ("Failed to stat device [/dev/nvme1c1n1]", err.AsString());
    EXPECT_EQ((Names{"/dev/nvme0n1", "/dev/nvme0n12", "/dev/nvme1n1"}), Names(nvmes.begin(), nvmes.end()));
    EXPECT_EQ((Names{"/dev/xvda", "/dev/xvde", "/dev/xvdf"}), Names(xens.begin(), xens.end()));
    // An exception from below (here the host) is the kind's failure: its
    // message replaces any error, and no device is made.
    for (const char* op : {"readlink", "stat"}) {  // the NVMe kind's link, the Xen kind's node
        zotest::FaultyInstall faulty(tree);
        faulty.fault->after(op, [] { throw ZoException("below", "it broke", __FILE__, __LINE__, -1); });
        const bool isNvme = *op == 'r';
        const char* path = isNvme ? "/dev/nvme0n1" : "/dev/xvda";
        auto instance = isNvme ? &ZoNVMEDiskDevice::getInstance : &ZoVDDiskDevice::getInstance;
        CLuError e1 = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "earlier"), e2;
        EXPECT_FALSE((isNvme ? nvme : xen)(path, &e1) || instance(path, &e2) || instance(path, nullptr)) << op;
        EXPECT_EQ("it broke it broke", e1.AsString() + " " + e2.AsString()) << op;
    }
    // So is one under an enumeration, and under a multipath lookup (which
    // keeps an error held).
    zotest::FaultyInstall faulty(tree);
    for (const char* op : {"listDir", "readFile"})
        faulty.fault->after(op, [] { throw ZoException("below", "it broke", __FILE__, __LINE__, -1); });
    for (auto list : {&ZoNVMEDiskDevice::getDevices, &ZoVDDiskDevice::getDevices, &ZoMpioDiskDevice::getDevices}) {
        std::list<std::string> found;
        CLuError e;
        EXPECT_EQ(-1, list(found, &e));
        EXPECT_EQ("it broke", e.AsString());
    }
    CLuError fresh, held = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "earlier");
    EXPECT_FALSE(ZoMpioDiskDevice::getInstance("/dev/sdb", &fresh) || ZoMpioDiskDevice::getInstance("/dev/sdb", &held) ||
                 ZoMpioDiskDevice::getInstance("/dev/sdb", nullptr));
    EXPECT_EQ("it broke earlier", fresh.AsString() + " " + held.AsString());
    // Without the drivers nothing is accepted, and that is no error.
    zo_internal::resetProcessState();
    tree.answerCommand(zotest::kNvmeMajorCommand, 0, "");
    tree.answerCommand(zotest::kXvdMajorCommand, 1, "202\n");  // failed, whatever it printed
    err = CLuError::Success();
    EXPECT_FALSE(nvme("/dev/nvme0n1", &err) || xen("/dev/xvda", &err) || xen("/dev/nope", &err));
    EXPECT_FALSE(err.IsError()) << err.AsString();
}

// What each kind answers for a node: its partitions (NVMe ones named "%sp%d"
// with their nodes' own numbers, a busy re-read taken as done, no partition
// test; the sd-style kinds refuse partition nodes and busy re-reads) and its
// whole disk (a new object of the same kind; namespace 12 is not taken for
// namespace 1; a node removed since fails).
TEST_F(DiskKinds, PartitionsAndParents) {
    zotest::FaultyInstall installed(tree);
    auto& fault = installed.fault;
    const std::string nvme0 = "0 [] /dev/nvme0n1p1 1 259:7 2048+8192 512; /dev/nvme0n1p2 2 259:5 10240+8192 512; "
                              "/dev/nvme0n1p3 3 259:9 18432+8192 512; ";
    struct Case {
        const char* path;
        int rereadErr;  // every re-read fails with it (0: none, and no refresh)
        std::string partitions;
        std::string parent;  // its path, or [the error]
    } cases[] = {
        {"/dev/nvme0n1", 0, nvme0, "/dev/nvme0n1"},
        {"/dev/nvme0n1", EBUSY, nvme0, "/dev/nvme0n1"},
        {"/dev/nvme0n1", EIO, "-1 [Failed to re-read device partitions[/dev/nvme0n1][5]] ", "/dev/nvme0n1"},
        {"/dev/nvme1n1p1", 0, "-1 [Failed to get partitions from device] ", "/dev/nvme1n1"},  // no contents
        {"/dev/nvme0n12p1", 0, "-1 [Failed to get partitions from device] ", "/dev/nvme0n12"},
        {"/dev/xvdf", 0, "0 [] /dev/xvdf1 1 202:81 2048+16384 512; /dev/xvdf2 2 202:82 18432+16384 512; ", "/dev/xvdf"},
        {"/dev/xvdf2", 0, "-1 [getPartitions called on a partition] ", "/dev/xvdf"},
        {"/dev/sdb1", 0, "-1 [getPartitions called on a partition] ", "/dev/sdb"},
        {kSdbLink, 0, "-1 [getPartitions called on a partition] ", "/dev/sdb"}};
    for (const Case& c : cases) {
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(c.path, nullptr);
        ASSERT_TRUE(dev && zotest::partIface(dev)) << c.path;
        fault->clearFailures();
        if (c.rereadErr) fault->failAll("rereadPartitions", c.rereadErr);
        std::list<ZoPartInfo> out(1);
        CLuError err;
        zotest::LogCapture log(ZO_LOG_NOTICE);  // NVMe discovery reports at notice level, the others below
        const int rc = zotest::partIface(dev)->getPartitions(out, &err, c.rereadErr != 0);
        EXPECT_EQ(c.partitions, std::to_string(rc) + " [" + err.AsString() + "] " + zotest::describeParts(out))
            << c.path << " " << c.rereadErr;
        const size_t notices = log.countContaining("All partition devices found");
        EXPECT_TRUE(rc != 0 || notices == (dev->getType() == ZoDevice::NVME_DISK ? 1u : 0u)) << c.path << ": " << notices;
        err = CLuError::Success();
        SP<ZoDevice> parent = zotest::partIface(dev)->getParentDevice(&err);
        EXPECT_EQ(c.parent, parent ? parent->getDevicePath() : "[" + err.AsString() + "]") << c.path;
        EXPECT_TRUE(!parent || (parent.get() != dev.get() && parent->getType() == dev->getType())) << c.path;
    }
    SP<ZoDevice> viaLink = ZoDeviceTree::getDevice(kSdbLink, nullptr);
    tree.remove("/sys/class/block/sdb1");  // the link now dangles
    CLuError err;
    EXPECT_FALSE(zotest::partIface(viaLink)->getParentDevice(&err));
    EXPECT_EQ(std::string("Failed to stat ") + kSdbLink, err.AsString());
    EXPECT_EQ(ENOENT, err.GetCode());
}

TEST_F(DiskKinds, VolumeIds) {
    auto installed = tree.install();
    EXPECT_EQ("/dev/nvme1n1", ZoNVMEDiskDevice::convertAWSVoltoNVME(kVolB, nullptr));
    const auto known = installed.host().commandsRun();
    EXPECT_EQ(0, std::count(known.begin(), known.end(), std::string(kSettle)));
    // An id no device carries: two scans of three namespaces and two settles, no sleep.
    EXPECT_EQ("", ZoNVMEDiskDevice::convertAWSVoltoNVME("vol0000000000000000a", nullptr));
    const auto all = installed.host().commandsRun();
    EXPECT_EQ(known.size() + 8, all.size());
    EXPECT_EQ(2, std::count(all.begin() + known.size(), all.end(), std::string(kSettle)));
    EXPECT_TRUE(installed.host().sleepsMs().empty());
    CLuError err;
    EXPECT_EQ(kVolA, ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme0n1", &err));  // the answered command exactly
    // A path is one shell word; the serial is printed as data.
    EXPECT_EQ("", ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/x; touch /tmp/p", nullptr));
    EXPECT_EQ(zotest::nvmeSerialCommand("'/dev/x; touch /tmp/p'"), installed.host().commandsRun().back());

    const std::string serialCmd = zotest::nvmeSerialCommand("/dev/nvme1n1");
    tree.answerCommand(serialCmd, 0, "S3EVNX0K123456");
    EXPECT_EQ("", ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme1n1", &err));
    EXPECT_EQ("udevadm returned=[" + std::to_string(err.GetCode()) + "][][S3EVNX0K123456] for cmd=[" + serialCmd + "]",
              err.AsString());

    // Merged-/usr systems keep udevadm in /usr/bin only.
    tree.remove("/sbin/udevadm");
    tree.write("/usr/bin/udevadm", "");
    tree.answerCommand(zotest::nvmeSerialCommand("/dev/nvme0n1", "/usr/bin/udevadm"), 0, kVolA);
    EXPECT_EQ(kVolA, ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme0n1", &err)) << err.AsString();
    EXPECT_EQ(zotest::nvmeSerialCommand("/dev/nvme0n1", "/usr/bin/udevadm"), installed.host().commandsRun().back());
}

// The letters of the disk move by the root disk's distance from xvda (none
// when "mountpoint -d /" fails); partition digits stay.
TEST_F(DiskKinds, XvdSdConversions) {
    auto installed = tree.install();
    for (const auto& c : rows("to")) {
        const int rootMinor = std::stoi(c[2]);
        zotest::setRootDevice(tree, rootMinor < 0 ? -1 : zotest::kXvdMajor, rootMinor);
        auto convert = c[1] == "sd" ? &ZoVDDiskDevice::convertXVDtoSD : &ZoVDDiskDevice::convertSDtoXVD;
        EXPECT_EQ(c[4], convert(c[3], nullptr)) << "root 202:" << rootMinor << " to " << c[1] << " '" << c[3] << "'";
    }
}

// Each kind answers the names of its interfaces (the disk-info one as a
// prefix of the name) and no other.
TEST_F(DiskKinds, InterfacesByName) {
    auto installed = tree.install();
    const char* const names[] = {"ZoDeviceScsiIface", "ZoDevicePartIface", "ZoDeviceDiskInfoIface", "ZoDeviceDiskInfoIfaceV2",
                                 "ZoDeviceVDIface", "ZoDeviceNVMEIface", "ZoDeviceMpioIface", "ZoDevicePart", nullptr};
    const std::pair<const char*, const char*> cases[] = {{"/dev/sdb", "0123"}, {"/dev/xvda", "14"}, {"/dev/nvme0n1", "15"}};
    for (const auto& c : cases) {
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(c.first, nullptr);
        ASSERT_TRUE(dev) << c.first;
        std::string answered;
        for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
            if (dev->getInterface(names[i])) answered += std::to_string(i);
        EXPECT_EQ(c.second, answered) << c.first;
    }
}

// getDevice offers a path to Xen, NVMe, multipath and SCSI, in that order;
// getDeviceCheckNoRetry never to NVMe.
TEST_F(DiskKinds, LookupOrder) {
    auto installed = tree.install();
    auto kindOf = [](const SP<ZoDevice>& dev) { return dev ? dev->getType() : -1; };
    EXPECT_EQ(ZoDevice::NVME_DISK, kindOf(ZoDeviceTree::getDevice("/dev/nvme0n1", nullptr)));
    zo_internal::resetProcessState();
    EXPECT_EQ(-1, kindOf(ZoDeviceTree::getDeviceCheckNoRetry("/dev/nvme0n1", nullptr)));
    const auto cmds = installed.host().commandsRun();
    EXPECT_EQ(1, std::count(cmds.begin(), cmds.end(), std::string(zotest::kNvmeMajorCommand)));  // the first lookup's

    // A node both the Xen and the NVMe kinds take is a Xen disk.
    zo_internal::resetProcessState();
    tree.answerCommand(zotest::kXvdMajorCommand, 0, "259\n");
    EXPECT_EQ(ZoDevice::XVD_DISK, kindOf(ZoDeviceTree::getDevice("/dev/nvme0n1", nullptr)));
}

// The whole disk of a device number (tests/data/kernel-names.tsv).
TEST(KernelNames, WholeDiskNameOfADiskOrPartitionNumber) {
    const auto rows = zotest::readTable(ZODEVICE_SOURCE_DIR "/tests/data/kernel-names.tsv", 3);
    zotest::HostTree tree;
    tree.write("/proc/partitions", rows.at(0).at(1));
    auto installed = tree.install();
    const std::map<std::string, std::string (*)(int, int)> lookups = {
        {"scsi", getScsiDevName}, {"xvd", getDeviceName}, {"nvme", getNVMEDeviceName}};
    for (size_t i = 1; i < rows.size(); ++i) {
        const auto& c = rows[i];
        const size_t colon = c[1].find(':');
        EXPECT_EQ(c[2], lookups.at(c[0])(std::stoi(c[1]), std::stoi(c[1].substr(colon + 1)))) << c[0] << " " << c[1];
    }
    EXPECT_EQ(15u, rows.size());
}

// Bijective base 26, as the kernel names its disks.
TEST(KernelNames, DiskLetterNames) {
    const std::pair<long, const char*> cases[] = {
        {0, "a"}, {25, "z"}, {26, "aa"}, {675, "yz"}, {676, "za"}, {701, "zz"}, {702, "aaa"}, {-1, ""}};
    for (const auto& c : cases) EXPECT_EQ(c.second, getAAName(c.first)) << c.first;
}

}  // namespace
