// Device lookup: refresh accounting, the rescan setting, failure messages,
// the device model's matching rules.
#include "FXString.h"
#include "ZoDeviceTree.h"
#include "ZoException.h"
#include "ZoInternal.h"
#include "ZoMpioDiskDevice.h"
#include "ZoNVMEDiskDevice.h"
#include "ZoScsiDiskDevice.h"
#include "ZoVDDiskDevice.h"
#include "support/dm_tree.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/scsi_tree.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

namespace {

class LookupTest : public ::testing::Test {
protected:
    void SetUp() override { zo_internal::resetProcessState(); }
    void TearDown() override { zo_internal::resetProcessState(); }

    zotest::HostTree tree;
};

const char* kNoSuchDevice = "Failed to get a ZoDevice Instance for %s";

std::string lookupFailure(const std::string& path) {
    return FXString::Format(kNoSuchDevice, path.c_str());
}

TEST_F(LookupTest, PathNoKindAcceptsCostsTwoPassesAndOneExtraRefresh) {
    tree.write("/tmp/plain-file", "x");
    auto installed = tree.install();
    for (const char* path : {"/tmp/plain-file", "/dev/does-not-exist"}) {
        zo_internal::resetDeviceTreeState();
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path, &err);
        EXPECT_FALSE(dev) << path;
        EXPECT_EQ(774, err.GetCode()) << path;
        EXPECT_EQ(lookupFailure(path), err.AsString()) << path;
        EXPECT_EQ(2u, zo_internal::deviceTreeRefreshCount()) << path;

        // A later failing lookup pays only for the retry's refresh.
        ZoDeviceTree::getDevice(path, &err);
        EXPECT_EQ(3u, zo_internal::deviceTreeRefreshCount()) << path;
    }
}

TEST_F(LookupTest, NullPathsFailCleanly) {
    auto installed = tree.install();
    using Lookup = SP<ZoDevice> (*)(const char*, CLuError*);
    struct {
        const char* name;
        Lookup lookup;
        const char* message;
    } cases[] = {
        {"getDevice", &ZoDeviceTree::getDevice, "Failed to get a ZoDevice Instance for (null)"},
        {"getDeviceCheckNoRetry", &ZoDeviceTree::getDeviceCheckNoRetry,
         "Failed to get a ZoDevice Instance for (null)"},
        {"getParentDevice", &ZoDeviceTree::getParentDevice,
         "Failed to get a ZoDevice Instance for (null)."},
        {"PopulateZoDevice", [](const char* p, CLuError* e) {
             return ZoDeviceTree::PopulateZoDevice<ZoScsiDiskDevice>(p, e);
         },
         "Failed to get a ZoDevice Instance for (null)"},
    };
    for (const auto& c : cases) {
        CLuError err;
        EXPECT_FALSE(c.lookup(nullptr, &err)) << c.name;
        EXPECT_EQ(774, err.GetCode()) << c.name;
        EXPECT_EQ(c.message, err.AsString()) << c.name;
        EXPECT_FALSE(c.lookup(nullptr, nullptr)) << c.name;
    }
}

