// Partition discovery with udev settling on host trees holding sfdisk-made
// tables, checked against sfdisk's own account of each table.
#include "test.h"

#include "ZoPartitionDiscovery.h"

#include <nlohmann/json.hpp>

namespace {

const char kThreeParts[] = "label: dos\n,8M\n,8M\n,8M\n";
const char kUdevadm[] = "/sbin/udevadm";

std::string gptWith(int count) {
    std::string script = "label: gpt\n";
    for (int i = 0; i < count; ++i) script += ",1M\n";
    return script;
}

// /dev/sdc's records as sfdisk (libfdisk, not libblkid) reads the image: nodes
// below 16 on 8:32+n, from 16 up on the extended major with numbers handed
// out of order (259:40-n).
std::string sfdiskRecords(const std::string& image) {
    if (std::system(("sfdisk --json " + image + " > " + image + ".json").c_str()) != 0) return "sfdisk failed";
    std::ostringstream os;
    for (const auto& p : nlohmann::json::parse(std::ifstream(image + ".json"))["partitiontable"].value(
             "partitions", nlohmann::json::array())) {
        const int n = std::stoi(p["node"].get<std::string>().substr(image.size()));
        os << "/dev/sdc" << n << " " << n << " " << (n < 16 ? 8 : 259) << ":" << (n < 16 ? 32 + n : 40 - n) << " "
           << p["start"] << "+" << p["size"] << " 512; ";
    }
    return os.str();
}

// getPartitions of a SCSI disk (sdc, 8:32) on a host tree: its result, what
// it cost (table reads, re-reads, settle commands, sleep), its log lines
// (failed settles, "All partition devices found", "sdc2 absent"), its error
// and its records.
TEST(Partitions, DiscoveryLoop) {
    std::vector<int> twenty(20);
    std::iota(twenty.begin(), twenty.end(), 1);
    const std::string clean = " slept=0 failed=0 found=1 ";
    const std::string quiet = "0 reads=1 rereads=0 settles=0" + clean + "absent=0 [] ";
    struct Case {
        const char* name;
        std::string script;      // "-": the node has no contents (unreadable)
        std::vector<int> nodes;  // partition nodes present at the start (-n: a plain file)
        const char* tool;        // where the settle tool is; null: nowhere
        const char* op;          // with err 0: node 2 appears after op;
        int nth, err;            // otherwise op's nth call (0: every call) fails with err
        bool listed;             // the records are sfdisk's view of the table
        std::string outcome;
    } cases[] = {
        {"gpt with 20", gptWith(20), twenty, kUdevadm, nullptr, 0, 0, true, quiet},
        {"mbr with logicals", "label: dos\n,8M\n,8M\n,,E\n,4M\n,4M\n,\n", {1, 2, 3, 5, 6, 7}, kUdevadm, nullptr, 0, 0,
         true, quiet},
        {"no partitions", "label: gpt\n", {}, kUdevadm, nullptr, 0, 0, true, quiet},
        {"no table", "", {}, kUdevadm, nullptr, 0, 0, false, quiet},
        {"unreadable", "-", {}, kUdevadm, nullptr, 0, 0, false,
         "-1 reads=1 rereads=0 settles=0" + clean + "absent=0 [Failed to get partitions from device] "},
        {"appears after re-read", kThreeParts, {1, 3}, "/usr/bin/udevadm", "rereadPartitions", 0, 0, true,
         "0 reads=2 rereads=1 settles=1[udevadm settle --timeout=120]" + clean + "absent=1 [] "},
        {"appears after settle", kThreeParts, {1, 3}, "/sbin/udevsettle", "run", 0, 0, true,
         "0 reads=2 rereads=1 settles=1[udevsettle --timeout=120]" + clean + "absent=1 [] "},
        {"node 2 a plain file", kThreeParts, {1, 3, -2}, kUdevadm, "rereadPartitions", 0, EBUSY, false,
         "-1 reads=1 rereads=1 settles=0 slept=0 failed=0 found=0 absent=0 "
         "[Failed to re-read device partitions[/dev/sdc]] "},
        {"busy re-read", kThreeParts, {1, 3}, kUdevadm, "rereadPartitions", 0, EBUSY, false,
         "-1 reads=1 rereads=1 settles=0 slept=0 failed=0 found=0 absent=1 "
         "[Failed to re-read device partitions[/dev/sdc]] "},
        {"never appears, settles fail", kThreeParts, {1, 3}, "/bin/udevadm", "run", 0, 1, true,
         "0 reads=5 rereads=4 settles=4[udevadm settle --timeout=120] slept=480000 failed=4 found=0 absent=5 [] "},
        {"never appears, no tool, last read fails", kThreeParts, {1, 3}, nullptr, "readPartitionTable", 5, EIO, false,
         "-1 reads=5 rereads=4 settles=4[ --timeout=120] slept=480000 failed=4 found=1 absent=4 "
         "[Failed to get partitions from device] "},
    };
    for (const Case& c : cases) {
        zotest::HostTree tree;
        tree.addBlockDevice("sdc", 8, 32, 262144, "/sys/devices/platform/host2/target2:0:0/2:0:0:1/block/sdc");
        if (c.script != "-") zotest::makeDiskImage(tree.at("/dev/sdc"), 128, c.script);
        if (c.tool) tree.write(c.tool, "");
        tree.answerCommand("udevadm settle --timeout=120", 0, "");
        tree.answerCommand("udevsettle --timeout=120", 0, "");
        auto addNode = [&](int n) {
            tree.addPartition("sdc", "sdc" + std::to_string(n), n, n < 16 ? 8 : 259, n < 16 ? 32 + n : 40 - n, 0, 0);
        };
        for (int n : c.nodes) n < 0 ? tree.write("/dev/sdc" + std::to_string(-n), "") : addNode(n);
        const std::string expected = c.outcome + (c.listed ? sfdiskRecords(tree.at("/dev/sdc")) : "");
        zotest::FaultyInstall installed(tree);
        auto& fault = installed.fault;
        if (c.op && !c.err) fault->after(c.op, [&] { if (!tree.exists("/sys/class/block/sdc2")) addNode(2); });
        if (c.err) c.nth ? fault->failNth(c.op, c.nth, c.err) : fault->failAll(c.op, c.err);
        zotest::LogCapture log;
        std::list<ZoPartInfo> out(1);
        CLuError err;
        UXScsiTarget target("/dev/sdc", false);
        const int rc = ZoScsiDiskDevice(target).getPartitions(out, &err, false);
        const auto cmds = fault->commands();
        const auto sleeps = installed.host().sleepsMs();
        std::ostringstream got;
        got << rc << " reads=" << fault->count("readPartitionTable") << " rereads=" << fault->count("rereadPartitions")
            << " settles=" << cmds.size();
        for (const std::string& cmd : std::set<std::string>(cmds.begin(), cmds.end())) got << "[" << cmd << "]";
        got << " slept=" << std::accumulate(sleeps.begin(), sleeps.end(), 0UL)
            << " failed=" << log.countContaining("--timeout=120 return ")
            << " found=" << log.count("All partition devices found on /dev/sdc")
            << " absent=" << log.count("Partition device /dev/sdc2 absent or not a block device(mode 0x0), errno 2")
            << " [" << err.AsString() << "] " << zotest::describeParts(out);
        EXPECT_EQ(expected, got.str()) << c.name << "\n" << log.dump();
    }
}

// Without a time-out the settle command has no option, and a failure no sleep.
TEST(Partitions, SettleWithoutTimeout) {
    zotest::HostTree tree;
    tree.write(kUdevadm, "");
    tree.answerCommand("udevadm settle", 1, "", "settle said no\n");
    auto installed = tree.install();
    zotest::LogCapture log;
    waitForSettle(0);
    EXPECT_EQ(std::vector<std::string>{"udevadm settle"}, installed.host().commandsRun());
    EXPECT_TRUE(installed.host().sleepsMs().empty());
    EXPECT_EQ(1u, log.count("udevadm settle return 1:settle said no\n")) << log.dump();
}

// Slice numbers a node name cannot carry never make a record.
TEST(Partitions, PartIteratorLeavesOutNumbersNoNodeCanCarry) {
    const std::string longNode = "/dev/" + std::string(1010, 'x');
    struct Case {
        std::string node;
        int number;
        std::string record;  // "" when the slice is left out
    } cases[] = {{"/dev/sdc", 3, "/dev/sdc3 3 8:35 2048+4096 512; "}, {"/dev/sdc", 0, ""}, {"/dev/sdc", 2147483647, ""},
                 {longNode, 12345678, ""}, {longNode, 1, longNode + "1 1 8:33 2048+4096 512; "}};
    for (const Case& c : cases) {
        std::list<ZoPartInfo> out;
        PartIterator(c.node, 8, 32, out)(slice{2048, 4096, 0, c.number, 0});
        EXPECT_EQ(c.record, zotest::describeParts(out)) << c.node.substr(0, 20) << " #" << c.number;
    }
}

}  // namespace
