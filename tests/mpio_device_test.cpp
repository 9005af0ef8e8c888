// SPDX-License-Identifier: LGPL-2.1-or-later
// On host trees: the multipath facade and the multipath disk kind (maps, their
// paths and partition maps, failover, the commands run), and the tree's
// enumeration and parent lookup.
#include "test.h"

#include <tuple>

namespace {

class MpioTest : public ::testing::Test {
protected:
    // Installs the tree behind a FaultHost; returns the map at path.
    ZoMpioDiskDevice* install(const char* path = "/dev/mapper/data") {
        installed.reset();  // the earlier install restores its host first
        installed.reset(new zotest::FaultyInstall(tree));
        fault = installed->fault.get();
        CLuError err;
        dev = ZoDeviceTree::getDevice(path, &err);
        EXPECT_FALSE(err.IsError()) << path << ": " << err.AsString();
        return dynamic_cast<ZoMpioDiskDevice*>(dev.get());
    }

    zotest::HostTree tree{zotest::dataTree("mixed")};  // a copy each test may change
    std::unique_ptr<zotest::FaultyInstall> installed;
    zotest::FaultHost* fault = nullptr;
    SP<ZoDevice> dev;
    ZoMPIO mpio;
};

// Maps are known by their device-mapper uuid: a whole map "mpath-...", a
// partition map "part<N>-mpath-..." with N from 1 up to what an int holds.
TEST(MapUuids, WholeAndPartitionMaps) {
    const struct { const char* uuid; bool whole; int partition; } cases[] = {
        {"mpath-3600a0b80001", true, 0},          {"part1-mpath-3600a0b80001", false, 1},
        {"part12-mpath-x", false, 12},            {"part999999999-mpath-x", false, 999999999},
        {"part1000000000-mpath-x", false, 0},     {"part99999999999-mpath-x", false, 0},
        {"part0-mpath-x", false, 0},              {"part-mpath-x", false, 0},
        {"part1mpath-x", false, 0},               {"part1-LVM-x", false, 0},
        {"part1-", false, 0},                     {"part1", false, 0},
        {"LVM-mpath-x", false, 0},                {"", false, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.whole, zo_mpio::isWholeMapUuid(c.uuid)) << c.uuid;
        EXPECT_EQ(c.partition, zo_mpio::partitionMapNumber(c.uuid)) << c.uuid;
    }
}

TEST_F(MpioTest, ListsWholeMapsByMinorUnderTheirMapperNames) {
    zotest::addMultipathMap(tree, {"36001405bbbb", 13, "", {}});  // no alias: named by its WWID
    zotest::addMultipathMap(tree, {"logs", 0, "36001405cccc", {}});
    zotest::addMultipathMap(tree, {"bare", 5, "36001405dddd", {}});
    zotest::addMultipathMap(tree, {"gone", 6, "36001405eeee", {}});
    tree.remove("/dev/mapper/bare");  // udev made no node for it
    install();
    fault->failWhen("readFile", "/sys/block/dm-6/dm/uuid", ENOENT);  // removed while listed
    EXPECT_EQ((std::list<std::string>{"/dev/mapper/logs", "/dev/mapper/data", "/dev/dm-5",
                                      "/dev/mapper/36001405bbbb"}),
              mpio.getMPIODevices(nullptr, nullptr));
}

// A first path that fails, does not answer in time or is offline: the map's
// commands and its WWID go through the next path, and the log names the
// first path's failure (a time-out with the library's setting).
TEST_F(MpioTest, ACommandFailsOverToTheNextPath) {
    const struct { const char* what; int err; unsigned timeout; std::string logged; } cases[] = {
        {"I/O error", EIO, 0, "/dev/sdb failed: Input/output error"},
        {"no answer", ETIMEDOUT, 0, "/dev/sdb failed: timed out after 10 s"},
        {"no answer, time-out set", ETIMEDOUT, 20, "/dev/sdb failed: timed out after 20 s"},
        {"no answer, less than the kernel's least", ETIMEDOUT, 2, "/dev/sdb failed: timed out after 7 s"},
        {"offline in sysfs", 0, 3, "/dev/sdb failed: No such device or address"},
    };
    for (const auto& c : cases) {
        tree.write("/sys/block/sdb/device/state", c.err ? "running\n" : "offline\n");
        ZoMpioDiskDevice* map = install();
        ASSERT_TRUE(map) << c.what;
        ZoDeviceTree::setCommandTimeout(c.timeout);
        if (c.err) fault->failWhen("scsiCommand", "/dev/sdb", c.err);
        zotest::LogCapture log;
        std::string wwid;
        EXPECT_EQ("", map->GetDeviceWwid("/dev/mapper/data", wwid).AsString()) << c.what;
        EXPECT_EQ(zotest::wwidOfSeed(1), wwid) << c.what;
        EXPECT_EQ(2, fault->count("scsiCommand")) << c.what;
        EXPECT_EQ(1u, log.countContaining(c.logged)) << c.what << "\n" << log.dump();
    }
    ZoMpioDiskDevice* map = install();
    const unsigned char inquiry[6] = {0x12, 0, 0, 0, 96, 0};
    unsigned char data[96] = {0};
    CLuError err;
    fault->failAll("scsiCommand", EIO);
    EXPECT_EQ(-1, map->sendScsiCDB(inquiry, 6, data, 96, false, true, nullptr, 0, 30, &err));
    EXPECT_EQ(2, fault->count("scsiCommand"));
    EXPECT_EQ("Failed to send scsi cdb to any of the underlying devices under /dev/mapper/data",
              err.AsString());
}

// In number order, from their tables, whatever their names; a table that is
// not linear or maps onto another device is a failure.
TEST_F(MpioTest, PartitionMapsComeFromTheirTables) {
    ZoMpioDiskDevice* map = install();
    std::list<ZoPartInfo> parts(1);  // an earlier call's record goes
    CLuError err;
    ASSERT_EQ(0, map->getPartitions(parts, &err, false)) << err.AsString();
    std::vector<std::tuple<std::string, int, uint64_t, uint64_t, uint64_t, int, int>> got;
    for (const ZoPartInfo& p : parts)
        got.emplace_back(p.partName, p.partNumber, p.startSector, p.numSectors, p.sectorSize,
                         p.major, p.minor);
    EXPECT_EQ(decltype(got)({{"/dev/mapper/data1", 1, 2048, 1048576, 512, 253, 11},
                             {"/dev/mapper/data-part2", 2, 1050624, 8192, 512, 253, 10}}),
              got);
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"0 8 zero", "Unable to read the table of data1: 0 8 zero"},
             {"0 8 linear 8:16 2048", "Partition map data1 does not map onto data"}}) {
        tree.answerCommand("dmsetup table 'data1'", 0, c.first);
        EXPECT_EQ(-1, map->getPartitions(parts, &err, false)) << c.first;
        EXPECT_EQ(c.second, err.AsString());
        EXPECT_TRUE(parts.empty()) << c.first;
    }
}

