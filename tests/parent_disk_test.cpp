// The whole disk above a SCSI node, and SCSI partition listing reached
// through the device tree.
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "ZoScsiDiskDevice.h"

#include "support/disk_image.h"
#include "support/host_tree.h"
#include "support/scsi_tree.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

const char kPartLink[] = "/dev/disk/by-id/scsi-3600a0b80001-part1";
const char kDiskLink[] = "/dev/disk/by-id/scsi-3600a0b80001";

// sdb with partitions 1 and 2, sdc without any, and by-id links to sdb and
// its first partition.
class ParentDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        zo_internal::resetProcessState();
        sdb.name = "sdb";
        sdb.minor = 16;
        sdb.lun = 1;
        sdb.seed = 11;
        zotest::addScsiDisk(tree, sdb);
        zotest::addScsiPartition(tree, sdb, 1, 2048, 16384);
        zotest::addScsiPartition(tree, sdb, 2, 18432, 16384);
        sdc.name = "sdc";
        sdc.minor = 32;
        sdc.lun = 2;
        sdc.seed = 12;
        zotest::addScsiDisk(tree, sdc);
        tree.symlink("../../sdb1", kPartLink);
        tree.symlink("../../sdb", kDiskLink);
    }
    void TearDown() override { zo_internal::resetProcessState(); }

    static ZoDevicePartIface* parts(SP<ZoDevice>& dev) {
        return static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
    }

    zotest::HostTree tree;
    zotest::ScsiDiskSpec sdb, sdc;
};

TEST_F(ParentDiskTest, WholeDiskUnderItsKernelName) {
    auto installed = tree.install();
    struct Case {
        const char* path;
        const char* parent;
    } cases[] = {
        {"/dev/sdb1", "/dev/sdb"},
        {"/dev/sdb2", "/dev/sdb"},
        {"/dev/sdb", "/dev/sdb"},  // a disk's parent is a new object for itself
        {kPartLink, "/dev/sdb"},   // resolved through the link's target
        {kDiskLink, "/dev/sdb"},
        {"/dev/sdc", "/dev/sdc"},
    };
    for (const Case& c : cases) {
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(c.path, &err);
        ASSERT_TRUE(dev) << c.path << ": " << err.AsString();
        ASSERT_EQ(ZoDevice::SCSI_DISK, dev->getType()) << c.path;
        ASSERT_TRUE(parts(dev)) << c.path;
        SP<ZoDevice> parent = parts(dev)->getParentDevice(&err);
        ASSERT_TRUE(parent) << c.path << ": " << err.AsString();
        EXPECT_NE(dev.get(), parent.get()) << c.path;
        EXPECT_EQ(ZoDevice::SCSI_DISK, parent->getType()) << c.path;
        EXPECT_EQ(c.parent, parent->getDevicePath()) << c.path;
        EXPECT_FALSE(err.IsError()) << c.path << ": " << err.AsString();
    }
}

TEST_F(ParentDiskTest, Failures) {
    auto installed = tree.install();
    SP<ZoDevice> part = ZoDeviceTree::getDevice("/dev/sdb2", nullptr);
    SP<ZoDevice> viaLink = ZoDeviceTree::getDevice(kPartLink, nullptr);
    ASSERT_TRUE(part);
    ASSERT_TRUE(viaLink);

    // /proc/partitions no longer lists sdb2 (nor sdb1).
    const std::string partitions = tree.read("/proc/partitions");
    std::string kept;
    size_t pos = 0;
    while (pos < partitions.size()) {
        size_t eol = partitions.find('\n', pos);
        const std::string line = partitions.substr(pos, eol - pos + 1);
        if (line.find("sdb2") == std::string::npos && line.find("sdb1") == std::string::npos)
            kept += line;
        pos = eol + 1;
    }
    tree.write("/proc/partitions", kept);
    CLuError err;
    EXPECT_FALSE(parts(part)->getParentDevice(&err));
    EXPECT_EQ("Failed to get parent device name for /dev/sdb2", err.AsString());

    // The node is gone: the link dangles and the partition has no number.
    tree.remove("/sys/class/block/sdb1");
    err = CLuError::Success();
    EXPECT_FALSE(parts(viaLink)->getParentDevice(&err));
    EXPECT_EQ(std::string("Failed to stat ") + kPartLink, err.AsString());
    EXPECT_EQ(ENOENT, err.GetCode());
    EXPECT_FALSE(parts(viaLink)->getParentDevice(nullptr));
}

// Partitions are named after the SCSI layer's node of the disk, whatever
// name the object was asked for under.
TEST_F(ParentDiskTest, PartitionsOfADiskFoundThroughALink) {
    zotest::makeDiskImage(tree.at("/dev/sdb"), 64, "label: dos\n,8M\n,8M\n");
    auto installed = tree.install();
    for (const char* path : {"/dev/sdb", kDiskLink}) {
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path, nullptr);
        ASSERT_TRUE(dev) << path;
        std::list<ZoPartInfo> out;
        CLuError err;
        ASSERT_EQ(0, parts(dev)->getPartitions(out, &err, false)) << path << ": " << err.AsString();
        ASSERT_EQ(2u, out.size()) << path;
        EXPECT_STREQ("/dev/sdb1", out.front().partName) << path;
        EXPECT_STREQ("/dev/sdb2", out.back().partName) << path;
        EXPECT_EQ(18, out.back().minor) << path;
        EXPECT_TRUE(installed.host().rereads().empty()) << path;
    }
}

}  // namespace
