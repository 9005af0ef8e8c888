// zodisk on the host trees shipped under examples/hosts (the builders of
// these synthetic captures are in git history up to commit 888f85b): output
// compared with tests/golden (REGENERATE=1 rewrites the files; read the
// diff), exit statuses, error lines, JSON and help, the editor, snapshot
// round trips, and the udev wait notice.
#include "cli_run.h"
#include "support/host_tree.h"

#include "../tools/udev_watch.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>

using clitest::Result;
using Json = nlohmann::json;
using Strings = std::vector<std::string>;

namespace {

const std::string kExamples = ZODEVICE_SOURCE_DIR "/examples/hosts/";

Result on(const std::string& tree, Strings args) {
    args.insert(args.begin(), {"--sysroot", tree[0] == '/' ? tree : kExamples + tree});
    return clitest::zodisk(args);
}

// A copy of a shipped tree at dir/machine, which zodisk may change.
std::string copyOf(const std::string& tree, const zotest::HostTree& dir) {
    EXPECT_EQ(std::system(("cp -a " + kExamples + tree + " " + dir.root() + "/machine").c_str()), 0);
    return dir.root() + "/machine";
}

}  // namespace

TEST(CliGolden, OutputOfShippedTrees) {
    const struct {
        std::string file;   // under tests/golden
        Strings args;       // on the tree the file is named after
        int status;
    } cases[] = {
        {"qemu-san-tree.txt", {"tree"}, 0},
        {"qemu-san-tree.json", {"--json", "tree"}, 0},
        {"qemu-san-list.txt", {"list"}, 0},
        {"qemu-san-list-mpath.txt", {"list", "--kind", "mpath"}, 0},
        {"qemu-san-show.txt", {"show", "/dev/sda", "/dev/sda1", "/dev/nvme0n1"}, 0},
        {"qemu-san-show.json", {"--json", "show", "/dev/sda", "/dev/nvme0n1p1"}, 0},
        {"qemu-san-wwid.txt", {"wwid", "/dev/sda", "/dev/sdb", "/dev/nvme0n1"}, 1},
        {"xen-guest-tree.txt", {"tree"}, 0},
        {"xen-guest-tree.json", {"--json", "tree"}, 0},
        {"xen-guest-list.txt", {"list"}, 0},
        {"xen-guest-show.txt", {"show", "/dev/mapper/mpatha", "/dev/xvdf"}, 0},
        {"xen-guest-show.json", {"-J", "show", "/dev/mapper/mpatha", "/dev/sdc1"}, 0},
    };
    const std::string golden = ZODEVICE_SOURCE_DIR "/tests/golden/";
    for (const auto& c : cases) {
        Result r = on(c.file.substr(0, c.file.find('-', 5)), c.args);
        EXPECT_EQ(r.status, c.status) << c.file << ": " << r;
        if (std::getenv("REGENERATE"))
            std::ofstream(golden + c.file, std::ios::binary) << r.out;
        EXPECT_EQ(r.out, clitest::slurp(golden + c.file)) << c.file << ": " << r;
    }
}