// Each name is quoted; kpartx and a settle come before the tables are read.
// A map's active path is the map.
TEST_F(MpioTest, NamesReachTheShellQuoted) {
    zotest::addMultipathMap(tree, {"it's; rm -rf", 8, "", {}});
    zotest::addMultipathPartition(tree, {"dm-8", "it's; rm -rf-part1", 9, 1, 2048, 4096});
    const std::string message = "dmsetup message 'it'\\''s; rm -rf' 0 fail_if_no_path";
    tree.answerCommand(message, 1, "", "device-mapper: message ioctl failed: Invalid argument\n");
    tree.answerCommand("kpartx -u '/dev/mapper/it'\\''s; rm -rf'", 0, "");
    install();
    const size_t lookup = fault->commands().size();
    CLuError err;
    EXPECT_EQ(-1, mpio.setFailIfNoPathDevice(nullptr, "/dev/dm-8", &err));
    EXPECT_EQ("Failed to set fail_if_no_path on it's; rm -rf: device-mapper: message ioctl "
              "failed: Invalid argument",
              err.AsString());
    std::list<ZoPartInfo> parts;
    ASSERT_EQ(0, mpio.getPartitionDevices(nullptr, "/dev/dm-8", parts, true, &err));
    EXPECT_EQ(1u, parts.size());
    std::vector<std::string> run = fault->commands();
    run.erase(run.begin(), run.begin() + lookup);
    ASSERT_EQ(4u, run.size());
    EXPECT_EQ(message, run[0]);
    EXPECT_EQ("kpartx -u '/dev/mapper/it'\\''s; rm -rf'", run[1]);
    EXPECT_NE(std::string::npos, run[2].find("--timeout")) << run[2];  // the settle
    EXPECT_EQ("dmsetup table 'it'\\''s; rm -rf-part1'", run[3]);
    tree.answerCommand("dmsetup message 'data' 0 fail_if_no_path", 0, "");
    ZoMpioDiskDevice* data = install("/dev/dm-3");
    EXPECT_EQ("/dev/dm-3", data->getActivePath());
    EXPECT_EQ(0, data->setFailIfNoPath(&err)) << err.AsString();
    EXPECT_EQ("dmsetup message 'data' 0 fail_if_no_path", fault->commands().back());
}