TEST_F(LookupTest, CheckNoRetryReadsTheRescanSettingOncePerProcess) {
    struct Case {
        const char* name;
        const char* config;  // null: no configuration file
        unsigned long refreshesFirstCall;
        std::vector<std::string> logged;
    } cases[] = {
        {"key set", "[Tessarine]\nnSkipDeviceRescanOnFailure = 1\n", 1,
         {"Registry key [Tessarine/nSkipDeviceRescanOnFailure] exists with value 1",
          "ZoDeviceTree will NOT rescan if device is not found."}},
        {"key zero", "[Tessarine]\nnSkipDeviceRescanOnFailure = 0\n", 2,
         {"Registry key [Tessarine/nSkipDeviceRescanOnFailure] exists with value 0"}},
        {"key missing", "[Tessarine]\nother = 1\n", 2,
         {"Registry key [Tessarine/nSkipDeviceRescanOnFailure] not found, keeping default of "
          "rescan if device not found"}},
        {"no file", nullptr, 2,
         {"Registry key [Tessarine/nSkipDeviceRescanOnFailure] not found, keeping default of "
          "rescan if device not found"}},
    };
    for (const auto& c : cases) {
        zotest::HostTree t;
        if (c.config) t.setConfig(c.config);
        auto installed = t.install();
        zo_internal::resetDeviceTreeState();
        zotest::LogCapture log;

        CLuError err;
        EXPECT_FALSE(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdz", &err)) << c.name;
        EXPECT_EQ(lookupFailure("/dev/sdz"), err.AsString()) << c.name;
        EXPECT_EQ(c.refreshesFirstCall, zo_internal::deviceTreeRefreshCount()) << c.name;
        for (const auto& line : c.logged) EXPECT_EQ(1u, log.count(line)) << c.name << "\n" << log.dump();

        // The second failing lookup logs nothing more about the key.
        size_t keyLines = log.countContaining("Registry key [Tessarine");
        ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdz", &err);
        EXPECT_EQ(keyLines, log.countContaining("Registry key [Tessarine")) << c.name;
        EXPECT_EQ(lookupFailure("/dev/sdz"), err.AsString()) << c.name;
        EXPECT_EQ(c.refreshesFirstCall * 2 - 1, zo_internal::deviceTreeRefreshCount()) << c.name;
    }
}

TEST_F(LookupTest, ErrorsOfEachKindAreLoggedAtLevelThreeAndCleared) {
    auto installed = tree.install();
    zotest::LogCapture log;
    CLuError err;
    ZoDeviceTree::getDevice("/dev/sdq", &err);
    // The final error is the lookup failure alone, not the kinds' errors.
    EXPECT_EQ(1u, err.Entries().size());
    // Two passes, each offering the path to the four kinds.
    EXPECT_EQ(8u, log.count("/dev/sdq is not supported device")) << log.dump();
}

TEST_F(LookupTest, FirstLookupRefreshesOnceAndLaterOnesDoNot) {
    zotest::ScsiDiskSpec disk;
    disk.byIdLink = "/dev/disk/by-id/scsi-0";
    zotest::addScsiDisk(tree, disk);
    auto installed = tree.install();
    for (const char* path : {"/dev/sdb", "/dev/disk/by-id/scsi-0", "/dev/sdb"}) {
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path, &err);
        ASSERT_TRUE(dev) << path << ": " << err.AsString();
        EXPECT_FALSE(err.IsError()) << path;
        EXPECT_EQ(ZoDevice::SCSI_DISK, dev->getType()) << path;
        EXPECT_EQ(path, dev->getDevicePath());
        EXPECT_EQ(1u, zo_internal::deviceTreeRefreshCount()) << path;
    }
    // Every lookup builds a new object.
    EXPECT_NE(ZoDeviceTree::getDevice("/dev/sdb", nullptr).get(),
              ZoDeviceTree::getDevice("/dev/sdb", nullptr).get());
}

