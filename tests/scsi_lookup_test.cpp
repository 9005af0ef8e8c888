// The SCSI disk kind on host trees: listing, resolving paths (aliases,
// partitions, the kernel-name pass), rejecting what is not a SCSI disk.
#include "UXScsi.h"
#include "ZoDeviceTree.h"
#include "ZoException.h"
#include "ZoInternal.h"
#include "ZoScsiDiskDevice.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"
#include "support/scsi_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

namespace {

using zotest::ScsiDiskSpec;

ScsiDiskSpec disk(const std::string& name, int host, int target, int minor, uint64_t seed = 1) {
    ScsiDiskSpec s;
    s.name = name;
    s.host = host;
    s.target = target;
    s.minor = minor;
    s.seed = seed;
    return s;
}

class ScsiLookupTest : public ::testing::Test {
protected:
    void SetUp() override { zo_internal::resetProcessState(); }
    void TearDown() override { zo_internal::resetProcessState(); }

    // Installs the tree (wrapped in a FaultHost) and refreshes the list.
    void install() {
        installed.reset(new zotest::HostTree::Installed(tree.install()));
        fault = std::make_shared<zotest::FaultHost>(installed->shared());
        previous = ZoHost::install(fault);
        UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
    }
    ~ScsiLookupTest() override {
        if (fault) ZoHost::install(previous);
    }