// What the facade throws is the operation's failure: its result, an emptied
// list, the message in an error object that held none (an earlier error
// stays); with no error object, only the result.
TEST_F(MpioTest, FacadeFailuresBecomeResults) {
    ZoMpioDiskDevice* data = install();
    SP<ZoMpioDiskDevice> part = new ZoMpioDiskDevice("/dev/mapper/data1");
    const std::string eio = std::strerror(EIO);
    const struct {
        const char *op, *subject;
        std::function<int(CLuError*)> call;
        std::string message;
    } cases[] = {
        {"readFile", "", [](CLuError* e) { std::list<std::string> l{"x"}; return ZoMpioDiskDevice::getChildren("/dev/nothing", l, e) - 10 * !l.empty(); },
         "/dev/nothing is not a block device: No such file or directory"},
        {"listDir", "/sys/block", [](CLuError* e) { std::list<std::string> l{"x"}; return ZoMpioDiskDevice::getDevices(l, e) - 10 * !l.empty(); },
         "Unable to list /sys/block: " + eio},
        {"readFile", "/sys/dev/block/253:3/dm/name", [&](CLuError* e) { return data->setFailIfNoPath(e); },
         "Unable to read /sys/dev/block/253:3/dm/name: " + eio},
        {"readFile", "/sys/dev/block/253:3/dm/name", [&](CLuError* e) { std::list<ZoPartInfo> l; return data->getPartitions(l, e, false); },
         "Unable to read /sys/dev/block/253:3/dm/name: " + eio},
        {"listDir", "/sys/dev/block/253:11/slaves", [&](CLuError* e) { return part->getParentDevice(e) ? 0 : -1; },
         "Unable to list the devices under /dev/mapper/data1: " + eio},
    };
    for (const auto& c : cases) {
        fault->clearFailures();
        if (*c.subject) fault->failWhen(c.op, c.subject, EIO);
        CLuError fresh, earlier = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "earlier");
        EXPECT_EQ(-1, c.call(nullptr)) << c.message;
        EXPECT_EQ(-1, c.call(&fresh)) << c.message;
        EXPECT_EQ(c.message, fresh.AsString());
        EXPECT_EQ(-1, c.call(&earlier)) << c.message;
        EXPECT_EQ("earlier", earlier.AsString()) << c.message;
    }
}

// Only the second path has an array port: the first one's failure stands.
TEST_F(MpioTest, TheArrayInitiatorIdIsAskedOfTheFirstPathOnly) {
    ZoMpioDiskDevice* map = install();
    const std::string first = dev->getChildren().front()->getDevicePath();
    const int firstHost = first == "/dev/sdb" ? 0 : 1;  // the SCSI hosts of sdb and sdc
    const auto port = [](int host) {
        return "/sys/class/fc_transport/target" + std::to_string(host) + ":0:0/node_name";
    };
    tree.write(port(1 - firstHost), "0x50000000000000bb\n");
    std::string out = "untouched";
    CLuError err = map->GetArrayInitiatorId("/dev/ignored", out, false);
    EXPECT_NE(std::string::npos, err.AsString().find(first)) << err.AsString();
    EXPECT_EQ("untouched", out);
    tree.write(port(firstHost), "0x50000000000000aa\n");
    EXPECT_FALSE(map->GetArrayInitiatorId("/dev/ignored", out, false).IsError());
    EXPECT_EQ("0x50000000000000aa", out);
}

