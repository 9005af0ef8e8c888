// The Xen virtual disk kind on host trees: recognition by the xvd major,
// enumeration, partitions, parent, and the xvd/sd name conversions with the
// root disk's shift.
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "ZoVDDiskDevice.h"

#include "support/disk_image.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"
#include "support/xen_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace {

// xvda (202:0) with xvda1, xvdf (202:80) with xvdf1 and xvdf2, the msr
// character node on 202, a SCSI disk, and an entry in /sys/block without
// a node.
class XenTest : public ::testing::Test {
protected:
    void SetUp() override {
        zo_internal::resetProcessState();
        zotest::setXenProcDevices(tree);
        zotest::addXenDisk(tree, 0, 16777216);
        zotest::addXenPartition(tree, 0, 1, 2048, 16775168);
        zotest::addXenDisk(tree, 5, 131072);
        zotest::addXenPartition(tree, 5, 1, 2048, 16384);
        zotest::addXenPartition(tree, 5, 2, 18432, 16384);
        tree.write("/sys/class/msr/msr0/dev", "202:0\n");
        tree.addBlockDevice("sdb", 8, 16, 8192,
                            "/sys/devices/platform/host0/target0:0:0/0:0:0:1/block/sdb");
        tree.write("/sys/devices/virtual/block/ghost/size", "0\n");
        tree.symlink("../devices/virtual/block/ghost", "/sys/block/ghost");
        tree.write("/sbin/udevadm", "");
        tree.answerCommand("udevadm settle --timeout=120", 0, "");
    }
    void TearDown() override { zo_internal::resetProcessState(); }

    ZoDevicePartIface* parts(SP<ZoDevice>& dev) {
        return static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
    }

    zotest::HostTree tree;
};

TEST_F(XenTest, Recognition) {
    auto installed = tree.install();
    struct Case {
        const char* path;
        bool accepted;
        std::string error;
    } cases[] = {
        {"/dev/xvda", true, ""},
        {"/dev/xvdf2", true, ""},
        {"/dev/msr0", false, ""},  // character node on the same major
        {"/dev/sdb", false, ""},
        {"/dev/ghost", false, "Failed to stat device [/dev/ghost]"},
        {"/dev/xvdz", false, "Failed to stat device [/dev/xvdz]"},
    };
    for (const Case& c : cases) {
        CLuError err;
        EXPECT_EQ(c.accepted, ZoVDDiskDevice::isSupportedDevice(c.path, &err)) << c.path;
        EXPECT_EQ(c.error, err.AsString()) << c.path;
        if (!c.error.empty()) {
            EXPECT_EQ(ENOENT, err.GetCode()) << c.path;
        }
        EXPECT_EQ(c.accepted, ZoVDDiskDevice::isSupportedDevice(c.path, nullptr)) << c.path;
    }
    const auto cmds = installed.host().commandsRun();
    EXPECT_EQ(1, std::count(cmds.begin(), cmds.end(), std::string(zotest::kXvdMajorCommand)));
}

TEST_F(XenTest, NoXvdDriverAcceptsNothing) {
    for (int status : {0, 1}) {
        zo_internal::resetXvdMajor();
        tree.answerCommand(zotest::kXvdMajorCommand, status, "");
        auto installed = tree.install();
        CLuError err;
        EXPECT_FALSE(ZoVDDiskDevice::isSupportedDevice("/dev/xvda", &err)) << status;
        EXPECT_FALSE(ZoVDDiskDevice::isSupportedDevice("/dev/nope", &err)) << status;
        EXPECT_FALSE(err.IsError()) << status;
        std::list<std::string> out{"stale"};
        EXPECT_EQ(0, ZoVDDiskDevice::getDevices(out, &err)) << status;
        EXPECT_TRUE(out.empty()) << status;
    }
}