    static std::string nativePath(const SP<ZoDevice>& dev) {
        return static_cast<ZoScsiDiskDevice*>(dev.get())->getScsiTarget().getNativePath();
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::HostTree::Installed> installed;
    std::shared_ptr<zotest::FaultHost> fault;
    std::shared_ptr<ZoHost> previous;
};

TEST_F(ScsiLookupTest, ListsDirectAccessDisksWithNodesInNumericAddressOrder) {
    zotest::addScsiDisk(tree, disk("sdb", 2, 0, 16));
    zotest::addScsiDisk(tree, disk("sdc", 0, 10, 32));
    zotest::addScsiDisk(tree, disk("sdd", 0, 2, 48));
    ScsiDiskSpec cdrom = disk("sr0", 0, 3, 0);
    cdrom.major = 11;
    cdrom.type = 5;
    zotest::addScsiDisk(tree, cdrom);
    // A SCSI device without a block node (its driver is not bound).
    tree.mkdir("/sys/devices/platform/host0/target0:0:4/0:0:4:0/scsi_device/0:0:4:0");
    tree.write("/sys/devices/platform/host0/target0:0:4/0:0:4:0/type", "0\n");
    tree.symlink("../../devices/platform/host0/target0:0:4/0:0:4:0/scsi_device/0:0:4:0",
                 "/sys/class/scsi_device/0:0:4:0");
    install();

    std::list<std::string> paths{"stale"};
    CLuError err;
    ASSERT_EQ(0, ZoScsiDiskDevice::getDevices(paths, &err));
    EXPECT_EQ((std::list<std::string>{"/dev/sdd", "/dev/sdc", "/dev/sdb"}), paths);

    std::list<UXScsi::Device> list =
        UXScsi::getDeviceList(UXScsi::Device::DIRECT_ACCESS, false, false, false);
    ASSERT_EQ(3u, list.size());
    const UXScsiTarget& last = list.back().target;
    EXPECT_EQ("scsi2", last.getAdapter());
    EXPECT_EQ(0, last.getBus());
    EXPECT_EQ(0, last.getTarget());
    EXPECT_EQ("/sys/devices/platform/host2/target2:0:0/2:0:0:0", last.getSysfsDevice());
    EXPECT_EQ(makedev(8, 16), list.back().devno);
}

TEST_F(ScsiLookupTest, NoScsiDevicesGiveAnEmptyList) {
    install();
    std::list<std::string> paths{"stale"};
    CLuError err;
    EXPECT_EQ(0, ZoScsiDiskDevice::getDevices(paths, &err));
    EXPECT_TRUE(paths.empty());
    EXPECT_FALSE(err.IsError());
}

TEST_F(ScsiLookupTest, AliasOfListedDiskKeepsTheAliasAsPathAndNeedsNoOpen) {
    ScsiDiskSpec spec = disk("sdb", 3, 1, 16, 7);
    spec.byIdLink = "/dev/disk/by-id/scsi-" + zotest::wwidOfSeed(7);
    zotest::addScsiDisk(tree, spec);
    install();
    fault->failAll("probeOpen", EACCES);  // a listed disk is taken without opening it

    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(spec.byIdLink.c_str(), &err);
    ASSERT_TRUE(dev) << err.AsString();
    EXPECT_EQ(ZoDevice::SCSI_DISK, dev->getType());
    EXPECT_EQ(spec.byIdLink, dev->getDevicePath());
    EXPECT_EQ("/dev/sdb", nativePath(dev));
    EXPECT_EQ("scsi3", static_cast<ZoScsiDiskDevice*>(dev.get())->getScsiTarget().getAdapter());
}

TEST_F(ScsiLookupTest, PartitionNodeIsFoundByOpeningIt) {
    ScsiDiskSpec spec = disk("sdb", 1, 2, 16);
    zotest::addScsiDisk(tree, spec);
    const std::string part = zotest::addScsiPartition(tree, spec, 12);
    install();

    CLuError err;
    EXPECT_TRUE(ZoScsiDiskDevice::isSupportedDevice(part.c_str(), &err));
    SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance(part.c_str(), &err);
    ASSERT_TRUE(dev) << err.AsString();
    EXPECT_EQ("/dev/sdb12", dev->getDevicePath());
    EXPECT_EQ("/dev/sdb12", nativePath(dev));
    const UXScsiTarget& t = static_cast<ZoScsiDiskDevice*>(dev.get())->getScsiTarget();
    EXPECT_EQ("scsi1", t.getAdapter());
    EXPECT_EQ(2, t.getTarget());
}

TEST_F(ScsiLookupTest, PartitionIsFoundUnderItsKernelNameWhenItsAliasCannotBeOpened) {
    ScsiDiskSpec spec = disk("sdb", 0, 0, 16);
    zotest::addScsiDisk(tree, spec);
    zotest::addScsiPartition(tree, spec, 10);
    const std::string alias = "/dev/disk/by-partlabel/data";
    tree.symlink("../../sdb10", alias);
    install();
    fault->failWhen("probeOpen", alias, EACCES);

    zotest::LogCapture log;
    CLuError err;
    EXPECT_TRUE(ZoScsiDiskDevice::isSupportedDevice(alias.c_str(), &err));
    EXPECT_EQ(0u, log.lines().size()) << log.dump();  // the probe is silent

    SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance(alias.c_str(), &err);
    ASSERT_TRUE(dev) << err.AsString();
    EXPECT_EQ("/dev/sdb10", dev->getDevicePath());
    EXPECT_EQ("/dev/sdb10", nativePath(dev));
    EXPECT_EQ(1u, log.countContaining("Cannot open " + alias + ": Permission denied")) << log.dump();
}

// Partitions from 16 up live on major 259; minor mod 16 then names another
// partition (or the whole disk), which must not be taken for the path.
TEST_F(ScsiLookupTest, KernelNamePassRefusesANameOfAnotherDevice) {
    ScsiDiskSpec spec = disk("sdb", 0, 0, 16);
    zotest::addScsiDisk(tree, spec);
    zotest::addScsiPartition(tree, spec, 1);
    zotest::addScsiPartition(tree, spec, 16, 4096, 2048, 259, 0);
    zotest::addScsiPartition(tree, spec, 17, 8192, 2048, 259, 1);
    tree.symlink("../../sdb16", "/dev/disk/by-partlabel/p16");
    tree.symlink("../../sdb17", "/dev/disk/by-partlabel/p17");
    install();

    struct {
        const char* alias;
        const char* wrongName;
    } cases[] = {{"/dev/disk/by-partlabel/p16", "/dev/sdb"}, {"/dev/disk/by-partlabel/p17", "/dev/sdb1"}};
    for (const auto& c : cases) {
        fault->clearFailures();
        fault->failWhen("probeOpen", c.alias, EACCES);
        CLuError err;
        EXPECT_FALSE(ZoScsiDiskDevice::isSupportedDevice(c.alias, &err)) << c.alias;
        SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance(c.alias, &err);
        EXPECT_FALSE(dev) << c.alias << " resolved to " << nativePath(dev);
        EXPECT_EQ(774, err.GetCode()) << c.alias;
        EXPECT_NE(std::string::npos, err.AsString().find(c.wrongName)) << c.alias << ": " << err.AsString();

        // Opened directly, the alias is its own partition.
        fault->clearFailures();
        dev = ZoScsiDiskDevice::getInstance(c.alias, &err);
        ASSERT_TRUE(dev) << c.alias << ": " << err.AsString();
        EXPECT_EQ(c.alias, nativePath(dev));
    }
}

TEST_F(ScsiLookupTest, DevicesWithoutAScsiDeviceAreRejected) {
    zotest::addScsiDisk(tree, disk("sdb", 0, 0, 16));
    tree.addBlockDevice("vda", 252, 0, 1000, "/sys/devices/pci0000:00/0000:00:04.0/virtio2/block/vda");
    tree.symlink("../../../virtio2", "/sys/devices/pci0000:00/0000:00:04.0/virtio2/block/vda/device");
    tree.addPartition("vda", "vda1", 1, 252, 1, 2048, 100);
    tree.addBlockDevice("loop0", 7, 0, 1000, "/sys/devices/virtual/block/loop0");
    tree.addBlockDevice("nvme0n1", 259, 5, 1000,
                        "/sys/devices/pci0000:00/0000:00:05.0/nvme/nvme0/nvme0n1");
    tree.symlink("../../nvme0", "/sys/devices/pci0000:00/0000:00:05.0/nvme/nvme0/nvme0n1/device");
    tree.write("/tmp/disk.img", "not a device");
    install();

    struct {
        const char* path;
        const char* why;
    } cases[] = {
        {"/dev/vda", "/dev/vda (252:0) is not a SCSI device"},
        {"/dev/vda1", "/dev/vda1 (252:1) is not a SCSI device"},
        {"/dev/loop0", "/dev/loop0 (7:0) is not a SCSI device"},
        {"/dev/nvme0n1", "/dev/nvme0n1 (259:5) is not a SCSI device"},
        {"/tmp/disk.img", "/tmp/disk.img is not a block device"},
    };
    for (const auto& c : cases) {
        zotest::LogCapture log;
        CLuError err;
        EXPECT_FALSE(ZoScsiDiskDevice::isSupportedDevice(c.path, &err)) << c.path;
        EXPECT_FALSE(err.IsError()) << c.path << ": " << err.AsString();
        EXPECT_FALSE(ZoScsiDiskDevice::getInstance(c.path, &err)) << c.path;
        EXPECT_EQ(0u, err.AsString().find(c.why)) << c.path << ": " << err.AsString();
        UXScsiTarget target(c.path, false);
        EXPECT_THROW(UXScsi::open(target, 0), ZoException) << c.path;
    }
}

TEST_F(ScsiLookupTest, MissingPathFailsWithTheStatError) {
    install();
    const std::string want = "Failed to stat /dev/sdz: No such file or directory";
    zotest::LogCapture log;
    CLuError err;
    EXPECT_FALSE(ZoScsiDiskDevice::isSupportedDevice("/dev/sdz", &err));
    EXPECT_EQ(want, err.AsString());
    EXPECT_EQ(774, err.GetCode());
    err = CLuError::Success();
    EXPECT_FALSE(ZoScsiDiskDevice::getInstance("/dev/sdz", &err));
    EXPECT_EQ(want, err.AsString());
    EXPECT_EQ(2u, log.count(want)) << log.dump();
}

TEST_F(ScsiLookupTest, OpenFailureOfAnUnlistedNodeIsTheError) {
    ScsiDiskSpec spec = disk("sdb", 0, 0, 16);
    zotest::addScsiDisk(tree, spec);
    const std::string part = zotest::addScsiPartition(tree, spec, 3);
    install();
    fault->failAll("probeOpen", EIO);

    CLuError err;
    EXPECT_FALSE(ZoScsiDiskDevice::isSupportedDevice(part.c_str(), &err));
    EXPECT_FALSE(err.IsError());
    EXPECT_FALSE(ZoScsiDiskDevice::getInstance(part.c_str(), &err));
    EXPECT_EQ("Cannot open /dev/sdb3: Input/output error", err.AsString());
}

TEST_F(ScsiLookupTest, InterfacesChildrenAndTheClusterHook) {
    zotest::addScsiDisk(tree, disk("sdb", 0, 0, 16));
    install();
    CLuError err;
    SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance("/dev/sdb", &err);
    ASSERT_TRUE(dev) << err.AsString();
    ZoScsiDiskDevice* scsi = static_cast<ZoScsiDiskDevice*>(dev.get());
    struct {
        const char* name;
        void* want;
    } cases[] = {
        {"ZoDeviceScsiIface", static_cast<ZoDeviceScsiIface*>(scsi)},
        {"ZoDevicePartIface", static_cast<ZoDevicePartIface*>(scsi)},
        {"ZoDeviceDiskInfoIface", static_cast<ZoDeviceDiskInfoIface*>(scsi)},
        {"ZoDeviceDiskInfoIfaceV2", static_cast<ZoDeviceDiskInfoIface*>(scsi)},
        {"ZoDeviceScsiIfaceV2", nullptr},
        {"ZoDevicePartIfac", nullptr},
        {"ZoDeviceMpioIface", nullptr},
        {"ZoDeviceIface", nullptr},
        {nullptr, nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.want, dev->getInterface(c.name)) << (c.name ? c.name : "(null)");

    std::list<std::string> children{"x"};
    EXPECT_EQ(0, ZoScsiDiskDevice::getChildren("/dev/sdb", children, &err));
    EXPECT_TRUE(children.empty());

    std::string name = "cluster-disk-1";
    EXPECT_FALSE(updateClusterDeviceNameToRealDeviceName(name).IsError());
    EXPECT_EQ("cluster-disk-1", name);
}

TEST_F(ScsiLookupTest, CommandsAreAnsweredOrFailWithStatusAndSense) {
    zotest::addScsiDisk(tree, disk("sdb", 0, 0, 16, 42));
    install();
    CLuError err;
    SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance("/dev/sdb", &err);
    ASSERT_TRUE(dev) << err.AsString();
    auto* scsi = static_cast<ZoDeviceScsiIface*>(dev->getInterface("ZoDeviceScsiIface"));

    const unsigned char inquiry83[6] = {0x12, 0x01, 0x83, 0x00, 0xff, 0x00};
    unsigned char data[512] = {};
    ASSERT_EQ(0, scsi->sendScsiCDB(inquiry83, 6, data, sizeof data, false, true, nullptr, 0, 10, &err))
        << err.AsString();
    const std::string page = zotest::makeVpdPg83(42);
    EXPECT_EQ(page, std::string(reinterpret_cast<char*>(data), page.size()));

    const unsigned char testUnitReady[6] = {0x00, 0, 0, 0, 0, 0};
    unsigned char sense[32];
    std::memset(sense, 0xee, sizeof sense);
    EXPECT_EQ(-1, scsi->sendScsiCDB(testUnitReady, 6, nullptr, 0, false, false, sense, sizeof sense,
                                    10, &err));
    EXPECT_EQ(0u, err.AsString().find("SCSI command 0x00 to /dev/sdb failed: SCSI status 0x02, "
                                      "sense key 0x5, ASC 0x20, ASCQ 0x00"))
        << err.AsString();
    EXPECT_EQ(0x70, sense[0] & 0x7f);
    EXPECT_EQ(0x05, sense[2] & 0x0f);
}

TEST_F(ScsiLookupTest, RefusedPage83IsReadFromSysfs) {
    zotest::addScsiDisk(tree, disk("sdb", 0, 0, 16, 9));
    install();
    fault->failAll("scsiCommand", EACCES);
    CLuError err;
    SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance("/dev/sdb", &err);
    ASSERT_TRUE(dev) << err.AsString();
    auto* scsi = static_cast<ZoDeviceScsiIface*>(dev->getInterface("ZoDeviceScsiIface"));

    const unsigned char inquiry83[6] = {0x12, 0x01, 0x83, 0x00, 0x10, 0x00};
    unsigned char data[64] = {};
    ASSERT_EQ(0, scsi->sendScsiCDB(inquiry83, 6, data, sizeof data, false, true, nullptr, 0, 10, &err));
    // Only the 16 bytes asked for.
    EXPECT_EQ(zotest::makeVpdPg83(9).substr(0, 16), std::string(reinterpret_cast<char*>(data), 16));
    EXPECT_EQ(0, data[16]);

    const unsigned char inquiry80[6] = {0x12, 0x01, 0x80, 0x00, 0xff, 0x00};
    EXPECT_EQ(-1, scsi->sendScsiCDB(inquiry80, 6, data, sizeof data, false, true, nullptr, 0, 10, &err));
    EXPECT_EQ(0u, err.AsString().find("SCSI command 0x12 to /dev/sdb failed: Permission denied"))
        << err.AsString();
}

// However many disks are listed, resolving one costs the same host calls.
TEST_F(ScsiLookupTest, LookupCostDoesNotGrowWithTheList) {
    std::string firstAlias, lastAlias;
    const int count = 64;
    for (int i = 0; i < count; ++i) {
        ScsiDiskSpec spec = disk("sd" + std::string(1, 'a' + i / 26 % 26) + std::string(1, 'a' + i % 26),
                                 i / 100, i % 100, 16 * i, i + 1);
        spec.major = 8 + i / 16;
        spec.minor = (i % 16) * 16;
        spec.byIdLink = "/dev/disk/by-id/scsi-" + zotest::wwidOfSeed(i + 1);
        zotest::addScsiDisk(tree, spec);
        if (i == 0) firstAlias = spec.byIdLink;
        lastAlias = spec.byIdLink;
    }
    install();
    CLuError err;
    int before = fault->count("stat") + fault->count("lstat") + fault->count("readlink");
    ASSERT_TRUE(ZoScsiDiskDevice::getInstance(firstAlias.c_str(), &err)) << err.AsString();
    int first = fault->count("stat") + fault->count("lstat") + fault->count("readlink") - before;
    before += first;
    SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance(lastAlias.c_str(), &err);
    ASSERT_TRUE(dev) << err.AsString();
    int last = fault->count("stat") + fault->count("lstat") + fault->count("readlink") - before;
    EXPECT_EQ(first, last);
    EXPECT_LE(last, 3);
    EXPECT_EQ(lastAlias, dev->getDevicePath());
}

TEST(ScsiLiveTest, VirtioDiskIsNoDevice) {
    struct stat st;
    if (::stat("/dev/vda", &st) != 0) GTEST_SKIP() << "/dev/vda does not exist on this machine";
    zo_internal::resetProcessState();
    ZoHost::setRoot("");
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice("/dev/vda", &err);
    EXPECT_FALSE(dev);
    EXPECT_EQ("Failed to get a ZoDevice Instance for /dev/vda", err.AsString());
}

}  // namespace