// A running daemon is asked to reconfigure and awaited until idle; without
// one the maps are reloaded ("multipath -r" fails throughout).
TEST_F(MpioTest, RefreshTakesEffectOrFails) {
    tree.answerCommand("multipath -r", 1, "", "reload: broken\n");
    tree.answerCommand("multipathd reconfigure", 0, "ok");
    install();
    const std::pair<const char*, const char*> cases[] = {  // "show daemon" (null: none), error
        {"pid 1 idle", ""},
        {"pid 1 configure", "multipathd did not finish"},
        {nullptr, "multipath -r failed: reload: broken"}};
    for (const auto& c : cases) {
        tree.answerCommand("multipathd show daemon", c.first ? 0 : 1, c.first ? c.first : "");
        CLuError err;
        EXPECT_EQ(*c.second ? -1 : 0, mpio.refreshMPIO(nullptr, &err)) << c.second;
        EXPECT_EQ(0u, err.AsString().find(c.second)) << c.second << ": " << err.AsString();
        EXPECT_EQ(*c.second != 0, err.IsError()) << c.second;
    }
}

// An error held beforehand (as an enumeration leaves one) drops no device.
TEST_F(MpioTest, TheTreeListsEachKindWithItsChildren) {
    install();
    const std::pair<ZoDevice::TYPE, std::list<std::string>> cases[] = {
        {ZoDevice::SCSI_DISK, {"/dev/sdb", "/dev/sdc", "/dev/sdd"}},
        {ZoDevice::MPIO_DISK, {"/dev/mapper/data", " /dev/sdb", " /dev/sdc"}},
        {ZoDevice::XVD_DISK, {"/dev/xvda"}},
        {ZoDevice::NVME_DISK, {"/dev/nvme0n1"}}};
    for (const auto& c : cases) {
        CLuError err = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "left over");
        std::list<std::string> got;  // each device with its children (a map's paths as SCSI disks, in slaves order)
        for (const SP<ZoDevice>& d : ZoDeviceTree::getAllDevices(c.first, &err)) {
            got.push_back(d->getDevicePath());
            EXPECT_EQ(c.first, d->getType()) << d->getDevicePath();
            for (const SP<ZoDevice>& child : d->getChildren())
                got.push_back(" " + child->getDevicePath() + (child->getType() == ZoDevice::SCSI_DISK ? "" : "?"));
        }
        EXPECT_EQ(c.second, got) << "kind " << c.first;
        EXPECT_FALSE(err.IsError()) << "kind " << c.first << ": " << err.AsString();
    }
    for (int type : {0, 3, 9}) {  // NONE, and values that are no kind
        CLuError err;
        EXPECT_TRUE(ZoDeviceTree::getAllDevices(static_cast<ZoDevice::TYPE>(type), &err).empty());
        EXPECT_EQ("Unknown type of devices requested", err.AsString()) << type;
    }
}

// A path no kind accepts fails its map, which the tree leaves out quietly; a
// map gone when built is left out with a log line.
TEST_F(MpioTest, MapsThatCannotBeBuiltAreLeftOut) {
    tree.addBlockDevice("vda", 254, 0, 2048, "/sys/devices/pci0000:00/virtio1/block/vda");
    zotest::addMultipathMap(tree, {"mixed", 1, "", {"vda"}});
    zotest::addMultipathMap(tree, {"ghost", 9, "", {}});
    install();
    fault->failWhen("readFile", "/sys/dev/block/253:9/dm/uuid", ENOENT);
    CLuError err;
    EXPECT_FALSE(ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>("/dev/mapper/mixed", &err));
    EXPECT_EQ("Failed to get a ZoDevice Instance for /dev/vda under /dev/mapper/mixed",
              err.AsString());
    zotest::LogCapture log;
    EXPECT_EQ(1u, ZoDeviceTree::getAllDevices(ZoDevice::MPIO_DISK, &err).size());
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(1u, log.countContaining("Failed to populate subtree")) << log.dump();
    EXPECT_EQ(1u, log.count("Failed to populate subtree under /dev/mapper/ghost")) << log.dump();
}

