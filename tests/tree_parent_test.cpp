// The device a caller should address for a path: the multipath disk above a
// SCSI path, the device itself otherwise.
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "support/dm_tree.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"
#include "support/scsi_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace {

class TreeParentTest : public ::testing::Test {
protected:
    TreeParentTest() {
        zotest::addDataMap(tree);
        tree.symlink("../../sdb", "/dev/disk/by-id/scsi-SZOTEST_VDISK_b");
        zotest::addPathDisk(tree, "sdd", 48, 2);  // in no map
    }
    void install() {
        installed.reset(new zotest::FaultyInstall(tree));
        fault = &installed->fault();
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::FaultyInstall> installed;
    zotest::FaultHost* fault = nullptr;
};

TEST_F(TreeParentTest, APathOfAMapUnderAnyOfItsNamesGivesTheMap) {
    install();
    struct Case {
        const char* path;
        const char* listedAs;  // the child's path in the map
    } cases[] = {
        {"/dev/sdb", "/dev/sdb"},
        {"/dev/sdc", "/dev/sdc"},
        {"/dev/disk/by-id/scsi-SZOTEST_VDISK_b", "/dev/sdb"},
    };
    for (const Case& c : cases) {
        zotest::LogCapture log;
        CLuError err = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "left over");
        SP<ZoDevice> dev = ZoDeviceTree::getParentDevice(c.path, &err);
        ASSERT_TRUE(dev) << c.path << ": " << err.AsString();
        EXPECT_EQ(ZoDevice::MPIO_DISK, dev->getType()) << c.path;
        EXPECT_EQ("/dev/mapper/data", dev->getDevicePath()) << c.path;
        EXPECT_EQ(2u, dev->getChildren().size()) << c.path;
        EXPECT_FALSE(err.IsError()) << c.path << ": " << err.AsString();
        EXPECT_EQ(1u, log.count(std::string("Found parent device of ") + c.listedAs +
                                ":/dev/mapper/data"))
            << c.path << "\n"
            << log.dump();
    }
}

TEST_F(TreeParentTest, ADiskInNoMapIsItsOwnParent) {
    install();
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getParentDevice("/dev/sdd", &err);
    ASSERT_TRUE(dev) << err.AsString();
    EXPECT_EQ(ZoDevice::SCSI_DISK, dev->getType());
    EXPECT_EQ("/dev/sdd", dev->getDevicePath());
    EXPECT_FALSE(err.IsError()) << err.AsString();
}

TEST_F(TreeParentTest, AMapNodeIsAnsweredWithItselfWithoutEnumeratingMaps) {
    install();
    for (const char* path : {"/dev/mapper/data", "/dev/dm-3"}) {
        zotest::LogCapture log;
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getParentDevice(path, &err);
        ASSERT_TRUE(dev) << path << ": " << err.AsString();
        EXPECT_EQ(ZoDevice::MPIO_DISK, dev->getType()) << path;
        EXPECT_EQ(path, dev->getDevicePath());
        EXPECT_EQ(1u, log.count(std::string("Device for getParent not a scsi disk ") + path + ":2"))
            << log.dump();
    }
    const std::vector<std::string> touched = fault->touched();
    EXPECT_EQ(0, std::count(touched.begin(), touched.end(), "listDir /sys/block"));
}

TEST_F(TreeParentTest, APathNoKindAcceptsFailsAfterOnePass) {
    install();
    const unsigned long before = zo_internal::deviceTreeRefreshCount();
    CLuError err;
    EXPECT_FALSE(ZoDeviceTree::getParentDevice("/dev/nothing", &err));
    EXPECT_EQ("Failed to get a ZoDevice Instance for /dev/nothing.", err.AsString());
    EXPECT_EQ(774, err.GetCode());
    EXPECT_EQ(1u, zo_internal::deviceTreeRefreshCount() - before);
    EXPECT_FALSE(ZoDeviceTree::getParentDevice("/dev/nothing", nullptr));
    EXPECT_EQ(1u, zo_internal::deviceTreeRefreshCount() - before);
}

TEST_F(TreeParentTest, WhenMapsCannotBeListedTheDiskComesBackWithTheReason) {
    install();
    fault->failWhen("listDir", "/sys/block", EIO);
    zotest::LogCapture log;
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getParentDevice("/dev/sdb", &err);
    ASSERT_TRUE(dev);
    EXPECT_EQ("/dev/sdb", dev->getDevicePath());
    EXPECT_EQ(ZoDevice::SCSI_DISK, dev->getType());
    EXPECT_NE(std::string::npos, err.AsString().find("/sys/block")) << err.AsString();
    EXPECT_EQ(1u, log.count(err.AsString())) << log.dump();
}

}  // namespace
