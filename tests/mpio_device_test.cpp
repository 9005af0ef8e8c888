// The multipath disk kind on host trees: lookup with its paths as children,
// failover of SCSI commands, multipath control, partitions and parents,
// identity through the paths.
#include "UXScsi.h"
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "ZoMpioDiskDevice.h"
#include "ZoScsiDiskDevice.h"
#include "support/dm_tree.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/scsi_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace {

const unsigned char kInquiry[6] = {0x12, 0, 0, 0, 96, 0};

class MpioDeviceTest : public ::testing::Test {
protected:
    MpioDeviceTest() { zotest::addDataMap(tree); }

    // Installs the tree behind a FaultHost.
    void install() {
        installed.reset(new zotest::FaultyInstall(tree));
        fault = &installed->fault();
    }
    SP<ZoDevice> lookup(const char* path) {
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path, &err);
        EXPECT_TRUE(dev) << path << ": " << err.AsString();
        EXPECT_FALSE(err.IsError()) << path << ": " << err.AsString();
        return dev;
    }
    std::list<std::string> slaveNodes(const std::string& dm) {
        std::vector<std::string> names;
        EXPECT_EQ(0, ZoHost::current()->listDir("/sys/block/" + dm + "/slaves", &names));
        std::list<std::string> nodes;
        for (const std::string& n : names) nodes.push_back("/dev/" + n);
        return nodes;
    }
    static std::list<std::string> childPaths(const SP<ZoDevice>& dev) {
        std::list<std::string> paths;
        for (const SP<ZoDevice>& c : dev->getChildren()) paths.push_back(c->getDevicePath());
        return paths;
    }
    // The dmsetup commands run so far.
    std::vector<std::string> dmsetupRun() const {
        std::vector<std::string> run;
        for (const std::string& c : installed->host().commandsRun())
            if (c.compare(0, 8, "dmsetup ") == 0) run.push_back(c);
        return run;
    }
    template <class I>
    static I* iface(const SP<ZoDevice>& dev, const char* name) {
        return static_cast<I*>(dev->getInterface(name));
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::FaultyInstall> installed;
    zotest::FaultHost* fault = nullptr;
};

TEST_F(MpioDeviceTest, AMapIsFoundUnderEachOfItsNamesWithItsPathsAsScsiDisks) {
    install();
    const std::list<std::string> expected = slaveNodes("dm-3");
    for (const char* path : {"/dev/mapper/data", "/dev/dm-3", "/dev/disk/by-id/dm-name-data"}) {
        SP<ZoDevice> dev = lookup(path);
        ASSERT_TRUE(dev) << path;
        EXPECT_EQ(ZoDevice::MPIO_DISK, dev->getType()) << path;
        EXPECT_EQ(path, dev->getDevicePath());
        EXPECT_EQ(expected, childPaths(dev)) << path;
        for (const SP<ZoDevice>& c : dev->getChildren())
            EXPECT_EQ(ZoDevice::SCSI_DISK, c->getType()) << path << " child " << c->getDevicePath();
    }
}

TEST_F(MpioDeviceTest, APathNoKindAcceptsFailsTheWholeMap) {
    tree.addBlockDevice("vda", 254, 0, 2048,
                        "/sys/devices/pci0000:00/0000:00:04.0/virtio1/block/vda");
    zotest::DmMapSpec map;
    map.name = "mixed";
    map.minor = 5;
    map.paths = {"vda"};
    zotest::addMultipathMap(tree, map);
    install();

    CLuError err;
    EXPECT_FALSE(ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>("/dev/mapper/mixed", &err));
    EXPECT_EQ("Failed to get a ZoDevice Instance for /dev/vda under /dev/mapper/mixed",
              err.AsString());
    EXPECT_FALSE(ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>("/dev/mapper/mixed", nullptr));

    CLuError lookupErr;
    EXPECT_FALSE(ZoDeviceTree::getDevice("/dev/mapper/mixed", &lookupErr));
    EXPECT_EQ("Failed to get a ZoDevice Instance for /dev/mapper/mixed", lookupErr.AsString());
}