// The tree's answer for a path (its map; anything else itself; no kind: an
// error after one pass) and a map object's own (a partition map's whole map;
// a whole map itself). Each row is asked with an error holding an earlier
// failure and with none. Rows: tree or object, path, parent or [error], log.
TEST_F(MpioTest, ParentsOfPathsAndMaps) {
    ZoMpioDiskDevice* data = install();
    const std::string noKind = "[Failed to get a ZoDevice Instance for /dev/nothing.]";
    const struct { bool tree; const char* path; std::string parent; const char* log; } cases[] = {
        {true, "/dev/sdb", "/dev/mapper/data", "Found parent device of /dev/sdb:/dev/mapper/data"},
        {true, "/dev/sdc", "/dev/mapper/data", "Found parent device of /dev/sdc:/dev/mapper/data"},
        {true, "/dev/disk/by-id/scsi-SZOTEST_VDISK_b", "/dev/mapper/data", "Found parent device of /dev/sdb:/dev/mapper/data"},
        {true, "/dev/sdd", "/dev/sdd", nullptr},
        {true, "/dev/mapper/data", "/dev/mapper/data", "Device for getParent not a scsi disk /dev/mapper/data:2"},
        {true, "/dev/dm-3", "/dev/dm-3", "Device for getParent not a scsi disk /dev/dm-3:2"},
        {true, "/dev/nothing", noKind, nullptr},
        {false, "/dev/mapper/data", "/dev/mapper/data", nullptr},
        {false, "/dev/mapper/data1", "/dev/mapper/data", nullptr},  // no kind makes one
    };
    for (const auto& c : cases) {
        for (bool withError : {true, false}) {
            zo_internal::resetDeviceTreeState();
            zotest::LogCapture log;
            CLuError err = withError ? FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "left over") : CLuError();
            CLuError* e = withError ? &err : nullptr;
            SP<ZoMpioDiskDevice> object = c.tree ? nullptr : new ZoMpioDiskDevice(c.path);
            if (!c.tree && std::string(c.path) == data->getDevicePath()) object = data;
            SP<ZoDevice> parent = c.tree ? ZoDeviceTree::getParentDevice(c.path, e) : object->getParentDevice(e);
            const std::string what = std::string(c.path) + (withError ? "" : ", no error object");
            EXPECT_EQ(c.parent, parent ? parent->getDevicePath() : withError ? "[" + err.AsString() + "]" : noKind) << what;
            EXPECT_TRUE(!c.tree || zo_internal::deviceTreeRefreshCount() == 1) << what;  // one pass
            if (!parent) continue;
            // Only a whole map's own answer leaves the earlier error as it was.
            EXPECT_EQ(withError && !c.tree && c.parent == c.path, err.IsError()) << what << ": " << err.AsString();
            const bool isMap = c.parent.find("/dev/sd") != 0;
            EXPECT_EQ(isMap ? ZoDevice::MPIO_DISK : ZoDevice::SCSI_DISK, parent->getType()) << what;
            EXPECT_EQ(isMap ? 2u : 0u, parent->getChildren().size()) << what;
            EXPECT_TRUE(c.tree || c.parent != c.path || parent == object) << what;  // itself
            EXPECT_EQ(c.log ? 1u : 0u, log.count(c.log ? c.log : "")) << what << "\n" << log.dump();
        }
    }
    tree.remove("/sys/devices/virtual/block/dm-11/slaves/dm-3");
    CLuError err;
    EXPECT_FALSE(SP<ZoMpioDiskDevice>(new ZoMpioDiskDevice("/dev/mapper/data1"))->getParentDevice(&err));
    EXPECT_EQ("Partition map /dev/mapper/data1 has no map under it", err.AsString());
    fault->failWhen("readFile", "/sys/dev/block/253:3/dm/uuid", ENOENT);  // a map going away is its own parent
    EXPECT_EQ(static_cast<ZoDevice*>(data), data->getParentDevice(&err).get());
}

}  // namespace
