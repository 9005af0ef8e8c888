// SPDX-License-Identifier: LGPL-2.1-or-later
// Device lookup: refresh accounting, the rescan setting, failures, matching.
#include "test.h"

namespace {

std::string lookupFailure(const std::string& path) { return "Failed to get a ZoDevice Instance for " + path; }

class LookupTest : public ::testing::Test {
protected:
    void SetUp() override { zo_internal::resetProcessState(); }
    void TearDown() override { zo_internal::resetProcessState(); }
    zotest::HostTree tree;
};

TEST_F(LookupTest, FirstLookupRefreshesOnceAndAFailedOneRetriesOnce) {
    zotest::ScsiDiskSpec disk;
    disk.byIdLink = "/dev/disk/by-id/scsi-0";
    zotest::addScsiDisk(tree, disk);
    tree.write("/tmp/plain-file", "x");
    auto installed = tree.install();
    for (const char* path : {"/dev/sdb", "/dev/disk/by-id/scsi-0"}) {
        const SP<ZoDevice> dev = ZoDeviceTree::getDevice(path, nullptr);
        EXPECT_TRUE(dev && dev->getType() == ZoDevice::SCSI_DISK) << path;
        EXPECT_EQ(1u, zo_internal::deviceTreeRefreshCount()) << path;
    }
    for (const char* path : {"/tmp/plain-file", "/dev/does-not-exist"}) {
        const unsigned long before = zo_internal::deviceTreeRefreshCount();
        CLuError err;
        EXPECT_FALSE(ZoDeviceTree::getDevice(path, &err)) << path;
        EXPECT_TRUE(err.GetCode() == 774 && err.AsString() == lookupFailure(path)) << err.AsString();
        EXPECT_EQ(before + 1, zo_internal::deviceTreeRefreshCount()) << path;
    }
}

TEST_F(LookupTest, CheckNoRetryReadsTheRescanSettingOncePerProcess) {
    const std::string key = "Registry key [Tessarine/nSkipDeviceRescanOnFailure] ";
    struct Case { const char* value; unsigned long refreshes; std::vector<std::string> logged; } cases[] = {
        {"1", 1, {key + "exists with value 1", "ZoDeviceTree will NOT rescan if device is not found."}},
        {"0", 2, {key + "exists with value 0"}},
        {"", 2, {key + "not found, keeping default of rescan if device not found"}}};  // "": no file
    auto installed = tree.install();
    for (const auto& c : cases) {
        tree.setConfig(std::string("[Tessarine]\nnSkipDeviceRescanOnFailure = ") + c.value + "\n");
        if (!*c.value) tree.remove("/etc");
        zo_internal::resetDeviceTreeState();
        zotest::LogCapture log;
        for (unsigned long call = 1; call <= 2; ++call) {  // the first call refreshes, retrying unless told not to
            CLuError err;
            EXPECT_FALSE(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdz", &err)) << c.value;
            EXPECT_EQ(lookupFailure("/dev/sdz"), err.AsString()) << c.value;
            EXPECT_EQ(c.refreshes * call - (call - 1), zo_internal::deviceTreeRefreshCount()) << c.value << " call " << call;
        }
        for (const auto& line : c.logged) EXPECT_EQ(1u, log.count(line)) << c.value << "\n" << log.dump();
        EXPECT_EQ(1u, log.countContaining("Registry key [")) << c.value << "\n" << log.dump();
    }
}

TEST_F(LookupTest, NullPathsFailCleanly) {
    auto installed = tree.install();
    const std::string failed = lookupFailure("(null)");
    struct Case { const char* name; SP<ZoDevice> (*lookup)(const char*, CLuError*); std::string error; } cases[] = {
        {"getDevice", &ZoDeviceTree::getDevice, failed},
        {"getDeviceCheckNoRetry", &ZoDeviceTree::getDeviceCheckNoRetry, failed},
        {"getParentDevice", &ZoDeviceTree::getParentDevice, failed + "."},
        {"PopulateZoDevice", &ZoDeviceTree::PopulateZoDevice<ZoScsiDiskDevice>, failed},
        {"multipath kind", &ZoMpioDiskDevice::getInstance, "Not an mpio device: (null)"}};
    for (const auto& c : cases) {
        CLuError err;
        EXPECT_FALSE(c.lookup(nullptr, &err) || c.lookup(nullptr, nullptr)) << c.name;
        EXPECT_TRUE(err.GetCode() == 774 && err.AsString() == c.error) << c.name << ": " << err.AsString();
    }
    EXPECT_EQ(nullptr, ZoDevice().getInterface(nullptr));
}

TEST_F(LookupTest, FailingRefreshIsLoggedByGetDeviceAndThrownByCheckNoRetry) {
    zotest::addScsiDisk(tree, zotest::ScsiDiskSpec());
    zotest::FaultyInstall installed(tree);
    auto& faulty = installed.fault;
    faulty->failWhen("listDir", "/sys/class/scsi_device", EIO);
    zotest::LogCapture log;
    CLuError err;
    EXPECT_TRUE(ZoDeviceTree::getDevice("/dev/sdb", &err) && ZoDeviceTree::getDevice("/dev/sdb", &err)) << err.AsString();
    // Logged once: a failed refresh counts as done for getDevice.
    EXPECT_EQ(1u, log.countContaining("ZoDeviceTree::getDevice Unable to refresh the device list [")) << log.dump();
    zo_internal::resetDeviceTreeState();
    EXPECT_THROW(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdb", &err), ZoException);
    EXPECT_THROW(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdb", &err), ZoException);  // tries again
    faulty->clearFailures();
    EXPECT_TRUE(ZoDeviceTree::getDeviceCheckNoRetry("/dev/sdb", &err));
}

// Two maps that list each other as their path: no kernel makes this, but a
// broken capture can.
TEST_F(LookupTest, ChildChainsAreBoundedAndFailAsAChildNoKindAccepts) {
    zotest::addMultipathMap(tree, {"mpatha", 0, "3600a0b80000000000000000000000001", {}});
    zotest::addMultipathMap(tree, {"mpathb", 1, "3600a0b80000000000000000000000002", {"dm-0"}});
    zotest::relativeSymlink(tree, "/sys/devices/virtual/block/dm-1", "/sys/devices/virtual/block/dm-0/slaves/dm-1");
    auto installed = tree.install();
    CLuError err;
    EXPECT_FALSE(ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>("/dev/mapper/mpatha", &err));
    EXPECT_TRUE(err.GetCode() == 774 && err.AsString().find(" under ") != std::string::npos) << err.AsString();
    EXPECT_FALSE(ZoDeviceTree::getDevice("/dev/mapper/mpatha", &err));
    EXPECT_EQ(lookupFailure("/dev/mapper/mpatha"), err.AsString());
}

TEST_F(LookupTest, DeviceCompareMatchesByPathOrDeviceNumber) {
    tree.addBlockDevice("sdb", 8, 16, 2048, "/sys/devices/virtual/block/sdb");
    tree.addBlockDevice("sdc", 8, 32, 2048, "/sys/devices/virtual/block/sdc");
    tree.symlink("../../sdb", "/dev/disk/by-id/scsi-a");
    tree.symlink("../../sdb", "/dev/disk/by-path/pci-a");
    tree.write("/tmp/regular", "x");
    auto installed = tree.install();
    struct Case { const char* reference; const char* candidate; bool match; } cases[] = {
        {"/dev/sdb", "/dev/disk/by-id/scsi-a", true}, {"/dev/disk/by-id/scsi-a", "/dev/disk/by-path/pci-a", true},
        {"/dev/sdb", "/dev/sdc", false},              {"/dev/missing", "/dev/missing", true},
        {"/dev/missing", "/dev/sdb", false},          {"/tmp/regular", "/dev/sdb", false}};
    for (const auto& c : cases) {
        SP<ZoDevice> ref(new ZoMpioDiskDevice(c.reference)), cand(new ZoMpioDiskDevice(c.candidate));
        EXPECT_EQ(c.match, ZoDeviceCompare(ref)(cand)) << c.reference << " vs " << c.candidate;
    }
}

}  // namespace