TEST_F(MpioDeviceTest, ACommandFailsOverToTheNextPath) {
    install();
    SP<ZoDevice> dev = lookup("/dev/mapper/data");
    ASSERT_TRUE(dev);
    auto* scsi = iface<ZoDeviceScsiIface>(dev, "ZoDeviceScsiIface");
    ASSERT_TRUE(scsi);
    fault->failWhen("scsiCommand", dev->getChildren().front()->getDevicePath(), EIO);

    unsigned char data[96] = {0};
    unsigned char sense[32];
    CLuError err;
    EXPECT_EQ(0, scsi->sendScsiCDB(kInquiry, 6, data, sizeof data, false, true, sense,
                                   sizeof sense, 30, &err));
    EXPECT_EQ(2, fault->count("scsiCommand"));
    EXPECT_EQ("ZOTEST  ", std::string(reinterpret_cast<char*>(data) + 8, 8));
    // The first path's failure stays recorded; the status tells the outcome.
    EXPECT_EQ("Failed to send scsi cdb to any of the underlying devices under /dev/mapper/data",
              err.AsString());
}

TEST_F(MpioDeviceTest, WhenEveryPathFailsTheLastStatusAndTheMapAreReported) {
    install();
    SP<ZoDevice> dev = lookup("/dev/mapper/data");
    ASSERT_TRUE(dev);
    fault->failAll("scsiCommand", EIO);
    unsigned char data[96];
    CLuError err;
    EXPECT_EQ(-1, iface<ZoDeviceScsiIface>(dev, "ZoDeviceScsiIface")
                      ->sendScsiCDB(kInquiry, 6, data, sizeof data, false, true, nullptr, 0, 30,
                                    &err));
    EXPECT_EQ(2, fault->count("scsiCommand"));
    EXPECT_EQ("Failed to send scsi cdb to any of the underlying devices under /dev/mapper/data",
              err.AsString());
    EXPECT_EQ(-1, iface<ZoDeviceScsiIface>(dev, "ZoDeviceScsiIface")
                      ->sendScsiCDB(kInquiry, 6, data, sizeof data, false, true, nullptr, 0, 30,
                                    nullptr));
}

TEST_F(MpioDeviceTest, AMapWithoutPathsSendsNothingAndSucceeds) {
    zotest::DmMapSpec empty;
    empty.name = "empty";
    empty.minor = 6;
    zotest::addMultipathMap(tree, empty);
    install();
    SP<ZoDevice> dev = lookup("/dev/mapper/empty");
    ASSERT_TRUE(dev);
    EXPECT_TRUE(dev->getChildren().empty());
    unsigned char data[96];
    CLuError err;
    EXPECT_EQ(0, iface<ZoDeviceScsiIface>(dev, "ZoDeviceScsiIface")
                     ->sendScsiCDB(kInquiry, 6, data, sizeof data, false, true, nullptr, 0, 30,
                                   &err));
    EXPECT_EQ(0, fault->count("scsiCommand"));
    EXPECT_FALSE(err.IsError());

    std::string out;
    CLuError id = iface<ZoDeviceDiskInfoIface>(dev, "ZoDeviceDiskInfoIface")
                      ->GetArrayInitiatorId("/dev/sdb", out, false);
    EXPECT_EQ("No children for device /dev/mapper/empty", id.AsString());
}

TEST_F(MpioDeviceTest, InterfacesAreHandedOutByNamePrefix) {
    install();
    SP<ZoDevice> dev = lookup("/dev/dm-3");
    ASSERT_TRUE(dev);
    auto* mp = static_cast<ZoMpioDiskDevice*>(dev.get());
    struct Case {
        const char* name;
        void* expected;
    } cases[] = {
        {"ZoDeviceMpioIface", static_cast<ZoDeviceMpioIface*>(mp)},
        {"ZoDeviceMpioIface_v2", static_cast<ZoDeviceMpioIface*>(mp)},
        {"ZoDeviceScsiIfaceX", static_cast<ZoDeviceScsiIface*>(mp)},
        {"ZoDevicePartIface", static_cast<ZoDevicePartIface*>(mp)},
        {"ZoDeviceDiskInfoIface1", static_cast<ZoDeviceDiskInfoIface*>(mp)},
        {"ZoDeviceDiskInfo", nullptr},
        {"ZoDeviceIface", nullptr},
        {"ZoDeviceVDIface", nullptr},
        {"", nullptr},
        {nullptr, nullptr},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, dev->getInterface(c.name)) << (c.name ? c.name : "(null)");
}

TEST_F(MpioDeviceTest, TheActivePathIsTheMapsOwnPath) {
    install();
    SP<ZoDevice> dev = lookup("/dev/disk/by-id/dm-name-data");
    ASSERT_TRUE(dev);
    const std::string& active = iface<ZoDeviceMpioIface>(dev, "ZoDeviceMpioIface")->getActivePath();
    EXPECT_EQ(&dev->getDevicePath(), &active);
    EXPECT_EQ("/dev/disk/by-id/dm-name-data", active);
}

