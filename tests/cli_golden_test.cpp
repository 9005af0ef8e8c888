// zodisk on the host trees shipped under examples/hosts: text and JSON
// output compared with tests/golden (REGENERATE=1 rewrites the files; read
// the diff before committing), exit statuses, help and usage errors.
#include "cli_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>

using clitest::Result;
using clitest::zodisk;

namespace {

const std::string kExamples = ZODEVICE_SOURCE_DIR "/examples/hosts/";
const std::string kGolden = ZODEVICE_SOURCE_DIR "/tests/golden/";

struct GoldenCase {
    const char* file;   // under tests/golden
    const char* tree;   // under examples/hosts
    std::vector<std::string> args;
    int status;
};

const GoldenCase kGoldenCases[] = {
    {"qemu-san-tree.txt", "qemu-san", {"tree"}, 0},
    {"qemu-san-tree.json", "qemu-san", {"--json", "tree"}, 0},
    {"qemu-san-list.txt", "qemu-san", {"list"}, 0},
    {"qemu-san-list.json", "qemu-san", {"-J", "list"}, 0},
    {"qemu-san-list-mpath.txt", "qemu-san", {"list", "--kind", "mpath"}, 0},
    {"qemu-san-show.txt", "qemu-san", {"show", "/dev/sda", "/dev/sda1", "/dev/nvme0n1"}, 0},
    {"qemu-san-show.json", "qemu-san", {"--json", "show", "/dev/sda", "/dev/nvme0n1p1"}, 0},
    {"qemu-san-wwid.txt", "qemu-san", {"wwid", "/dev/sda", "/dev/sdb", "/dev/nvme0n1"}, 1},
    {"xen-guest-tree.txt", "xen-guest", {"tree"}, 0},
    {"xen-guest-tree.json", "xen-guest", {"--json", "tree"}, 0},
    {"xen-guest-list.txt", "xen-guest", {"list"}, 0},
    {"xen-guest-show.txt", "xen-guest", {"show", "/dev/mapper/mpatha", "/dev/xvdf"}, 0},
    {"xen-guest-show.json", "xen-guest", {"-J", "show", "/dev/mapper/mpatha", "/dev/sdc1"}, 0},
};

std::vector<std::string> rooted(const std::string& tree, std::vector<std::string> args) {
    args.insert(args.begin(), {"--sysroot", kExamples + tree});
    return args;
}

}  // namespace

TEST(CliGolden, OutputOfShippedTrees) {
    bool regenerate = std::getenv("REGENERATE") != nullptr;
    for (const GoldenCase& c : kGoldenCases) {
        std::vector<std::string> args = rooted(c.tree, c.args);
        Result r = zodisk(args);
        std::string what = c.file + std::string(": ") + clitest::describe(args, r);
        EXPECT_EQ(r.status, c.status) << what;
        if (regenerate) {
            std::ofstream(kGolden + c.file, std::ios::binary) << r.out;
            continue;
        }
        EXPECT_EQ(r.out, clitest::slurp(kGolden + c.file)) << what;
    }
}

// Standard output stays one valid JSON document in every command, although
// the library echoes each WWID it derives to standard output.
TEST(CliGolden, JsonStaysValidWhileTheSerialIsEchoed) {
    const std::vector<std::vector<std::string>> commands = {
        {"list"},
        {"tree"},
        {"show", "/dev/sda", "/dev/mapper/365ba78e669a37627eb84686cfaf4b236", "/dev/missing"},
        {"wwid", "/dev/sda", "/dev/sdc"},
        {"nvme-volume", "/dev/nvme1n1"},
        {"nvme-device", "vol0fedcba9876543210"},
        {"xvd-to-sd", "/dev/xvdf"},
        {"sd-to-xvd", "/dev/sdb"},
    };
    for (const auto& cmd : commands) {
        std::vector<std::string> args = cmd;
        args.insert(args.begin(), "--json");
        args = rooted("qemu-san", args);
        Result r = zodisk(args);
        std::string what = clitest::describe(args, r);
        EXPECT_NE(r.status, 2) << what;
        EXPECT_TRUE(nlohmann::json::accept(r.out)) << what;
    }
    // The WWID the library echoed is the one the tool printed, once.
    Result r = zodisk(rooted("qemu-san", {"--json", "wwid", "/dev/sda"}));
    nlohmann::json doc = nlohmann::json::parse(r.out);
    std::string wwid = doc["wwids"][0]["wwid"];
    EXPECT_EQ(wwid.size(), 33u) << r.out;
    EXPECT_EQ(r.out.find(wwid), r.out.rfind(wwid)) << r.out;
}