TEST_F(XenTest, Enumeration) {
    auto installed = tree.install();
    std::list<std::string> out;
    CLuError err;
    EXPECT_EQ(0, ZoVDDiskDevice::getDevices(out, &err));
    std::vector<std::string> got(out.begin(), out.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ((std::vector<std::string>{"/dev/xvda", "/dev/xvdf"}), got);
    EXPECT_EQ("Failed to stat device [/dev/ghost]", err.AsString());

    err = CLuError::Success();
    auto devices = ZoDeviceTree::getAllDevices(ZoDevice::XVD_DISK, &err);
    EXPECT_EQ(2u, devices.size());
    EXPECT_FALSE(err.IsError()) << err.AsString();
    for (auto& d : devices) EXPECT_EQ(ZoDevice::XVD_DISK, d->getType());
}

TEST_F(XenTest, InstanceAndInterfaces) {
    auto installed = tree.install();
    SP<ZoDevice> dev = ZoVDDiskDevice::getInstance("/dev/xvdf", nullptr);
    ASSERT_TRUE(dev);
    EXPECT_EQ(ZoDevice::XVD_DISK, dev->getType());
    EXPECT_EQ("/dev/xvdf", dev->getDevicePath());
    EXPECT_TRUE(dev->getInterface("ZoDeviceVDIface"));
    ASSERT_TRUE(parts(dev));
    EXPECT_EQ(dev.get(), dynamic_cast<ZoDevice*>(parts(dev)));
    for (const char* none : {"ZoDeviceDiskInfoIface", "ZoDeviceNVMEIface", "ZoDeviceVDIfaceX",
                             "ZoDeviceIface"})
        EXPECT_EQ(nullptr, dev->getInterface(none)) << none;
    EXPECT_FALSE(ZoVDDiskDevice::getInstance("/dev/msr0", nullptr));
    std::list<std::string> children{"x"};
    EXPECT_EQ(0, ZoVDDiskDevice::getChildren("/dev/xvdf", children, nullptr));
    EXPECT_TRUE(children.empty());
}

TEST_F(XenTest, Partitions) {
    zotest::makeDiskImage(tree.at("/dev/xvdf"), 64, "label: dos\n,8M\n,8M\n");
    auto installed = tree.install();
    zotest::LogCapture log;
    SP<ZoDevice> dev = ZoVDDiskDevice::getInstance("/dev/xvdf", nullptr);
    ASSERT_TRUE(dev);
    std::list<ZoPartInfo> out;
    CLuError err;
    ASSERT_EQ(0, parts(dev)->getPartitions(out, &err, false));
    ASSERT_EQ(2u, out.size());
    EXPECT_STREQ("/dev/xvdf1", out.front().partName);
    EXPECT_EQ(202, out.front().major);
    EXPECT_EQ(81, out.front().minor);
    EXPECT_STREQ("/dev/xvdf2", out.back().partName);
    EXPECT_EQ(82, out.back().minor);
    EXPECT_EQ(18432u, out.back().startSector);
    bool logged = false;
    for (const auto& l : log.lines())
        logged |= l.text == "All partition devices found on /dev/xvdf" &&
                  l.function == "ZoVDDiskDevice::getPartitions";
    EXPECT_TRUE(logged) << log.dump();

    SP<ZoDevice> part = ZoVDDiskDevice::getInstance("/dev/xvdf2", nullptr);
    ASSERT_TRUE(part);
    EXPECT_EQ(-1, parts(part)->getPartitions(out, &err, false));
    EXPECT_EQ("getPartitions called on a partition", err.AsString());
}

TEST_F(XenTest, BusyRereadFails) {
    zotest::makeDiskImage(tree.at("/dev/xvdf"), 64, "label: dos\n,8M\n,8M\n");
    auto installed = tree.install();
    auto fault = std::make_shared<zotest::FaultHost>(installed.shared());
    auto previous = ZoHost::install(fault);
    fault->failAll("rereadPartitions", EBUSY);
    ZoVDDiskDevice dev("/dev/xvdf");
    std::list<ZoPartInfo> out;
    CLuError err;
    EXPECT_EQ(-1, dev.getPartitions(out, &err, true));
    EXPECT_EQ("Failed to re-read device partitions[/dev/xvdf]", err.AsString());
    EXPECT_EQ(EBUSY, err.GetCode());
    const auto cmds = fault->commands();
    EXPECT_EQ(0, std::count(cmds.begin(), cmds.end(), std::string("udevadm settle --timeout=120")));
    ZoHost::install(previous);
}

TEST_F(XenTest, ParentDisk) {
    auto installed = tree.install();
    for (const char* path : {"/dev/xvdf2", "/dev/xvdf"}) {
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path, nullptr);
        ASSERT_TRUE(dev) << path;
        CLuError err;
        SP<ZoDevice> parent = parts(dev)->getParentDevice(&err);
        ASSERT_TRUE(parent) << path << ": " << err.AsString();
        EXPECT_NE(dev.get(), parent.get()) << path;  // always a new object
        EXPECT_EQ(ZoDevice::XVD_DISK, parent->getType()) << path;
        EXPECT_EQ("/dev/xvdf", parent->getDevicePath()) << path;
    }
}