TEST_F(MpioDeviceTest, FailIfNoPathSendsTheMessageToTheMap) {
    tree.answerCommand("dmsetup message 'data' 0 fail_if_no_path", 0, "");
    install();
    SP<ZoDevice> dev = lookup("/dev/dm-3");
    ASSERT_TRUE(dev);
    auto* mp = iface<ZoDeviceMpioIface>(dev, "ZoDeviceMpioIface");
    CLuError err;
    EXPECT_EQ(0, mp->setFailIfNoPath(&err)) << err.AsString();
    EXPECT_EQ(std::vector<std::string>{"dmsetup message 'data' 0 fail_if_no_path"},
              dmsetupRun());

    tree.answerCommand("dmsetup message 'data' 0 fail_if_no_path", 1, "", "no such device\n");
    EXPECT_EQ(-1, mp->setFailIfNoPath(&err));
    EXPECT_EQ("Failed to set fail_if_no_path on data: no such device", err.AsString());
}

TEST_F(MpioDeviceTest, AMapThatVanishedAfterLookupFailsItsOperationsWithTheReason) {
    install();
    SP<ZoDevice> dev = lookup("/dev/mapper/data");
    ASSERT_TRUE(dev);
    tree.remove("/sys/devices/virtual/block/dm-3/dm");

    CLuError err;
    EXPECT_EQ(-1, iface<ZoDeviceMpioIface>(dev, "ZoDeviceMpioIface")->setFailIfNoPath(&err));
    EXPECT_NE(std::string::npos, err.AsString().find("/dm/name")) << err.AsString();
    EXPECT_TRUE(dmsetupRun().empty());

    // An error the caller already holds is kept.
    CLuError earlier = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "earlier");
    std::list<ZoPartInfo> parts;
    EXPECT_EQ(-1, iface<ZoDevicePartIface>(dev, "ZoDevicePartIface")
                      ->getPartitions(parts, &earlier, false));
    EXPECT_EQ("earlier", earlier.AsString());
    EXPECT_EQ(-1, iface<ZoDevicePartIface>(dev, "ZoDevicePartIface")
                      ->getPartitions(parts, nullptr, false));
}

TEST_F(MpioDeviceTest, PartitionsAreThePartitionMapsOfTheMap) {
    zotest::addMultipathPartition(tree, {"dm-3", "data-part1", 4, 1, 2048, 204800});
    zotest::addMultipathPartition(tree, {"dm-3", "data-part2", 5, 2, 206848, 409600});
    install();
    SP<ZoDevice> dev = lookup("/dev/mapper/data");
    ASSERT_TRUE(dev);
    std::list<ZoPartInfo> parts;
    CLuError err;
    ASSERT_EQ(0, iface<ZoDevicePartIface>(dev, "ZoDevicePartIface")->getPartitions(parts, &err, false))
        << err.AsString();
    ASSERT_EQ(2u, parts.size());
    EXPECT_STREQ("/dev/mapper/data-part1", parts.front().partName);
    EXPECT_EQ(1, parts.front().partNumber);
    EXPECT_EQ(2048u, parts.front().startSector);
    EXPECT_EQ(204800u, parts.front().numSectors);
    EXPECT_EQ(4, parts.front().minor);
    EXPECT_STREQ("/dev/mapper/data-part2", parts.back().partName);
    EXPECT_EQ(2, parts.back().partNumber);
    EXPECT_EQ(206848u, parts.back().startSector);
    EXPECT_EQ(409600u, parts.back().numSectors);
    EXPECT_EQ(5, parts.back().minor);
}

