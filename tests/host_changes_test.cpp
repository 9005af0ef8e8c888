// SPDX-License-Identifier: LGPL-2.1-or-later
// A host over time: zodisk diff on copies of shipped trees changed by a
// shell command each (tests/data/diffs.tsv), its JSON, the host it calls
// now and its failures; the watcher driven event by event on a tree, which
// re-reads only what an event touched and ends with the view a full
// reading gives; zodisk metrics checked by promtool on every shipped tree,
// with the example alerting rules under promtool's own rule tests.
#include "test.h"

#include "../tools/watcher.h"
#include "ZoSysfs.h"

#include <nlohmann/json.hpp>

#include <regex>

namespace {

using zotest::slurp;

const std::string kSource = ZODEVICE_SOURCE_DIR;

struct Ran {
    int status = -1;
    std::string out, err, command;
};

std::ostream& operator<<(std::ostream& os, const Ran& r) {
    return os << r.command << "\n-> exit " << r.status << "\nstdout:\n" << r.out << "stderr:\n" << r.err;
}

// Runs a shell command line in dir (zodisk is the built one) and keeps its
// exit status and both streams.
Ran shell(const std::string& line, const std::string& dir = "/") {
    zotest::HostTree scratch;
    Ran r;
    r.command = line;
    const std::string full = "cd " + FXString::ShellQuote(dir) + " && ZODISK=" ZODEVICE_BINARY_DIR
                             "/tools/zodisk LC_ALL=C.UTF-8 timeout 60 sh -c " + FXString::ShellQuote(line) +
                             " >" + scratch.at("/out") + " 2>" + scratch.at("/err") + " </dev/null";
    const int w = std::system(full.c_str());
    r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    r.out = slurp(scratch.at("/out"));
    r.err = slurp(scratch.at("/err"));
    return r;
}

std::string shipped(const std::string& tree) {
    std::string examples = kSource + "/examples/hosts/" + tree;
    return fs::exists(examples) ? examples : zotest::dataTree(tree);
}

// dir/before and dir/after, copies of a shipped tree.
void twoCopies(const std::string& tree, const zotest::HostTree& dir) {
    for (const char* side : {"/before", "/after"})
        ASSERT_EQ(std::system(("cp -a " + shipped(tree) + " " + dir.at(side)).c_str()), 0);
}

TEST(HostChanges, DiffOfChangedCopies) {
    for (const auto& c : zotest::readTable(kSource + "/tests/data/diffs.tsv", 5)) {
        zotest::HostTree dir;
        twoCopies(c[0], dir);
        ASSERT_EQ(shell(c[3], dir.at("/" + c[1])).status, 0) << c[3];
        Ran r = shell("$ZODISK diff before after", dir.root());
        EXPECT_EQ(std::to_string(r.status), c[2]) << c[3] << "\n" << r;
        EXPECT_EQ(r.out, c[4]) << c[3] << "\n" << r;
        EXPECT_EQ(r.err, "") << r;
    }
}

// "Now" is the host zodisk answers from (here a tree given with --sysroot),
// read after the capture in the same process; JSON says the same.
TEST(HostChanges, DiffJsonNowAndFailures) {
    zotest::HostTree dir;
    twoCopies("sick-san", dir);
    const std::string fail = "sed -i 's/8:16 A/8:16 F/' after/.zohost/dm/253:3";
    ASSERT_EQ(shell(fail, dir.root()).status, 0);
    Ran plain = shell("$ZODISK diff before after", dir.root());
    EXPECT_EQ(plain.out, "sdb failed in data: 0 of 2 paths active\n") << plain;
    for (const char* now : {"diff before -", "diff before --live", "diff --live before"}) {
        Ran r = shell(std::string("$ZODISK --sysroot after ") + now, dir.root());
        EXPECT_TRUE(r.status == 1 && r.out == plain.out) << r;
    }
    Ran back = shell("$ZODISK --sysroot before diff - after", dir.root());
    EXPECT_TRUE(back.status == 1 && back.out == plain.out) << back;

    Ran j = shell("$ZODISK --json diff before after", dir.root());
    ASSERT_TRUE(nlohmann::json::accept(j.out)) << j;
    nlohmann::json doc = nlohmann::json::parse(j.out);
    EXPECT_EQ(doc["before"], "before");
    ASSERT_EQ(doc["changes"].size(), 1u) << j;
    const nlohmann::json& c = doc["changes"][0];
    EXPECT_EQ(c["group"], "data");
    EXPECT_EQ(c["change"], "path-state");
    EXPECT_EQ(c["device"], "sdb");
    EXPECT_EQ(c["place"], "0:0:0:1");
    EXPECT_EQ(c["wwid"], "3615c0289ec2d0a9167ec8e65a18debbe");
    EXPECT_EQ(c["facts"], nlohmann::json::parse(R"({"dm_state": {"before": "active", "after": "failed"}})"));

    const std::vector<std::pair<std::string, std::string>> failures = {
        {"$ZODISK diff nope after", "zodisk: diff: nope: No such file or directory\n"},
        {"$ZODISK diff before/etc/multipath.conf after", "zodisk: diff: before/etc/multipath.conf: not a directory\n"},
        {"$ZODISK diff before/etc after", "zodisk: diff: before/etc is not a host tree"},
        {"$ZODISK diff before", "zodisk: diff: give AFTER or --live"},
        {"$ZODISK diff before after --live", "zodisk: diff: give AFTER or --live"},
    };
    for (const auto& [line, err] : failures) {
        Ran r = shell(line, dir.root());
        EXPECT_TRUE(r.status == 2 && r.out.empty() && r.err.rfind(err, 0) == 0) << r;
    }
}

// A capture of a tree is the same host: the order of its directories and
// the time in its command table are no change.
TEST(HostChanges, ACaptureDiffersInNothing) {
    for (const char* tree : {"qemu-guest", "qemu-san", "sick-san"}) {
        zotest::HostTree dir;
        Ran snap = shell("$ZODISK --sysroot " + shipped(tree) + " snapshot capture", dir.root());
        ASSERT_EQ(snap.status, 0) << snap;
        Ran r = shell("$ZODISK diff " + shipped(tree) + " capture", dir.root());
        EXPECT_TRUE(r.status == 0 && r.out.empty()) << r;
    }
}

ZoHostInventory fullReading() {
    ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
    EXPECT_TRUE(inv.ok()) << inv.error().AsString();
    return inv.ok() ? std::move(*inv) : ZoHostInventory();
}

std::string messages(const std::vector<zodisk::Change>& changes) {
    std::string s;
    for (const zodisk::Change& c : changes) s += c.message + "\n";
    return s;
}

// Each event re-reads its devices' stack only; after them all the watcher's
// view is the view a full reading gives.
TEST(HostChanges, WatcherRereadsWhatAnEventTouched) {
    zotest::HostTree tree(zotest::dataTree("sick-san"));
    auto installed = tree.install();
    zodisk::Watcher w;
    std::string why;
    ASSERT_TRUE(w.start(&why)) << why;
    EXPECT_EQ(w.lastRead(), 7u);

    const std::string dm3 = tree.read("/.zohost/dm/253:3");
    tree.write("/.zohost/dm/253:3", std::regex_replace(dm3, std::regex("8:16 A 0"), "8:16 F 1"));
    const zodisk::DeviceEvent failed{"change", "dm-3", 253, 3, "PATH_FAILED", "8:16"};
    EXPECT_EQ(messages(w.handle(failed)), "sdb failed in data: 0 of 2 paths active\n");
    EXPECT_EQ(w.lastRead(), 3u);   // the map and its two paths
    EXPECT_EQ(messages(w.handle(failed)), "");

    const std::string sde = tree.sysDirOf("sde");
    tree.write(sde + "/size", "4194304\n");
    EXPECT_EQ(messages(w.handle({"change", "sde", 8, 64, "", ""})), "sde: size 1G -> 2G\n");
    EXPECT_EQ(w.lastRead(), 1u);

    // sdc goes: the kernel takes it from the map's table and from sysfs.
    tree.write("/.zohost/dm/253:3",
               "table 0 2097152 multipath 1 queue_if_no_path 0 1 1 service-time 0 1 1 8:16 1\n"
               "status 0 2097152 multipath 2 0 0 0 1 1 A 0 1 2 8:16 F 1 0 1\n");
    const std::string sdc = tree.sysDirOf("sdc");
    ASSERT_FALSE(sdc.empty());
    for (const std::string& p : {sdc, std::string("/sys/dev/block/8:32"), std::string("/sys/block/sdc"),
                                 std::string("/sys/class/block/sdc"),
                                 std::string("/sys/devices/virtual/block/dm-3/slaves/sdc")})
        tree.remove(p);
    EXPECT_EQ(messages(w.handle({"remove", "sdc", 8, 32, "", ""})),
              "data lost path sdc (1:0:0:2): 0 of 1 path active\n");
    EXPECT_EQ(w.lastRead(), 2u);

    EXPECT_TRUE(w.handle({"change", "loop0", 7, 0, "", ""}).empty());
    EXPECT_EQ(w.lastRead(), 2u);   // not read at all

    zodisk::HostView full = zodisk::viewOf(fullReading());
    full.config = w.view().config;
    EXPECT_EQ(messages(zodisk::compareViews(w.view(), full)), "");
    EXPECT_EQ(full.units.size(), w.view().units.size());
}

// An event re-reads its devices only: the fabric endpoints and the other
// NVMe paths it does not touch are no change (neither appeared nor lost).
TEST(HostChanges, WatcherEventOnAFabricHostIsNoChange) {
    zotest::HostTree tree(zotest::dataTree("fabric"));
    auto installed = tree.install();
    zodisk::Watcher w;
    std::string why;
    ASSERT_TRUE(w.start(&why)) << why;
    auto changeOf = [&](const std::string& disk) {
        zodisk::DeviceEvent e{"change", disk, 0, 0, "", ""};
        EXPECT_TRUE(zo_sysfs::parseDevno(tree.read(tree.sysDirOf(disk) + "/dev"), &e.major, &e.minor)) << disk;
        return e;
    };
    for (const char* disk : {"sdb", "sdd", "nvme0n1"})
        EXPECT_EQ(messages(w.handle(changeOf(disk))), "") << disk;
    EXPECT_EQ(messages(w.handle({"change", "nvme0c1n1", 0, 0, "", ""})), "");   // a path has no number
    tree.write("/sys/devices/virtual/nvme-fabrics/ctl/nvme1/nvme0c1n1/ana_state", "optimized\n");
    EXPECT_EQ(messages(w.handle(changeOf("nvme0n1"))),
              "nvme0c1n1 in nvme0n1: ANA state inaccessible -> optimized\n");
}

TEST(HostChanges, WatchNeedsALiveHost) {
    Ran r = shell("$ZODISK --sysroot " + shipped("sick-san") + " watch");
    EXPECT_TRUE(r.status == 1 && r.out.empty() &&
                r.err == "zodisk: watch needs a live host: a host tree (--sysroot) has no kernel events\n")
        << r;
}

std::string promtool() {
    const char* p = "/usr/bin/promtool";
    EXPECT_TRUE(fs::exists(p)) << "promtool is missing: run scripts/setup.sh (Debian package prometheus)";
    return p;
}

TEST(HostChanges, MetricsOfEveryShippedTreePassPromtool) {
    const std::vector<std::string> trees = zotest::shippedTrees();
    ASSERT_GE(trees.size(), 8u);
    for (const std::string& t : trees) {
        Ran r = shell("$ZODISK --sysroot " + t + " metrics >m && " + promtool() + " check metrics <m && cat m",
                      zotest::HostTree().root());
        EXPECT_TRUE(r.status == 0 && r.out.find("\nzodisk_reading_timestamp_seconds ") != std::string::npos) << r;
    }
    Ran sick = shell("$ZODISK --sysroot " + shipped("sick-san") + " metrics");
    for (const char* sample :
         {"zodisk_map_paths{map=\"data\",wwid=\"3615c0289ec2d0a9167ec8e65a18debbe\",state=\"failed\"} 1\n",
          "zodisk_path_dm_state{map=\"data\",wwid=\"3615c0289ec2d0a9167ec8e65a18debbe\",path=\"sdc\","
          "hctl=\"1:0:0:2\",state=\"failed\"} 1\n",
          "zodisk_path_state{map=\"data\",wwid=\"3615c0289ec2d0a9167ec8e65a18debbe\",path=\"sdc\","
          "hctl=\"1:0:0:2\",state=\"offline\"} 1\n",
          "zodisk_check_findings{check=\"failed-path\",severity=\"error\"} 1\n", "zodisk_check_healthy 0\n",
          "zodisk_map_size_bytes{map=\"lonely\",wwid=\"36e56971cde355897421efc0b1046c8bf\"} 1073741824\n"})
        EXPECT_NE(sick.out.find(sample), std::string::npos) << sample << sick;

    // A map name needing escapes in a label value.
    zotest::HostTree odd(zotest::dataTree("sick-san"));
    odd.write("/sys/devices/virtual/block/dm-4/dm/name", "lo\"ne\\ly\n");
    Ran r = shell("$ZODISK --sysroot " + odd.root() + " metrics | tee m | " + promtool() +
                  " check metrics && grep -c 'map=\"lo\\\\\"ne\\\\\\\\ly\"' m", odd.root());
    EXPECT_TRUE(r.status == 0 && r.out == "6\n") << r;

    Ran rules = shell(promtool() + " test rules tests/data/zodisk-alerts.test.yml", kSource);
    EXPECT_EQ(rules.status, 0) << rules;
}

// --textfile replaces the file whole, readable by node_exporter, leaving
// nothing beside it; where it cannot write, nothing changes.
TEST(HostChanges, MetricsTextfileIsReplacedWhole) {
    zotest::HostTree dir;
    dir.write("/out/zodisk.prom", "old\n");
    const std::string tree = shipped("qemu-san");
    Ran r = shell("$ZODISK --sysroot " + tree + " metrics --textfile out/zodisk.prom", dir.root());
    EXPECT_TRUE(r.status == 0 && r.out.empty() && r.err.empty()) << r;
    EXPECT_EQ(slurp(dir.at("/out/zodisk.prom")).rfind("# HELP zodisk_map_paths ", 0), 0u);
    struct stat st;
    ASSERT_EQ(::stat(dir.at("/out/zodisk.prom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.at("/out")), fs::directory_iterator()), 1);

    Ran missing = shell("$ZODISK --sysroot " + tree + " metrics --textfile nodir/zodisk.prom", dir.root());
    EXPECT_TRUE(missing.status == 1 &&
                missing.err == "zodisk: metrics: cannot create a file in nodir/: No such file or directory\n")
        << missing;
    EXPECT_FALSE(fs::exists(dir.at("/nodir")));
}

}  // namespace
