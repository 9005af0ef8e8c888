// zodisk on examples/hosts/qemu-guest, the tree `zodisk snapshot` captured in
// the real-kernel suite's multipath guest (tests/kernel/capture-example.sh):
// text and JSON output compared with tests/golden/qemu-guest-* (REGENERATE=1
// rewrites the files; read the diff before committing).
#include "cli_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>

using clitest::Result;
using clitest::zodisk;

namespace {

const std::string kTree = ZODEVICE_SOURCE_DIR "/examples/hosts/qemu-guest";
const std::string kGolden = ZODEVICE_SOURCE_DIR "/tests/golden/";
const std::string kMap = "/dev/mapper/333333330000007d0";

struct GoldenCase {
    const char* file;   // under tests/golden
    std::vector<std::string> args;
    int status;
};

// The paths of the map (sda, sdc) report their failed re-read as on the
// machine, so commands that include them exit 1; a partition map is of no
// kind of its own.
const GoldenCase kCases[] = {
    {"qemu-guest-tree.txt", {"tree"}, 0},
    {"qemu-guest-tree.json", {"--json", "tree"}, 0},
    {"qemu-guest-list.txt", {"list"}, 1},
    {"qemu-guest-list.json", {"--json", "list"}, 1},
    {"qemu-guest-list-mpath.txt", {"list", "--kind", "mpath"}, 0},
    {"qemu-guest-show.txt", {"show", "/dev/sdb", "/dev/sdb1", kMap, "/dev/nvme0n1"}, 0},
    {"qemu-guest-show.json", {"--json", "show", "/dev/sdd", "/dev/sdd2", kMap, "/dev/nvme0n1p1"}, 0},
    {"qemu-guest-show-path.txt", {"show", "/dev/sda"}, 1},
    {"qemu-guest-show-partmap.json", {"--json", "show", kMap + "-part1", "/dev/vda"}, 1},
};

}  // namespace

TEST(CliGuestGolden, OutputOfTheCapturedGuest) {
    bool regenerate = std::getenv("REGENERATE") != nullptr;
    for (const GoldenCase& c : kCases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--sysroot", kTree});
        Result r = zodisk(args);
        std::string what = c.file + std::string(": ") + clitest::describe(args, r);
        EXPECT_EQ(r.status, c.status) << what;
        if (c.args.front() == "--json") {
            EXPECT_TRUE(nlohmann::json::accept(r.out)) << what;
        }
        if (regenerate) {
            std::ofstream(kGolden + c.file, std::ios::binary) << r.out;
            continue;
        }
        EXPECT_EQ(r.out, clitest::slurp(kGolden + c.file)) << what;
    }
}

// The conversions answer from the capture as in the guest: the NVMe
// namespace's volume id is its controller's serial, and back.
TEST(CliGuestGolden, NvmeVolumeIdBothWays) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"nvme-volume", "/dev/nvme0n1"}, "vol0123456789abcdef0\n"},
        {{"nvme-device", "vol0123456789abcdef0"}, "/dev/nvme0n1\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--sysroot", kTree});
        Result r = zodisk(args);
        std::string what = clitest::describe(args, r);
        EXPECT_EQ(r.status, 0) << what;
        EXPECT_EQ(r.out, c.out) << what;
    }
}
