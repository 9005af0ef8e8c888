// Partition discovery with udev settling: the five-attempt loop on host
// trees holding real partition tables, the record building and the settle
// routine.
#include "ZoPartitionDiscovery.h"
#include "ZoScsiDiskDevice.h"

#include "support/disk_image.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

const char kSdcDir[] = "/sys/devices/platform/host2/target2:0:0/2:0:0:1/block/sdc";

// sdc (8:32) holding an image with the given table; partition nodes for the
// listed numbers, each on 8:32+n unless given in nodeDevs.
struct SdcTree {
    zotest::HostTree tree;
    explicit SdcTree(const std::string& script, const std::vector<int>& nodes) {
        tree.addBlockDevice("sdc", 8, 32, 262144, kSdcDir);
        zotest::makeDiskImage(tree.at("/dev/sdc"), 128, script);
        tree.write("/sbin/udevadm", "");
        tree.answerCommand("udevadm settle --timeout=120", 0, "");
        for (int n : nodes)
            addNode(n, 8, 32 + n);
    }
    void addNode(int n, int major, int minor) {
        tree.addPartition("sdc", "sdc" + std::to_string(n), n, major, minor, 0, 0);
    }
};

// Installs a FaultHost around the tree's host for the test's lifetime.
struct Faulty {
    zotest::HostTree::Installed installed;
    std::shared_ptr<zotest::FaultHost> fault;
    std::shared_ptr<ZoHost> previous;
    explicit Faulty(zotest::HostTree& tree)
        : installed(tree.install()),
          fault(std::make_shared<zotest::FaultHost>(installed.shared())),
          previous(ZoHost::install(fault)) {}
    ~Faulty() { ZoHost::install(previous); }
    ZoRootedHost& host() { return installed.host(); }
};

SP<ZoDevice> scsiDisk(const char* node) {
    UXScsiTarget target(node, false);
    return SP<ZoDevice>(new ZoScsiDiskDevice(target));
}

ZoDevicePartIface* parts(SP<ZoDevice>& dev) {
    return static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
}

std::string describe(const std::list<ZoPartInfo>& out) {
    std::ostringstream os;
    for (const ZoPartInfo& p : out)
        os << p.partName << "(" << p.partNumber << " " << p.major << ":" << p.minor << " "
           << p.startSector << "+" << p.numSectors << ") ";
    return os.str();
}

const ZoPartInfo* find(const std::list<ZoPartInfo>& out, int number) {
    for (const ZoPartInfo& p : out)
        if (p.partNumber == number) return &p;
    return nullptr;
}

const char kThreeParts[] = "label: dos\n,8M\n,8M\n,8M\n";

TEST(Partitions, AllNodesPresentCostOneReadAndNoWait) {
    SdcTree t(kThreeParts, {1, 2, 3});
    Faulty f(t.tree);
    zotest::LogCapture log;
    SP<ZoDevice> dev = scsiDisk("/dev/sdc");
    ASSERT_TRUE(parts(dev));

    std::list<ZoPartInfo> out(1);
    CLuError err;
    ASSERT_EQ(0, parts(dev)->getPartitions(out, &err, false));
    EXPECT_FALSE(err.IsError()) << err.AsString();
    ASSERT_EQ(3u, out.size()) << describe(out);
    const ZoPartInfo* p3 = find(out, 3);
    ASSERT_TRUE(p3) << describe(out);
    EXPECT_STREQ("/dev/sdc3", p3->partName);
    EXPECT_EQ(8, p3->major);
    EXPECT_EQ(35, p3->minor);
    EXPECT_EQ(512u, p3->sectorSize);
    EXPECT_EQ(2048u + 2 * 16384u, p3->startSector);
    EXPECT_EQ(16384u, p3->numSectors);
    EXPECT_EQ(1, f.fault->count("readPartitionTable"));
    EXPECT_TRUE(f.host().rereads().empty());
    EXPECT_TRUE(f.host().commandsRun().empty());
    EXPECT_TRUE(f.host().sleepsMs().empty());
    EXPECT_EQ(1u, log.count("All partition devices found on /dev/sdc")) << log.dump();
}