TEST(CliGolden, ExitStatusAndErrorLines) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* stderrHas;   // "" when standard error must be empty
    };
    const Case cases[] = {
        {{"show", "/dev/xvdf"}, 0, ""},
        {{"show", "/dev/xvdf", "/dev/nope"}, 1, "zodisk: /dev/nope: device: "},
        {{"wwid", "/dev/xvdf"}, 1, "zodisk: /dev/xvdf: xvd devices have no WWID"},
        {{"wwid", "/dev/sdc"}, 0, ""},
        {{"nvme-volume", "/dev/sdc"}, 1, "zodisk: /dev/sdc: "},
        {{"nvme-device", "vol-none"}, 1, "no NVMe device carries this volume id"},
        {{"xvd-to-sd", "/dev/xvdf"}, 0, ""},
        {{"list", "--kind", "disk"}, 2, "zodisk: --kind: disk not in"},
        {{"show"}, 2, "zodisk: PATH is required"},
        {{"frobnicate"}, 2, "zodisk: unknown command 'frobnicate'"},
        {{}, 2, "zodisk: a command is required"},
        {{"multipath"}, 2, "zodisk: "},
        {{"tree", "extra"}, 2, "zodisk: "},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = rooted("xen-guest", c.args);
        Result r = zodisk(args);
        std::string what = clitest::describe(args, r);
        EXPECT_EQ(r.status, c.status) << what;
        if (*c.stderrHas == 0) {
            EXPECT_EQ(r.err, "") << what;
            continue;
        }
        EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << what;
        // One line per error, each starting "zodisk: ".
        size_t pos = 0;
        while (pos < r.err.size()) {
            EXPECT_EQ(r.err.compare(pos, 8, "zodisk: "), 0) << what;
            pos = r.err.find('\n', pos) + 1;
            ASSERT_NE(pos, 0u) << "unterminated error line: " << what;
        }
    }
    Result r = zodisk({"--sysroot", "/nonexistent-tree", "tree"});
    EXPECT_EQ(r.status, 2) << r.err;
}

TEST(CliGolden, HelpOfEveryCommand) {
    const std::vector<std::vector<std::string>> commands = {
        {},          {"list"},        {"show"},        {"tree"},
        {"wwid"},    {"multipath"},   {"multipath", "add"}, {"multipath", "remove"},
        {"nvme-volume"}, {"nvme-device"}, {"xvd-to-sd"}, {"sd-to-xvd"}, {"snapshot"},
    };
    for (const auto& cmd : commands) {
        std::vector<std::string> args = cmd;
        args.push_back("--help");
        Result r = zodisk(args);
        std::string what = clitest::describe(args, r);
        EXPECT_EQ(r.status, 0) << what;
        std::string usage = "Usage: zodisk";
        for (const std::string& w : cmd)
            usage += " " + w;
        EXPECT_NE(r.out.find(usage), std::string::npos) << what;
        EXPECT_NE(r.out.find("Exit status: 0 success"), std::string::npos) << what;
    }
}

// The editor on a copy of a shipped tree: the changed lines, and the
// result on a second run that finds the entries already there.
TEST(CliGolden, MultipathAddPrintsTheChange) {
    std::string dir = ::testing::TempDir() + "zodisk-edit";
    std::system(("rm -rf '" + dir + "' && cp -a '" + kExamples + "xen-guest' '" + dir + "'").c_str());
    Result r = zodisk({"--sysroot", dir, "--json", "multipath", "add", "/dev/sdc"});
    std::string what = clitest::describe({"multipath", "add", "/dev/sdc"}, r);
    ASSERT_TRUE(nlohmann::json::accept(r.out)) << what;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    bool added = false;
    for (const auto& line : doc["changes"])
        added = added || line.get<std::string>().find("3688f616e7f2e7c440b128d94682c8dcb") !=
                             std::string::npos;
    EXPECT_TRUE(added) << what;
    EXPECT_EQ(doc["devices"][0]["path"], "/dev/sdc") << what;

    Result again = zodisk({"--sysroot", dir, "multipath", "add", "/dev/sdc"});
    what = clitest::describe({"multipath", "add", "/dev/sdc"}, again);
    EXPECT_EQ(again.status, 1) << what;
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << what;
    std::system(("rm -rf '" + dir + "'").c_str());
}