// Every command's status, its errors (one line each, "zodisk: " first),
// JSON that stays one valid document although the library echoes each WWID
// it derives to standard output, and help.
TEST(CliGolden, StatusErrorsJsonAndHelp) {
    const struct {
        Strings args;
        int status;
        const char* stderrHas;   // "" when standard error must be empty
        const char* stdoutHas;
    } cases[] = {
        {{"show", "/dev/sda", "/dev/nope"}, 1, "zodisk: /dev/nope: device: ", "/dev/nope\n  error:"},
        {{"wwid", "/dev/nvme0n1"}, 1, "zodisk: /dev/nvme0n1: nvme devices have no WWID\n", ""},
        {{"nvme-device", "vol-none"}, 1, "zodisk: vol-none: no NVMe device carries this", ""},
        {{"--json", "list"}, 0, "", "\"devices\""},
        {{"--json", "show", "/dev/mapper/365ba78e669a37627eb84686cfaf4b236", "/dev/x"}, 1,
         "zodisk: /dev/x: device: ", "\"map\": \"/dev/mapper/365ba"},
        {{"--json", "wwid", "/dev/sda", "/dev/sdc"}, 0, "", "\"wwids\""},
        {{"--json", "nvme-volume", "/dev/nvme1n1"}, 0, "", "\"vol0fedcba9876543210\""},
        {{"--json", "nvme-device", "vol0fedcba9876543210"}, 0, "", "\"/dev/nvme1n1\""},
        {{"--json", "xvd-to-sd", "/dev/xvdf"}, 0, "", "\"sd\""},
        {{"list", "--kind", "disk"}, 2, "zodisk: --kind: disk not in", ""},
        {{"show"}, 2, "zodisk: PATH is required", ""},
        {{"frobnicate"}, 2, "zodisk: unknown command 'frobnicate'", ""},
        {{}, 2, "zodisk: a command is required", ""},
        {{"multipath"}, 2, "zodisk: a command is required", ""},
        {{"tree", "extra"}, 2, "zodisk: The following argument was not expected: extra", ""},
        {{"--sysroot", "/nonexistent-tree", "tree"}, 2, "zodisk: --sysroot: ", ""},
        {{"--help"}, 0, "", "Usage: zodisk [OPTIONS] COMMAND\n"},
        {{"list", "--help"}, 0, "", "Usage: zodisk list [OPTIONS]\n"},
        {{"show", "--help"}, 0, "", "Usage: zodisk show [OPTIONS] PATH...\n"},
        {{"tree", "--help"}, 0, "", "Usage: zodisk tree [OPTIONS]\n"},
        {{"wwid", "--help"}, 0, "", "Usage: zodisk wwid [OPTIONS] PATH...\n"},
        {{"multipath", "--help"}, 0, "", "Usage: zodisk multipath [OPTIONS] COMMAND\n"},
        {{"multipath", "add", "--help"}, 0, "", "Usage: zodisk multipath add [OPTIONS] PATH"},
        {{"multipath", "remove", "--help"}, 0, "", "Usage: zodisk multipath remove [OPTIONS]"},
        {{"nvme-volume", "--help"}, 0, "", "Usage: zodisk nvme-volume [OPTIONS] PATH\n"},
        {{"nvme-device", "--help"}, 0, "", "Usage: zodisk nvme-device [OPTIONS] VOLUME\n"},
        {{"xvd-to-sd", "--help"}, 0, "", "Usage: zodisk xvd-to-sd [OPTIONS] NAME\n"},
        {{"sd-to-xvd", "--help"}, 0, "", "Usage: zodisk sd-to-xvd [OPTIONS] NAME\n"},
        {{"snapshot", "--help"}, 0, "", "Usage: zodisk snapshot [OPTIONS] DIR\n"},
    };
    for (const auto& c : cases) {
        Result r = on("qemu-san", c.args);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_EQ(*c.stderrHas == 0, r.err.empty()) << r;
        EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << r;
        EXPECT_NE(r.out.find(c.stdoutHas), std::string::npos) << r;
        for (size_t pos = 0; pos < r.err.size(); pos = r.err.find('\n', pos) + 1)
            ASSERT_TRUE(r.err.compare(pos, 8, "zodisk: ") == 0 && r.err.back() == '\n') << r;
        EXPECT_TRUE(r.command.find("--json") == std::string::npos || Json::accept(r.out)) << r;
        EXPECT_EQ(r.command.find("--help") == std::string::npos,
                  r.out.find("\nExit status: 0 success") == std::string::npos) << r;
    }
}