TEST_F(MpioDeviceTest, TheParentOfAPartitionMapIsItsWholeMapAndAWholeMapIsItsOwn) {
    zotest::addMultipathPartition(tree, {"dm-3", "data-part1", 4, 1, 2048, 204800});
    install();
    SP<ZoDevice> whole = lookup("/dev/mapper/data");
    ASSERT_TRUE(whole);
    CLuError err;
    SP<ZoDevice> same = iface<ZoDevicePartIface>(whole, "ZoDevicePartIface")->getParentDevice(&err);
    EXPECT_TRUE(same == whole);
    EXPECT_FALSE(err.IsError());

    // No kind builds a partition map, so the caller makes the object itself.
    SP<ZoDevice> part = new ZoMpioDiskDevice("/dev/mapper/data-part1");
    SP<ZoDevice> parent = iface<ZoDevicePartIface>(part, "ZoDevicePartIface")->getParentDevice(&err);
    ASSERT_TRUE(parent) << err.AsString();
    EXPECT_EQ(ZoDevice::MPIO_DISK, parent->getType());
    EXPECT_EQ("/dev/mapper/data", parent->getDevicePath());
    EXPECT_EQ(2u, parent->getChildren().size());

    tree.remove("/sys/devices/virtual/block/dm-4/slaves/dm-3");
    SP<ZoDevice> none = iface<ZoDevicePartIface>(part, "ZoDevicePartIface")->getParentDevice(&err);
    EXPECT_FALSE(none);
    EXPECT_EQ("Partition map /dev/mapper/data-part1 has no map under it", err.AsString());
}

TEST_F(MpioDeviceTest, TheArrayInitiatorIdIsAskedOfTheFirstPathOnly) {
    install();
    SP<ZoDevice> dev = lookup("/dev/mapper/data");
    ASSERT_TRUE(dev);
    auto hostOf = [](const SP<ZoDevice>& c) {
        return static_cast<ZoScsiDiskDevice*>(c.get())->getScsiTarget().getHost();
    };
    const SP<ZoDevice> first = dev->getChildren().front();
    const SP<ZoDevice> second = dev->getChildren().back();
    auto* info = iface<ZoDeviceDiskInfoIface>(dev, "ZoDeviceDiskInfoIface");

    // Only the second path has an array port: the first one's failure stands.
    tree.write("/sys/class/fc_transport/target" + std::to_string(hostOf(second)) +
                   ":0:0/node_name",
               "0x50000000000000bb\n");
    std::string out = "untouched";
    CLuError err = info->GetArrayInitiatorId("/dev/ignored", out, false);
    EXPECT_TRUE(err.IsError());
    EXPECT_NE(std::string::npos, err.AsString().find(first->getDevicePath())) << err.AsString();
    EXPECT_EQ("untouched", out);

    tree.write("/sys/class/fc_transport/target" + std::to_string(hostOf(first)) +
                   ":0:0/node_name",
               "0x50000000000000aa\n");
    err = info->GetArrayInitiatorId("/dev/ignored", out, false);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ("0x50000000000000aa", out);
}

TEST_F(MpioDeviceTest, TheWwidIsReadThroughTheGivenPath) {
    install();
    SP<ZoDevice> dev = lookup("/dev/mapper/data");
    ASSERT_TRUE(dev);
    auto* info = iface<ZoDeviceDiskInfoIface>(dev, "ZoDeviceDiskInfoIface");
    std::string wwid;
    CLuError err = info->GetDeviceWwid("/dev/sdc", wwid);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(zotest::wwidOfSeed(1), wwid);

    std::string none;
    err = info->GetDeviceWwid("/dev/nothing", none);
    EXPECT_EQ("Unable to get scsi id", err.AsString());
}

TEST_F(MpioDeviceTest, APlainDiskIsNoMultipathDevice) {
    install();
    CLuError err;
    EXPECT_FALSE(ZoMpioDiskDevice::getInstance("/dev/sdb", &err));
    EXPECT_EQ("Not an mpio device: /dev/sdb", err.AsString());
    CLuError earlier = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "earlier");
    EXPECT_FALSE(ZoMpioDiskDevice::getInstance("/dev/sdb", &earlier));
    EXPECT_EQ("earlier", earlier.AsString());
    EXPECT_FALSE(ZoMpioDiskDevice::isSupportedDevice("/dev/sdb", nullptr));
    EXPECT_TRUE(ZoMpioDiskDevice::isSupportedDevice("/dev/mapper/data", nullptr));
}

TEST_F(MpioDeviceTest, ChildrenOfANonDeviceLeaveAnEmptyListAndTheReason) {
    install();
    std::list<std::string> out{"stale"};
    CLuError err;
    EXPECT_EQ(-1, ZoMpioDiskDevice::getChildren("/dev/mapper/missing", out, &err));
    EXPECT_TRUE(out.empty());
    EXPECT_NE(std::string::npos, err.AsString().find("/dev/mapper/missing")) << err.AsString();

    out = {"stale"};
    EXPECT_EQ(0, ZoMpioDiskDevice::getChildren("/dev/dm-3", out, nullptr));
    EXPECT_EQ(slaveNodes("dm-3"), out);
}

}  // namespace