TEST(Partitions, RecordsCarryTheNodesOwnDeviceNumbers) {
    // Partitions from 16 up live on the extended major with numbers handed
    // out as they come.
    std::string gpt = "label: gpt\n";
    for (int i = 0; i < 20; ++i) gpt += ",1M\n";
    std::vector<int> low;
    for (int n = 1; n <= 15; ++n) low.push_back(n);
    SdcTree t(gpt, low);
    for (int n = 16; n <= 20; ++n) t.addNode(n, 259, 40 - n);  // deliberately not in order
    auto installed = t.tree.install();
    SP<ZoDevice> dev = scsiDisk("/dev/sdc");

    std::list<ZoPartInfo> out;
    ASSERT_EQ(0, parts(dev)->getPartitions(out, nullptr, false));
    ASSERT_EQ(20u, out.size()) << describe(out);
    EXPECT_TRUE(installed.host().rereads().empty());
    int n = 0;
    for (const ZoPartInfo& p : out) {
        ++n;
        EXPECT_EQ(n, p.partNumber);
        EXPECT_EQ("/dev/sdc" + std::to_string(n), std::string(p.partName));
        if (n <= 15) {
            EXPECT_EQ(8, p.major) << p.partName;
            EXPECT_EQ(32 + n, p.minor) << p.partName;
        } else {
            EXPECT_EQ(259, p.major) << p.partName;
            EXPECT_EQ(40 - n, p.minor) << p.partName;
        }
    }
}

TEST(Partitions, DiskWithoutPartitions) {
    SdcTree t("label: gpt\n", {});
    auto installed = t.tree.install();
    zotest::LogCapture log;
    SP<ZoDevice> dev = scsiDisk("/dev/sdc");
    std::list<ZoPartInfo> out(2);
    CLuError err;
    EXPECT_EQ(0, parts(dev)->getPartitions(out, &err, false));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(err.IsError());
    EXPECT_EQ(1u, log.count("All partition devices found on /dev/sdc")) << log.dump();
}

