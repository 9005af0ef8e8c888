// SPDX-License-Identifier: LGPL-2.1-or-later
// Partition discovery with udev settling on host trees holding sfdisk-made
// tables, checked against sfdisk's own account of each table.
#include "test.h"

#include "ZoPartitionDiscovery.h"

#include <nlohmann/json.hpp>

#include <map>

namespace {

const char kUdevadm[] = "/sbin/udevadm";

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

// getPartitions of a SCSI disk (sdc, 8:32) on a host tree, one row of
// tests/data/partition-discovery.tsv each: its result, what it cost (table
// reads, re-reads, settle commands, sleep), its log lines (failed settles,
// "All partition devices found", "sdc2 absent"), its error and its records.
TEST(Partitions, DiscoveryLoop) {
    const std::map<std::string, int> errnos = {{"EBUSY", EBUSY}, {"EIO", EIO}};
    const auto rows = zotest::readTable(ZODEVICE_SOURCE_DIR "/tests/data/partition-discovery.tsv", 9);
    EXPECT_EQ(11u, rows.size());
    for (const auto& row : rows) {
        const std::string& name = row[0], &script = row[1], &op = row[4];
        const int nth = std::stoi(row[5]), fails = errnos.count(row[6]) ? errnos.at(row[6]) : std::stoi(row[6]);
        zotest::HostTree tree;
        tree.addBlockDevice("sdc", 8, 32, 262144, "/sys/devices/platform/host2/target2:0:0/2:0:0:1/block/sdc");
        if (script != "-") zotest::makeDiskImage(tree.at("/dev/sdc"), 128, script);
        if (row[3] != "-") tree.write(row[3], "");
        tree.answerCommand("udevadm settle --timeout=120", 0, "");
        tree.answerCommand("udevsettle --timeout=120", 0, "");
        auto addNode = [&](int n) {
            tree.addPartition("sdc", "sdc" + std::to_string(n), n, n < 16 ? 8 : 259, n < 16 ? 32 + n : 40 - n, 0, 0);
        };
        for (const std::string& n : zotest::split(row[2], ' '))
            if (!n.empty()) std::stoi(n) < 0 ? tree.write("/dev/sdc" + n.substr(1), "") : addNode(std::stoi(n));
        const std::string expected = row[8] + (row[7] == "yes" ? sfdiskRecords(tree.at("/dev/sdc")) : "");
        zotest::FaultyInstall installed(tree);
        auto& fault = installed.fault;
        if (op != "-" && !fails) fault->after(op, [&] { if (!tree.exists("/sys/class/block/sdc2")) addNode(2); });
        if (fails) nth ? fault->failNth(op, nth, fails) : fault->failAll(op, fails);
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
        EXPECT_EQ(expected, got.str()) << name << "\n" << log.dump();
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