// The conversions move the disk's letters by the root disk's distance from
// xvda and keep partition digits.
TEST_F(XenTest, NameConversions) {
    zotest::addXenDisk(tree, 4, 131072);
    zotest::addXenPartition(tree, 4, 1, 2048, 65536);
    struct Root {
        const char* name;
        int major, minor;  // major < 0: "mountpoint -d /" fails
    };
    struct Case {
        bool toSd;
        const char* in;
        const char* out;
    };
    const Root xvda{"xvda1", 202, 1}, xvde{"xvde1", 202, 65}, failing{"failing", -1, 0},
        scsi{"sdb (not xvd)", 8, 16};
    const std::vector<std::pair<Root, std::vector<Case>>> table = {
        {xvda, {{true, "/dev/xvdf", "/dev/sdf"}, {false, "/dev/sdf", "/dev/xvdf"},
                {true, "xvdf1", "sdf1"}, {true, "", ""}}},
        {xvde, {{true, "/dev/xvdf", "/dev/sdb"}, {false, "/dev/sdb", "/dev/xvdf"},
                {true, "xvdf", "sdb"}, {true, "xvdf1", "sdb1"}, {true, "/dev/xvdf12", "/dev/sdb12"},
                {false, "sdb", "xvdf"}, {false, "sdw", "xvdaa"}, {false, "/dev/sdb1", "/dev/xvdf1"},
                {true, "xvdaa", "sdw"}, {true, "xvde", "sda"}, {true, "xvdb", ""},
                {false, "sdzz", "xvdaad"}, {true, "/dev/hdf", "/dev/hdb"}, {true, "", ""}}},
        {failing, {{true, "/dev/xvdf", "/dev/sdf"}, {false, "/dev/sdb1", "/dev/xvdb1"}}},
        {scsi, {{true, "/dev/xvdf", "/dev/sdf"}, {false, "sdb", "xvdb"}}},
    };
    for (const auto& row : table) {
        zotest::setRootDevice(tree, row.first.major, row.first.minor);
        auto installed = tree.install();
        for (const Case& c : row.second) {
            const size_t before = installed.host().commandsRun().size();
            const std::string got = c.toSd ? ZoVDDiskDevice::convertXVDtoSD(c.in, nullptr)
                                           : ZoVDDiskDevice::convertSDtoXVD(c.in, nullptr);
            EXPECT_EQ(c.out, got) << "root " << row.first.name << ": " << (c.toSd ? "toSd " : "toXvd ")
                                  << "'" << c.in << "'";
            const auto cmds = installed.host().commandsRun();
            EXPECT_EQ(std::vector<std::string>{"mountpoint -d /"},
                      std::vector<std::string>(cmds.begin() + before, cmds.end()))
                << c.in;
        }
    }
}

}  // namespace
