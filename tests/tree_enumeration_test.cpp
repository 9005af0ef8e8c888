// Enumeration of every device of one kind, each with its children.
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "support/dm_tree.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"
#include "support/nvme_tree.h"
#include "support/scsi_tree.h"
#include "support/xen_tree.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

std::list<std::string> pathsOf(const std::list<SP<ZoDevice>>& devices) {
    std::list<std::string> paths;
    for (const SP<ZoDevice>& d : devices) paths.push_back(d->getDevicePath());
    return paths;
}

class TreeEnumerationTest : public ::testing::Test {
protected:
    // A host with every kind: three SCSI disks (two of them the paths of
    // one map), a Xen disk and an NVMe disk.
    TreeEnumerationTest() {
        zotest::addDataMap(tree);
        zotest::addPathDisk(tree, "sdd", 48, 2);
        zotest::addXenDisk(tree, 0, 2048);
        zotest::addNvmeDisk(tree, 0, 0, 2048, "SERIAL0");
        tree.setProcDevices({{1, "mem"}, {zotest::kNvmeCharMajor, "nvme"}},
                            {{8, "sd"}, {zotest::kXvdMajor, "xvd"}, {zotest::kBlkextMajor, "blkext"},
                             {zotest::kDmMajor, "device-mapper"}});
        tree.answerCommand(zotest::kXvdMajorCommand, 0, std::to_string(zotest::kXvdMajor) + "\n");
        tree.answerCommand(zotest::kNvmeMajorCommand, 0, std::to_string(zotest::kNvmeCharMajor));
    }
    void install() {
        installed.reset(new zotest::FaultyInstall(tree));
        fault = &installed->fault();
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::FaultyInstall> installed;
    zotest::FaultHost* fault = nullptr;
};

TEST_F(TreeEnumerationTest, EachKindListsItsOwnDevices) {
    install();
    struct Case {
        ZoDevice::TYPE type;
        std::list<std::string> paths;
        size_t children;  // of each device
    } cases[] = {
        {ZoDevice::SCSI_DISK, {"/dev/sdb", "/dev/sdc", "/dev/sdd"}, 0},
        {ZoDevice::MPIO_DISK, {"/dev/mapper/data"}, 2},
        {ZoDevice::XVD_DISK, {"/dev/xvda"}, 0},
        {ZoDevice::NVME_DISK, {"/dev/nvme0n1"}, 0},
    };
    for (const Case& c : cases) {
        CLuError err;
        std::list<SP<ZoDevice>> devices = ZoDeviceTree::getAllDevices(c.type, &err);
        EXPECT_EQ(c.paths, pathsOf(devices)) << "type " << c.type;
        for (const SP<ZoDevice>& d : devices) {
            EXPECT_EQ(c.type, d->getType()) << d->getDevicePath();
            EXPECT_EQ(c.children, d->getChildren().size()) << d->getDevicePath();
        }
        EXPECT_FALSE(err.IsError()) << "type " << c.type << ": " << err.AsString();
        EXPECT_EQ(c.paths, pathsOf(ZoDeviceTree::getAllDevices(c.type, nullptr)))
            << "type " << c.type;
    }
}

TEST_F(TreeEnumerationTest, AValueThatIsNoKindGivesNothingAndSaysSo) {
    install();
    for (int type : {0, 3, 4, 6, 9, -1}) {
        for (bool earlier : {false, true}) {
            CLuError err;
            if (earlier) err = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "earlier");
            EXPECT_TRUE(ZoDeviceTree::getAllDevices(static_cast<ZoDevice::TYPE>(type), &err).empty())
                << type;
            EXPECT_EQ("Unknown type of devices requested", err.AsString()) << type;
            EXPECT_EQ(774, err.GetCode()) << type;
        }
        EXPECT_TRUE(ZoDeviceTree::getAllDevices(static_cast<ZoDevice::TYPE>(type), nullptr).empty());
    }
}

TEST_F(TreeEnumerationTest, AnErrorHeldBeforehandDropsNoDevice) {
    zotest::addPathDisk(tree, "sde", 64, 3);
    zotest::DmMapSpec second;
    second.name = "logs";
    second.minor = 4;
    second.paths = {"sde"};
    zotest::addMultipathMap(tree, second);
    install();
    for (ZoDevice::TYPE type : {ZoDevice::MPIO_DISK, ZoDevice::SCSI_DISK}) {
        CLuError err = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "left over from an enumeration");
        std::list<SP<ZoDevice>> devices = ZoDeviceTree::getAllDevices(type, &err);
        EXPECT_EQ(type == ZoDevice::MPIO_DISK ? 2u : 4u, devices.size()) << "type " << type;
        EXPECT_FALSE(err.IsError()) << err.AsString();
    }
}

TEST_F(TreeEnumerationTest, AMapWithAnUnacceptablePathIsLeftOutQuietly) {
    tree.addBlockDevice("vda", 254, 0, 2048,
                        "/sys/devices/pci0000:00/0000:00:04.0/virtio1/block/vda");
    zotest::DmMapSpec mixed;
    mixed.name = "mixed";
    mixed.minor = 1;
    mixed.paths = {"vda"};
    zotest::addMultipathMap(tree, mixed);
    install();
    zotest::LogCapture log;
    CLuError err;
    EXPECT_EQ(std::list<std::string>{"/dev/mapper/data"},
              pathsOf(ZoDeviceTree::getAllDevices(ZoDevice::MPIO_DISK, &err)));
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(0u, log.countContaining("Failed to populate subtree")) << log.dump();
}

TEST_F(TreeEnumerationTest, AListedMapThatIsGoneWhenBuiltIsLeftOutAndLogged) {
    zotest::addPathDisk(tree, "sde", 64, 3);
    zotest::DmMapSpec ghost;
    ghost.name = "ghost";
    ghost.minor = 9;
    ghost.paths = {"sde"};
    zotest::addMultipathMap(tree, ghost);
    install();
    // Listed through /sys/block, gone when the node is examined.
    fault->failWhen("readFile", "/sys/dev/block/253:9/dm/uuid", ENOENT);
    for (bool withError : {true, false}) {
        zotest::LogCapture log;
        CLuError err;
        EXPECT_EQ(std::list<std::string>{"/dev/mapper/data"},
                  pathsOf(ZoDeviceTree::getAllDevices(ZoDevice::MPIO_DISK,
                                                      withError ? &err : nullptr)));
        EXPECT_FALSE(err.IsError()) << err.AsString();
        EXPECT_EQ(withError ? 1u : 0u,
                  log.count("Failed to populate subtree under /dev/mapper/ghost"))
            << log.dump();
    }
}

TEST_F(TreeEnumerationTest, AFailedMapListingGivesNothingAndTheReason) {
    install();
    fault->failWhen("listDir", "/sys/block", EIO);
    CLuError err;
    EXPECT_TRUE(ZoDeviceTree::getAllDevices(ZoDevice::MPIO_DISK, &err).empty());
    EXPECT_EQ(0u, err.AsString().find("Unable to list /sys/block")) << err.AsString();
}

}  // namespace
