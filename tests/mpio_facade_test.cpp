// The multipath facade on host trees: which devices are maps, their paths,
// their partition maps, and the commands it runs on the machine.
#include "FXString.h"
#include "ZoException.h"
#include "ZoDevice.h"
#include "ZoInternal.h"
#include "ZoMPIO.h"
#include "support/dm_tree.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/scsi_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

using zotest::DmMapSpec;
using zotest::DmPartitionSpec;

class MpioFacadeTest : public ::testing::Test {
protected:
    MpioFacadeTest() { zotest::addDataMap(tree); }

    void install() { installed.reset(new zotest::FaultyInstall(tree)); }
    std::vector<std::string> commands() const { return installed->host().commandsRun(); }
    // slaves/ as the host lists it.
    std::vector<std::string> slaves(const std::string& dm) const {
        std::vector<std::string> names;
        EXPECT_EQ(0, ZoHost::current()->listDir("/sys/block/" + dm + "/slaves", &names));
        return names;
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::FaultyInstall> installed;
    ZoMPIO mpio;
};

TEST_F(MpioFacadeTest, TellsWholeMapsFromEverythingElse) {
    zotest::addMultipathPartition(tree, {"dm-3", "data-part1", 4, 1, 2048, 4096});
    // A device-mapper device that is not multipath (an LVM volume).
    tree.addBlockDevice("dm-7", zotest::kDmMajor, 7, 1024, "/sys/devices/virtual/block/dm-7");
    tree.write("/sys/devices/virtual/block/dm-7/dm/uuid", "LVM-abcdef\n");
    tree.write("/etc/regular", "x");
    install();

    struct Case {
        const char* path;
        int expected;
    } cases[] = {
        {"/dev/mapper/data", 1},       {"/dev/dm-3", 1},
        {"/dev/disk/by-id/dm-name-data", 1},
        {"/dev/mapper/data-part1", 0}, {"/dev/dm-4", 0},
        {"/dev/dm-7", 0},              {"/dev/sdb", 0},
        {"/dev/mapper/missing", 0},    {"/etc/regular", 0},
    };
    for (const Case& c : cases) {
        CLuError err;
        EXPECT_EQ(c.expected, mpio.isMPIODevice(std::string(c.path), &err)) << c.path;
        EXPECT_EQ(c.expected, mpio.isMPIODevice(c.path, &err)) << c.path;
        EXPECT_FALSE(err.IsError()) << c.path << ": " << err.AsString();
    }
    EXPECT_EQ(0, mpio.isMPIODevice(static_cast<const char*>(nullptr), nullptr));
}

TEST_F(MpioFacadeTest, AnUnreadableUuidIsAnErrorNotAYes) {
    install();
    zotest::FaultHost* fault = &installed->fault();
    fault->failWhen("readFile", "/sys/dev/block/253:3/dm/uuid", EIO);
    CLuError err;
    EXPECT_EQ(0, mpio.isMPIODevice("/dev/mapper/data", &err));
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(EIO, err.GetCode());
    EXPECT_NE(std::string::npos, err.AsString().find("/sys/dev/block/253:3/dm/uuid"))
        << err.AsString();
}

TEST_F(MpioFacadeTest, ListsWholeMapsByMinorUnderTheirMapperNames) {
    zotest::addPathDisk(tree, "sdd", 48, 2);
    zotest::addPathDisk(tree, "sde", 64, 2);
    DmMapSpec second;
    second.name = "36001405bbbb";  // no alias: named by its WWID
    second.minor = 12;
    second.paths = {"sdd"};
    zotest::addMultipathMap(tree, second);
    DmMapSpec first = second;
    first.name = "logs";
    first.minor = 0;
    first.wwid = "36001405cccc";
    first.paths = {"sde"};
    zotest::addMultipathMap(tree, first);
    zotest::addMultipathPartition(tree, {"dm-3", "data1", 2, 1, 2048, 4096});
    // udev made no /dev/mapper node for this one.
    DmMapSpec bare = second;
    bare.name = "bare";
    bare.wwid = "36001405dddd";
    bare.minor = 5;
    bare.paths = {};
    zotest::addMultipathMap(tree, bare);
    tree.remove("/dev/mapper/bare");
    install();

    EXPECT_EQ((std::list<std::string>{"/dev/mapper/logs", "/dev/mapper/data", "/dev/dm-5",
                                      "/dev/mapper/36001405bbbb"}),
              mpio.getMPIODevices(nullptr, nullptr));
}

TEST_F(MpioFacadeTest, ListsNoMapsOnAHostWithoutDeviceMapper) {
    zotest::HostTree plain;
    zotest::addPathDisk(plain, "sdb", 16, 0);
    auto guard = plain.install();
    EXPECT_TRUE(mpio.getMPIODevices(nullptr, nullptr).empty());
}

TEST_F(MpioFacadeTest, PathsComeInTheHostsSlavesOrder) {
    zotest::addPathDisk(tree, "sdd", 48, 2);
    zotest::addPathDisk(tree, "sde", 64, 3);
    DmMapSpec four;
    four.name = "four";
    four.minor = 9;
    four.paths = {"sde", "sdb", "sdd", "sdc"};
    zotest::addMultipathMap(tree, four);
    install();

    std::list<std::string> expected;
    for (const std::string& s : slaves("dm-9")) expected.push_back("/dev/" + s);
    ASSERT_EQ(4u, expected.size());
    EXPECT_EQ(expected, mpio.getUnderlyingDevices(nullptr, "/dev/mapper/four", nullptr));
    EXPECT_EQ(expected, mpio.getUnderlyingDevices(nullptr, "/dev/dm-9", nullptr));
}

TEST_F(MpioFacadeTest, SysfsSlashesInPathNamesBecomeDevSubdirectories) {
    tree.addBlockDevice("cciss!c0d0", 104, 0, 2048,
                        "/sys/devices/pci0000:00/0000:00:05.0/cciss0/c0d0/block/cciss!c0d0");
    DmMapSpec map;
    map.name = "raid";
    map.minor = 6;
    map.paths = {"cciss!c0d0"};
    zotest::addMultipathMap(tree, map);
    install();
    EXPECT_EQ(std::list<std::string>{"/dev/cciss/c0d0"},
              mpio.getUnderlyingDevices(nullptr, "/dev/mapper/raid", nullptr));
}

TEST_F(MpioFacadeTest, PathsOfSomethingThatIsNoDeviceAreAnException) {
    install();
    for (const char* path : {"/dev/mapper/missing", "/etc"}) {
        try {
            mpio.getUnderlyingDevices(nullptr, path, nullptr);
            ADD_FAILURE() << path << ": no exception";
        } catch (ZoException& e) {
            EXPECT_NE(std::string::npos, std::string(e.getMessage()).find(path))
                << path << ": " << e.getMessage();
        }
    }
    EXPECT_THROW(mpio.getUnderlyingDevices(nullptr, nullptr, nullptr), ZoException);
}

TEST_F(MpioFacadeTest, FailIfNoPathIsAMessageToTheMapByItsQuotedName) {
    tree.answerCommand("dmsetup message 'data' 0 fail_if_no_path", 0, "");
    install();
    CLuError err;
    EXPECT_EQ(0, mpio.setFailIfNoPathDevice(nullptr, "/dev/dm-3", &err));
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(std::vector<std::string>{"dmsetup message 'data' 0 fail_if_no_path"}, commands());
}

TEST_F(MpioFacadeTest, AFailedMessageGivesMinusOneAndTheToolsComplaint) {
    zotest::addPathDisk(tree, "sdd", 48, 2);
    DmMapSpec odd;
    odd.name = "it's; rm -rf";
    odd.minor = 8;
    odd.paths = {"sdd"};
    zotest::addMultipathMap(tree, odd);
    const std::string command =
        "dmsetup message " + FXString::ShellQuote(odd.name) + " 0 fail_if_no_path";
    tree.answerCommand(command, 1, "", "device-mapper: message ioctl failed: Invalid argument\n");
    install();
    CLuError err;
    EXPECT_EQ(-1, mpio.setFailIfNoPathDevice(nullptr, "/dev/dm-8", &err));
    EXPECT_EQ("Failed to set fail_if_no_path on it's; rm -rf: device-mapper: message ioctl "
              "failed: Invalid argument",
              err.AsString());
    EXPECT_EQ(774, err.GetCode());
    EXPECT_EQ(std::vector<std::string>{"dmsetup message 'it'\\''s; rm -rf' 0 fail_if_no_path"},
              commands());
}

TEST_F(MpioFacadeTest, PartitionMapsComeFromTheirTablesInNumberOrder) {
    // udev names and a manual kpartx name; the uuid, not the name, decides.
    zotest::addMultipathPartition(tree, {"dm-3", "data-part2", 11, 2, 1050624, 8192});
    zotest::addMultipathPartition(tree, {"dm-3", "data1", 10, 1, 2048, 1048576});
    // Something else stacked on the map is not a partition.
    tree.addBlockDevice("dm-12", zotest::kDmMajor, 12, 8, "/sys/devices/virtual/block/dm-12");
    tree.write("/sys/devices/virtual/block/dm-12/dm/uuid", "LVM-xyz\n");
    zotest::relativeSymlink(tree, "/sys/devices/virtual/block/dm-12",
                            "/sys/devices/virtual/block/dm-3/holders/dm-12");
    install();

    std::list<ZoPartInfo> parts(1);  // an earlier call's record goes
    CLuError err;
    ASSERT_EQ(0, mpio.getPartitionDevices(nullptr, "/dev/mapper/data", parts, false, &err))
        << err.AsString();
    struct Want {
        const char* name;
        int number;
        uint64_t start, length;
        int minor;
    } want[] = {{"/dev/mapper/data1", 1, 2048, 1048576, 10},
                {"/dev/mapper/data-part2", 2, 1050624, 8192, 11}};
    ASSERT_EQ(2u, parts.size());
    auto it = parts.begin();
    for (const Want& w : want) {
        const ZoPartInfo& p = *it++;
        EXPECT_STREQ(w.name, p.partName);
        EXPECT_EQ(w.number, p.partNumber) << w.name;
        EXPECT_EQ(w.start, p.startSector) << w.name;
        EXPECT_EQ(w.length, p.numSectors) << w.name;
        EXPECT_EQ(512u, p.sectorSize) << w.name;
        EXPECT_EQ(zotest::kDmMajor, p.major) << w.name;
        EXPECT_EQ(w.minor, p.minor) << w.name;
    }
    for (const std::string& c : commands()) EXPECT_EQ(0u, c.find("dmsetup table '")) << c;
}

TEST_F(MpioFacadeTest, RefreshingPartitionsRunsKpartxOnTheQuotedMapperNodeFirst) {
    tree.answerCommand("kpartx -u '/dev/mapper/data'", 0, "");
    install();
    std::list<ZoPartInfo> parts;
    CLuError err;
    ASSERT_EQ(0, mpio.getPartitionDevices(nullptr, "/dev/dm-3", parts, true, &err))
        << err.AsString();
    EXPECT_TRUE(parts.empty());
    ASSERT_FALSE(commands().empty());
    EXPECT_EQ("kpartx -u '/dev/mapper/data'", commands().front());
    EXPECT_GE(commands().size(), 2u) << "no settle after kpartx";
}

TEST_F(MpioFacadeTest, PartitionFailuresAreReportedNotSkipped) {
    struct Case {
        const char* what;
        bool refresh;
        const char* table;  // null: the table command fails
        const char* message;
    } cases[] = {
        {"kpartx fails", true, "0 8 linear 253:3 2048\n",
         "Failed to refresh the partition maps of data: kpartx: bad"},
        {"table unreadable", false, nullptr, "Unable to read the table of data-part1: no such map"},
        {"not linear", false, "0 8 striped 2 128 253:3 0 253:4 0\n",
         "Unable to read the table of data-part1: 0 8 striped 2 128 253:3 0 253:4 0"},
        {"maps onto another device", false, "0 8 linear 8:16 2048\n",
         "Partition map data-part1 does not map onto data"},
    };
    for (const Case& c : cases) {
        zotest::HostTree t;
        zotest::addPathDisk(t, "sdb", 16, 0);
        DmMapSpec map;
        map.name = "data";
        map.minor = 3;
        map.paths = {"sdb"};
        zotest::addMultipathMap(t, map);
        zotest::addMultipathPartition(t, {"dm-3", "data-part1", 4, 1, 2048, 8});
        t.answerCommand("kpartx -u '/dev/mapper/data'", 1, "", "kpartx: bad\n");
        if (c.table)
            t.answerCommand("dmsetup table 'data-part1'", 0, c.table);
        else
            t.answerCommand("dmsetup table 'data-part1'", 1, "", "no such map\n");
        auto guard = t.install();
        std::list<ZoPartInfo> parts;
        CLuError err;
        EXPECT_EQ(-1, mpio.getPartitionDevices(nullptr, "/dev/dm-3", parts, c.refresh, &err))
            << c.what;
        EXPECT_EQ(c.message, err.AsString()) << c.what;
        EXPECT_TRUE(parts.empty()) << c.what;
    }
}

TEST_F(MpioFacadeTest, APartitionMapNamesItsWholeMap) {
    zotest::addMultipathPartition(tree, {"dm-3", "data-part1", 4, 1, 2048, 4096});
    install();
    std::string parent;
    EXPECT_TRUE(mpio.isPartitionDevice(nullptr, "/dev/mapper/data-part1", parent, nullptr));
    EXPECT_EQ("/dev/mapper/data", parent);

    for (const char* path : {"/dev/mapper/data", "/dev/sdb", "/dev/nothing"}) {
        std::string none;
        EXPECT_FALSE(mpio.isPartitionDevice(nullptr, path, none, nullptr)) << path;
        EXPECT_EQ("", none) << path;
    }
}

TEST_F(MpioFacadeTest, APartitionMapWithoutItsMapIsAnException) {
    zotest::addMultipathPartition(tree, {"dm-3", "data-part1", 4, 1, 2048, 4096});
    tree.remove("/sys/devices/virtual/block/dm-4/slaves/dm-3");
    install();
    std::string parent;
    EXPECT_THROW(mpio.isPartitionDevice(nullptr, "/dev/dm-4", parent, nullptr), ZoException);
}

TEST_F(MpioFacadeTest, RefreshReconfiguresARunningDaemonAndWaitsUntilItIsIdle) {
    tree.answerCommand("multipathd show daemon", 0, "pid 4242 idle\n");
    tree.answerCommand("multipathd reconfigure", 0, "ok\n");
    install();
    zotest::FaultHost* fault = &installed->fault();
    // The daemon is busy for two polls after the request.
    int polls = 0;
    fault->after("run", [&] {
        std::vector<std::string> run = fault->commands();
        if (run.back() == "multipathd reconfigure")
            tree.answerCommand("multipathd show daemon", 0, "pid 4242 configure\n");
        if (run.back() == "multipathd show daemon" && ++polls == 3)
            tree.answerCommand("multipathd show daemon", 0, "pid 4242 idle\n");
    });
    CLuError err;
    EXPECT_EQ(0, mpio.refreshMPIO(nullptr, &err)) << err.AsString();
    std::vector<std::string> run = fault->commands();
    ASSERT_GE(run.size(), 5u);
    EXPECT_EQ((std::vector<std::string>{"multipathd show daemon", "multipathd reconfigure",
                                        "multipathd show daemon", "multipathd show daemon",
                                        "multipathd show daemon"}),
              std::vector<std::string>(run.begin(), run.begin() + 5));
    std::vector<unsigned long> sleeps = fault->sleeps();
    EXPECT_EQ(2, std::count(sleeps.begin(), sleeps.end(), 100ul));  // one pause per busy poll
    EXPECT_EQ(0, std::count(run.begin(), run.end(), "multipath -r"));
}

TEST_F(MpioFacadeTest, RefreshReloadsMapsItselfWhenNoDaemonRuns) {
    tree.answerCommand("multipathd show daemon", 1, "", "can't connect to socket\n");
    tree.answerCommand("multipath -r", 0, "");
    install();
    CLuError err;
    EXPECT_EQ(0, mpio.refreshMPIO(nullptr, &err)) << err.AsString();
    std::vector<std::string> run = commands();
    ASSERT_GE(run.size(), 2u);
    EXPECT_EQ("multipathd show daemon", run[0]);
    EXPECT_EQ("multipath -r", run[1]);
    EXPECT_EQ(0, std::count(run.begin(), run.end(), "multipathd reconfigure"));
}

TEST_F(MpioFacadeTest, RefreshFailuresAreReported) {
    struct Case {
        const char* what;
        const char* daemon;   // answer of "show daemon" (null: not running)
        int reconfigure;      // exit status of "multipathd reconfigure"
        int reload;           // exit status of "multipath -r"
        const char* message;  // the error's beginning
    } cases[] = {
        {"reconfigure refused", "pid 1 idle\n", 1, 0, "multipathd reconfigure failed"},
        {"daemon stuck", "pid 1 configure\n", 0, 0, "multipathd did not finish"},
        {"reload fails", nullptr, 0, 1, "multipath -r failed"},
    };
    for (const Case& c : cases) {
        zotest::HostTree t;
        if (c.daemon)
            t.answerCommand("multipathd show daemon", 0, c.daemon);
        else
            t.answerCommand("multipathd show daemon", 1, "");
        t.answerCommand("multipathd reconfigure", c.reconfigure, c.reconfigure ? "fail\n" : "ok\n");
        t.answerCommand("multipath -r", c.reload, "", "reload: broken\n");
        auto guard = t.install();
        CLuError err;
        EXPECT_EQ(-1, mpio.refreshMPIO(nullptr, &err)) << c.what;
        EXPECT_EQ(0u, err.AsString().find(c.message)) << c.what << ": " << err.AsString();
        EXPECT_EQ(-1, mpio.refreshMPIO(nullptr, nullptr)) << c.what;
    }
}

}  // namespace
