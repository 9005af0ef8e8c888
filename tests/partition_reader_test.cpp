// The partition-table reader against real tables written by sfdisk, checked
// against sfdisk's own account of the same image.
#include "ZoPartitionReader.h"

#include "support/disk_image.h"
#include "support/host_tree.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <tuple>
#include <vector>

namespace {

using Entry = std::tuple<int, uint64_t, uint64_t>;  // number, start, sectors

// What sfdisk (libfdisk, not libblkid) says the image holds.
std::vector<Entry> sfdiskView(const std::string& image) {
    const auto doc = nlohmann::json::parse(zotest::runTool("sfdisk --json " + zotest::shellWord(image)));
    std::vector<Entry> out;
    const auto& table = doc["partitiontable"];
    if (!table.contains("partitions"))
        return out;  // a label without partitions
    for (const auto& p : table["partitions"]) {
        const std::string node = p["node"];
        // The node is the image path followed by the partition number.
        const int number = std::stoi(node.substr(image.size()));
        out.emplace_back(number, p["start"].get<uint64_t>(), p["size"].get<uint64_t>());
    }
    return out;
}

std::vector<Entry> readerView(const std::list<slice>& slices) {
    std::vector<Entry> out;
    for (const slice& s : slices)
        out.emplace_back(s.number, s.start, s.size);
    return out;
}

std::string describe(const std::vector<Entry>& v) {
    std::ostringstream os;
    for (const auto& e : v)
        os << "#" << std::get<0>(e) << " " << std::get<1>(e) << "+" << std::get<2>(e) << "; ";
    return os.str();
}

std::string gptWith(int count) {
    std::string script = "label: gpt\n";
    for (int i = 0; i < count; ++i)
        script += ",1M\n";
    return script;
}

struct TableCase {
    const char* name;
    unsigned sizeMiB;
    std::string script;
    size_t expectedCount;
};

std::ostream& operator<<(std::ostream& os, const TableCase& c) { return os << c.name; }

class PartitionReaderTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(PartitionReaderTable, MatchesSfdisk) {
    const TableCase& c = GetParam();
    zotest::HostTree tree;
    tree.mkdir("/dev");
    zotest::makeDiskImage(tree.at("/dev/sdc"), c.sizeMiB, c.script);
    auto installed = tree.install();

    std::list<slice> slices(3);  // an earlier call's leftovers
    ASSERT_EQ(0, getPartitions("/dev/sdc", slices)) << c;
    const auto expected = sfdiskView(tree.at("/dev/sdc"));
    const auto got = readerView(slices);
    EXPECT_EQ(c.expectedCount, got.size()) << c << ": " << describe(got);
    EXPECT_EQ(expected, got) << c << "\n sfdisk: " << describe(expected) << "\n reader: " << describe(got);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, PartitionReaderTable,
    ::testing::Values(
        TableCase{"mbr_primary_and_logical", 64,
                  "label: dos\n,8M\n,8M\n,,E\n,4M\n,4M\n,\n", 6},
        TableCase{"mbr_four_primary", 32, "label: dos\n,4M\n,4M\n,4M\n,\n", 4},
        TableCase{"gpt_twenty", 40, gptWith(20), 20},
        TableCase{"gpt_empty", 8, "label: gpt\n", 0},
        TableCase{"mbr_empty", 8, "label: dos\n", 0}),
    [](const ::testing::TestParamInfo<TableCase>& i) { return std::string(i.param.name); });

// A blank disk has no partitions; a disk that cannot be read fails. Both
// leave no earlier slices behind.
TEST(PartitionReader, BlankDiskIsEmptyAndUnreadableDiskIsNegative) {
    zotest::HostTree tree;
    tree.mkdir("/dev");
    zotest::makeDiskImage(tree.at("/dev/blank"), 8, "");
    auto installed = tree.install();

    struct {
        const char* node;
        bool readable;
    } cases[] = {{"/dev/blank", true}, {"/dev/missing", false}};
    for (const auto& c : cases) {
        std::list<slice> slices(2);
        const int rc = getPartitions(c.node, slices);
        if (c.readable)
            EXPECT_EQ(0, rc) << c.node;
        else
            EXPECT_LT(rc, 0) << c.node;
        EXPECT_TRUE(slices.empty()) << c.node;
    }
}

TEST(PartitionReader, LiveHostReadsAnImageFile) {
    zotest::HostTree dir;  // only a temporary directory here
    const std::string image = dir.at("/disk.img");
    zotest::makeDiskImage(image, 16, "label: gpt\n,2M\n,3M\n");
    std::list<slice> slices;
    ASSERT_EQ(0, getPartitions(image.c_str(), slices));
    EXPECT_EQ(sfdiskView(image), readerView(slices));
}

}  // namespace