// The editor on a copy of a shipped tree prints the lines it added, in the
// file's order; a tree has no multipathd to make the map, which is an error.
// A second run finds the entry there and fails with the library's error.
TEST(CliGolden, MultipathAddPrintsTheChange) {
    zotest::HostTree dir;
    std::string copy = copyOf("xen-guest", dir);
    Result r = on(copy, {"--json", "multipath", "add", "/dev/sdc"});
    Json doc = Json::parse(r.out);
    ASSERT_EQ(doc["changes"].size(), 8u) << r;
    EXPECT_EQ(doc["changes"][0].get<std::string>().rfind(
                  "+ \twwid \"3688f616e7f2e7c440b128d94682c8dcb\" # autocreated", 0), 0u) << r;
    EXPECT_EQ(doc["changes"][1], "+ }") << r;
    EXPECT_EQ(doc["devices"][0], Json({{"path", "/dev/sdc"}, {"map", nullptr}})) << r;
    EXPECT_EQ(r.err, "zodisk: /dev/sdc: no multipath map above it after the update\n") << r;
    r = on(copy, {"multipath", "add", "/dev/sdc"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r;
}

// A capture answers as the machine it was taken from. A directory that
// holds something is refused; the capture writes nothing outside its
// directory (the machine included), and its links name machine paths.
TEST(CliSnapshot, CaptureAnswersLikeTheMachineAndStaysInItsDirectory) {
    const std::vector<Strings> questions = {{"--json", "list"}, {"--json", "tree"}, {"tree"},
        {"nvme-volume", "/dev/nvme1n1"}, {"xvd-to-sd", "/dev/xvdf"},
        {"--json", "show", "/dev/sda", "/dev/sda1", "/dev/nvme0n1", "/dev/xvdf", "/dev/xvde1"}};
    for (const char* tree : {"qemu-san", "xen-guest"}) {
        zotest::HostTree target;
        std::string machine = copyOf(tree, target), dir = target.root() + "/sub/dir";
        Result r = on(machine, {"snapshot", machine});
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_NE(r.err.find("is not empty"), std::string::npos) << r;
        r = on(machine, {"snapshot", dir});
        ASSERT_EQ(r.status, 0) << r;
        namespace fs = std::filesystem;
        EXPECT_EQ(std::distance(fs::directory_iterator(target.root()), {}), 2) << "machine, sub";
        std::string diff = "diff -r --no-dereference " + kExamples + tree + " " + machine;
        EXPECT_EQ(std::system(diff.c_str()), 0) << r;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.is_symlink() && fs::read_symlink(e).string().rfind(dir, 0) == 0)
                ADD_FAILURE() << e.path() << " names the capture's directory";
        for (const Strings& q : questions) {
            Result live = on(tree, q), captured = on(dir, q);
            EXPECT_EQ(live.status, captured.status) << live << "\n" << captured;
            EXPECT_EQ(live.out + live.err, captured.out + captured.err) << live << "\n" << captured;
        }
    }
}

// The notice comes after a second of waiting, then every ten seconds; a
// settle and the sleep that follows it are one wait; another question or a
// pause of more than a second starts a new count. Polled every 250 ms.
TEST(CliGolden, UdevNoticeCountsTheWholeWait) {
    using Wait = std::tuple<int, int, const char*>;   // from ms, to ms, activity
    const std::pair<std::vector<Wait>, const char*> cases[] = {   // waits, seconds noticed
        {{{0, 25000, "a"}}, "1 10 20 "},
        {{{0, 25000, "a"}, {25000, 42000, "a"}}, "1 10 20 30 40 "},
        {{{0, 5000, "a"}, {5000, 17000, "b"}}, "1 1 10 "},
        {{{0, 5000, "a"}, {7000, 9000, "a"}}, "1 1 "},
        {{{0, 750, "a"}}, ""},
    };
    using Time = zodisk::WaitNotice::Clock::time_point;
    for (const auto& [waits, expected] : cases) {
        zodisk::WaitNotice notice;
        std::string seconds;
        for (int ms = 0; ms <= 45000; ms += 250) {
            Time now{std::chrono::milliseconds(ms)};
            for (const auto& [from, to, activity] : waits) {
                if (ms == to)
                    notice.end(now);
                if (ms == from)
                    notice.begin("udev to settle", activity, now);
            }
            if (std::string line = notice.due(now); !line.empty())
                seconds += line.substr(line.rfind(' ') + 1, line.size() - line.rfind(' ') - 3) + " ";
        }
        EXPECT_EQ(seconds, expected) << "waits ending at " << std::get<1>(waits.back()) << " ms";
    }
    zodisk::WaitNotice notice;
    notice.begin("udev to settle", "partitions of /dev/sdb", Time());
    EXPECT_EQ(notice.due(Time(std::chrono::seconds(12))),
              "zodisk: waiting for udev to settle (partitions of /dev/sdb)... 12s\n");
}