TEST_F(LookupTest, FailingRefreshIsLoggedByGetDeviceAndThrownByCheckNoRetry) {
    zotest::addScsiDisk(tree, zotest::ScsiDiskSpec());
    auto installed = tree.install();
    auto faulty = std::make_shared<zotest::FaultHost>(installed.shared());
    faulty->failWhen("listDir", "/sys/class/scsi_device", EIO);
    auto previous = ZoHost::install(faulty);

    zotest::LogCapture log;
    CLuError err;
    // The SCSI kind still opens the disk directly.
    SP<ZoDevice> dev = ZoDeviceTree::getDevice("/dev/sdb", &err);
    EXPECT_TRUE(dev) << err.AsString();
    EXPECT_EQ(1u, log.countContaining("ZoDeviceTree::getDevice Unable to refresh the device list ["))
        << log.dump();
    // Counted as refreshed: the next lookup does not try again.
    ZoDeviceTree::getDevice("/dev/sdb", &err);
    EXPECT_EQ(1u, log.countContaining("Unable to refresh the device list")) << log.dump();

    zo_internal::resetDeviceTreeState();
    EXPECT_THROW(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdb", &err), ZoException);
    // Still not refreshed: the next call tries (and fails) again.
    EXPECT_THROW(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdb", &err), ZoException);
    faulty->clearFailures();
    EXPECT_TRUE(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdb", &err));
    ZoHost::install(previous);
}

TEST_F(LookupTest, ChildChainsAreBoundedAndFailAsAChildNoKindAccepts) {
    // Two maps that list each other as their path: a tree no kernel makes,
    // but a broken capture can.
    zotest::DmMapSpec a;
    a.name = "mpatha";
    a.minor = 0;
    a.wwid = "3600a0b80000000000000000000000001";
    zotest::addMultipathMap(tree, a);
    zotest::DmMapSpec b;
    b.name = "mpathb";
    b.minor = 1;
    b.wwid = "3600a0b80000000000000000000000002";
    b.paths = {"dm-0"};
    zotest::addMultipathMap(tree, b);
    zotest::relativeSymlink(tree, "/sys/devices/virtual/block/dm-1",
                            "/sys/devices/virtual/block/dm-0/slaves/dm-1");
    auto installed = tree.install();

    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>("/dev/mapper/mpatha", &err);
    EXPECT_FALSE(dev);
    EXPECT_EQ(774, err.GetCode());
    EXPECT_NE(std::string::npos, err.AsString().find(" under ")) << err.AsString();

    EXPECT_FALSE(ZoDeviceTree::getDevice("/dev/mapper/mpatha", &err));
    EXPECT_EQ(lookupFailure("/dev/mapper/mpatha"), err.AsString());
}

TEST_F(LookupTest, DeviceModelDefaults) {
    ZoDevice dev;
    EXPECT_EQ(ZoDevice::NONE, dev.getType());
    EXPECT_EQ("", dev.getDevicePath());
    EXPECT_TRUE(dev.getChildren().empty());
    for (const char* name : {"ZoDeviceScsiIface", "ZoDevicePartIface", "ZoDeviceDiskInfoIface",
                             "ZoDeviceMpioIface", "ZoDeviceVDIface", "ZoDeviceNVMEIface",
                             "ZoDeviceIface", ""})
        EXPECT_EQ(nullptr, dev.getInterface(name)) << name;
    EXPECT_EQ(nullptr, dev.getInterface(nullptr));

    ZoPartInfo info;
    EXPECT_EQ('\0', info.partName[0]);
    EXPECT_EQ(0u, info.sectorSize);
    EXPECT_EQ(0u, info.startSector + info.numSectors);
    EXPECT_EQ(0, info.partNumber + info.major + info.minor);

    EXPECT_EQ(0x1234, ZoDevice::mod_id);
    EXPECT_EQ(0xfeed, ZoDeviceTree::mod_id);
}

TEST_F(LookupTest, DeviceCompareMatchesByPathOrDeviceNumber) {
    tree.addBlockDevice("sdb", 8, 16, 2048, "/sys/devices/platform/host2/target2:0:0/2:0:0:1/block/sdb");
    tree.addBlockDevice("sdc", 8, 32, 2048, "/sys/devices/platform/host2/target2:0:0/2:0:0:2/block/sdc");
    tree.symlink("../../sdb", "/dev/disk/by-id/scsi-a");
    tree.symlink("../../sdb", "/dev/disk/by-path/pci-a");
    tree.write("/tmp/regular", "x");
    auto installed = tree.install();

    struct {
        const char* reference;
        const char* candidate;
        bool match;
    } cases[] = {
        {"/dev/sdb", "/dev/sdb", true},
        {"/dev/sdb", "/dev/disk/by-id/scsi-a", true},
        {"/dev/disk/by-id/scsi-a", "/dev/disk/by-path/pci-a", true},
        {"/dev/sdb", "/dev/sdc", false},
        {"/dev/missing", "/dev/missing", true},
        {"/dev/missing", "/dev/sdb", false},
        {"/dev/sdb", "/dev/missing", false},
        {"/tmp/regular", "/dev/sdb", false},
        {"/dev/sdb", "/tmp/regular", false},
    };
    for (const auto& c : cases) {
        SP<ZoDevice> ref(new ZoMpioDiskDevice(c.reference));
        SP<ZoDevice> cand(new ZoMpioDiskDevice(c.candidate));
        EXPECT_EQ(c.match, ZoDeviceCompare(ref)(cand)) << c.reference << " vs " << c.candidate;
    }
}

}  // namespace