// A disk without a partition table has no partitions; a disk that cannot be
// read at all (a node without contents in a host tree) fails the reader.
TEST(Partitions, BlankAndUnreadableDisks) {
    SdcTree t("", {});
    auto installed = t.tree.install();
    SP<ZoDevice> dev = scsiDisk("/dev/sdc");
    std::list<ZoPartInfo> out(1);
    CLuError err;
    EXPECT_EQ(0, parts(dev)->getPartitions(out, &err, false));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(installed.host().rereads().empty());

    t.tree.remove("/dev/sdc");  // the node is now made up from sysfs, without contents
    EXPECT_LT(parts(dev)->getPartitions(out, &err, false), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ("Failed to get partitions from device", err.AsString());
    EXPECT_EQ(774, err.GetCode());
}

TEST(Partitions, RefusedNodes) {
    SdcTree t(kThreeParts, {1});
    auto installed = t.tree.install();
    struct Case {
        const char* node;
        const char* message;
        int code;
    } cases[] = {
        {"/dev/sdc1", "getPartitions called on a partition", 774},
        {"/dev/sdq", "Failed to stat device [/dev/sdq]", ENOENT},
    };
    for (const Case& c : cases) {
        SP<ZoDevice> dev = scsiDisk(c.node);
        std::list<ZoPartInfo> out(1);
        CLuError err;
        EXPECT_EQ(-1, parts(dev)->getPartitions(out, &err, true)) << c.node;
        EXPECT_TRUE(out.empty()) << c.node;
        EXPECT_EQ(c.message, err.AsString()) << c.node;
        EXPECT_EQ(c.code, err.GetCode()) << c.node;
        // A null error pointer changes nothing but the reporting.
        EXPECT_EQ(-1, parts(dev)->getPartitions(out, nullptr, true)) << c.node;
    }
    EXPECT_TRUE(installed.host().rereads().empty());
}

// A node that appears only once the table is re-read (or udev settles)
// costs exactly one re-read and one settle.
TEST(Partitions, NodeAppearingAfterRereadAndSettle) {
    for (const char* op : {"rereadPartitions", "run"}) {
        SdcTree t(kThreeParts, {1, 3});
        Faulty f(t.tree);
        zotest::LogCapture log;
        f.fault->after(op, [&] {
            if (!t.tree.exists("/sys/class/block/sdc2")) t.addNode(2, 8, 34);
        });
        SP<ZoDevice> dev = scsiDisk("/dev/sdc");
        std::list<ZoPartInfo> out;
        CLuError err;
        EXPECT_EQ(0, parts(dev)->getPartitions(out, &err, false)) << op;
        EXPECT_FALSE(err.IsError()) << op << ": " << err.AsString();
        EXPECT_EQ(3u, out.size()) << op << ": " << describe(out);
        EXPECT_EQ(std::vector<std::string>{"/dev/sdc"}, f.host().rereads()) << op;
        EXPECT_EQ(std::vector<std::string>{"udevadm settle --timeout=120"}, f.host().commandsRun())
            << op;
        EXPECT_TRUE(f.host().sleepsMs().empty()) << op;
        EXPECT_EQ(2, f.fault->count("readPartitionTable")) << op;
        EXPECT_EQ(1u, log.count("Partition device /dev/sdc2 absent or not a block device(mode 0x0), errno 2"))
            << op << "\n" << log.dump();
        EXPECT_EQ(1u, log.count("Refreshed partitions for device /dev/sdc")) << op;
        EXPECT_EQ(1u, log.count("All partition devices found on /dev/sdc")) << op;
    }
}

TEST(Partitions, NodeNeverAppearingSpendsFiveAttempts) {
    SdcTree t(kThreeParts, {1, 3});
    t.tree.remove("/sbin/udevadm");  // no settle tool: every settle fails and sleeps
    Faulty f(t.tree);
    zotest::LogCapture log;
    SP<ZoDevice> dev = scsiDisk("/dev/sdc");
    std::list<ZoPartInfo> out;
    CLuError err;
    EXPECT_EQ(0, parts(dev)->getPartitions(out, &err, false));
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(5, f.fault->count("readPartitionTable"));
    EXPECT_EQ(4u, f.host().rereads().size());
    EXPECT_EQ(std::vector<std::string>(4, " --timeout=120"), f.host().commandsRun());
    EXPECT_EQ(std::vector<unsigned long>(4, 120000UL), f.host().sleepsMs());
    EXPECT_EQ(5u, log.countContaining("Partition device /dev/sdc2 absent")) << log.dump();
    EXPECT_EQ(0u, log.countContaining("All partition devices found")) << log.dump();
    // The last attempt's records are kept: present nodes with their own
    // numbers, the missing one with the computed number.
    ASSERT_EQ(3u, out.size()) << describe(out);
    const ZoPartInfo* p2 = find(out, 2);
    ASSERT_TRUE(p2);
    EXPECT_STREQ("/dev/sdc2", p2->partName);
    EXPECT_EQ(8, p2->major);
    EXPECT_EQ(34, p2->minor);
}

TEST(Partitions, LastAttemptsReaderResultIsReturned) {
    SdcTree t(kThreeParts, {1, 3});
    Faulty f(t.tree);
    f.fault->failNth("readPartitionTable", 5, EIO);
    SP<ZoDevice> dev = scsiDisk("/dev/sdc");
    std::list<ZoPartInfo> out;
    CLuError err;
    EXPECT_LT(parts(dev)->getPartitions(out, &err, false), 0);
    EXPECT_EQ("Failed to get partitions from device", err.AsString());
    EXPECT_TRUE(out.empty()) << describe(out);
    EXPECT_EQ(4u, f.host().rereads().size());
}

TEST(Partitions, RefreshRereadsFirst) {
    SdcTree t(kThreeParts, {1, 2, 3});
    Faulty f(t.tree);
    SP<ZoDevice> dev = scsiDisk("/dev/sdc");
    std::list<ZoPartInfo> out;
    EXPECT_EQ(0, parts(dev)->getPartitions(out, nullptr, true));
    EXPECT_EQ(3u, out.size());
    EXPECT_EQ(1u, f.host().rereads().size());
    EXPECT_EQ(std::vector<std::string>{"udevadm settle --timeout=120"}, f.host().commandsRun());
}

TEST(Partitions, FailingRereadStopsTheScsiListing) {
    for (int code : {EBUSY, EIO}) {
        SdcTree t(kThreeParts, {1, 3});
        Faulty f(t.tree);
        f.fault->failAll("rereadPartitions", code);
        SP<ZoDevice> dev = scsiDisk("/dev/sdc");
        std::list<ZoPartInfo> out;
        CLuError err;
        // The first attempt finds sdc2 missing; the second one's re-read fails.
        EXPECT_EQ(-1, parts(dev)->getPartitions(out, &err, false)) << code;
        EXPECT_EQ("Failed to re-read device partitions[/dev/sdc]", err.AsString()) << code;
        EXPECT_EQ(code, err.GetCode());
        EXPECT_TRUE(out.empty()) << code;
        EXPECT_TRUE(f.host().commandsRun().empty()) << code;
        EXPECT_EQ(1, f.fault->count("readPartitionTable")) << code;
    }
}

// The settle routine: tool choice, option, failure log and sleep.
TEST(Partitions, WaitForSettle) {
    struct Case {
        bool udevsettle;
        const char* udevadm;  // where the tree has it; null: nowhere
        int timeout;
        int answer;  // exit status of the settle command; -1 leaves it unanswered
        const char* command;
        std::vector<unsigned long> sleeps;
    } cases[] = {
        {false, "/sbin/udevadm", 0, 0, "udevadm settle", {}},
        {false, "/sbin/udevadm", 120, 0, "udevadm settle --timeout=120", {}},
        {true, "/sbin/udevadm", 30, 0, "udevsettle --timeout=30", {}},
        {false, "/sbin/udevadm", 120, 1, "udevadm settle --timeout=120", {120000}},
        {false, "/sbin/udevadm", 0, 1, "udevadm settle", {}},
        // A merged /usr keeps the tool in /usr/bin (or /bin) only.
        {false, "/usr/bin/udevadm", 120, 0, "udevadm settle --timeout=120", {}},
        {false, "/bin/udevadm", 120, 0, "udevadm settle --timeout=120", {}},
        {false, "/usr/sbin/udevadm", 120, 0, "udevadm settle --timeout=120", {}},
        {false, nullptr, 120, -1, " --timeout=120", {120000}},
        {false, nullptr, 0, -1, "", {}},
        {false, nullptr, -5, -1, " --timeout=-5", {}},
    };
    for (const Case& c : cases) {
        std::ostringstream what;
        what << "udevsettle=" << c.udevsettle << " udevadm=" << (c.udevadm ? c.udevadm : "none")
             << " timeout=" << c.timeout
             << " answer=" << c.answer;
        zotest::HostTree tree;
        if (c.udevsettle) tree.write("/sbin/udevsettle", "");
        if (c.udevadm) tree.write(c.udevadm, "");
        if (c.answer >= 0) tree.answerCommand(c.command, c.answer, "", "settle said no\n");
        auto installed = tree.install();
        zotest::LogCapture log;

        waitForSettle(c.timeout);
        EXPECT_EQ(std::vector<std::string>{c.command}, installed.host().commandsRun()) << what.str();
        EXPECT_EQ(c.sleeps, installed.host().sleepsMs()) << what.str();
        const size_t failures = log.countContaining(std::string(c.command) + " return ");
        EXPECT_EQ(c.answer == 0 ? 0u : 1u, failures) << what.str() << "\n" << log.dump();
    }
}

TEST(Partitions, WaitForSettleLogsTheFailure) {
    zotest::HostTree tree;
    auto installed = tree.install();
    zotest::LogCapture log;
    waitForSettle(120);
    EXPECT_EQ(1u, log.count(" --timeout=120 return 127:no answer in host tree for:  --timeout=120"))
        << log.dump();
    EXPECT_EQ(std::vector<unsigned long>{120000}, installed.host().sleepsMs());
}

// Slice numbers a node name cannot carry never make a record.
TEST(Partitions, PartIteratorLeavesOutNumbersNoNodeCanCarry) {
    const std::string longNode = "/dev/" + std::string(1010, 'x');
    struct Case {
        std::string node;
        int number;
        const char* format;
        std::string name;  // "" when the slice is left out
    } cases[] = {
        {"/dev/sdc", 3, "%s%d", "/dev/sdc3"},
        {"/dev/nvme0n1", 2, "%sp%d", "/dev/nvme0n1p2"},
        {"/dev/sdc", 0, "%s%d", ""},
        {"/dev/sdc", -7, "%s%d", ""},
        {"/dev/sdc", 1 << 21, "%s%d", ""},
        {"/dev/sdc", 2147483647, "%s%d", ""},
        {longNode, 12345678, "%s%d", ""},
        {longNode, 1, "%s%d", longNode + "1"},
    };
    for (const Case& c : cases) {
        std::list<ZoPartInfo> out;
        slice s{};
        s.start = 2048;
        s.size = 4096;
        s.number = c.number;
        PartIterator(c.node, 8, 32, out, c.format)(s);
        const std::string what = c.node.substr(0, 20) + " #" + std::to_string(c.number);
        if (c.name.empty()) {
            EXPECT_TRUE(out.empty()) << what;
            continue;
        }
        ASSERT_EQ(1u, out.size()) << what;
        EXPECT_EQ(c.name, out.front().partName) << what;
        EXPECT_EQ(32 + c.number, out.front().minor) << what;
        EXPECT_EQ(8, out.front().major) << what;
        EXPECT_EQ(2048u, out.front().startSector) << what;
        EXPECT_EQ(4096u, out.front().numSectors) << what;
        EXPECT_EQ(512u, out.front().sectorSize) << what;
    }
}

}  // namespace
