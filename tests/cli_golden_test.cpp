// SPDX-License-Identifier: LGPL-2.1-or-later
// zodisk on the host trees shipped under examples/hosts (qemu-guest was
// captured in the real-kernel suite's multipath guest; the builders of the
// synthetic ones are in git history up to commit 888f85b), on a sick SAN
// host (tests/data/hosts/sick-san) and on a Fibre Channel SAN host with a
// blocked remote port (tests/data/hosts/fc-san, written by fc-san.sh there):
// output compared with tests/golden
// (REGENERATE=1 rewrites the files; read the diff), exit statuses, error
// lines, JSON and help, the editor, captures (round trips, hostile trees,
// disks kept in a few sectors), and the udev wait notice. The command lines of the golden files
// and the status table are in tests/golden/outputs.tsv and statuses.tsv.
#include "test.h"

#include "../tools/udev_watch.h"
#include "support/multipath_reader.h"
#include "support/read_recorder.h"

#include "ZoHostInventory.h"

#include <nlohmann/json.hpp>
#include <sys/inotify.h>
#include <sys/sysmacros.h>

using Json = nlohmann::json;
using Strings = std::vector<std::string>;
using zotest::slurp;

namespace {

const std::string kExamples = ZODEVICE_SOURCE_DIR "/examples/hosts/";
const std::string kGolden = ZODEVICE_SOURCE_DIR "/tests/golden/";

// The words of text, split at blanks.
Strings words(const std::string& text) {
    std::istringstream in(text);
    return Strings(std::istream_iterator<std::string>(in), {});
}

struct Result {
    int status = -1;
    std::string out, err;
    std::string command;  // "zodisk ARG..."
};

// The command, its exit status and both streams, for failure messages.
std::ostream& operator<<(std::ostream& os, const Result& r) {
    return os << r.command << "\n-> exit " << r.status << "\nstdout:\n" << r.out << "\nstderr:\n" << r.err;
}

// What diff -u prints for the change from the file from to the file to, both
// labelled /etc/multipath.conf unless from is /dev/null.
std::string diffU(const std::string& from, const std::string& to) {
    zotest::HostTree dir;
    const std::string out = dir.at("/diff"), label = from == "/dev/null" ? from : "/etc/multipath.conf";
    const int status = std::system(("diff -u -L " + label + " -L /etc/multipath.conf " + from + " " + to + " >" + out).c_str());
    return status == 1 << 8 ? slurp(out) : "diff exited with " + std::to_string(status);
}

// The directory of a tree: a path as it is, a name under tests/data/hosts
// or else under examples/hosts.
std::string treeDir(const std::string& tree) {
    if (tree[0] == '/') return tree;
    return std::filesystem::is_directory(zotest::dataTree(tree)) ? zotest::dataTree(tree) : kExamples + tree;
}

// Runs the built zodisk on a tree (a shipped one by name, or a path) with the
// arguments, in the C.UTF-8 locale unless leading NAME=value arguments set
// the environment; status 124 when it ran for a minute. Standard output goes
// to stdoutTo when given (and r.out stays empty).
Result on(const std::string& tree, const Strings& args, const std::string& stdoutTo = "") {
    Result r{-1, "", "", "zodisk"};
    std::string line = "timeout 60 env LC_ALL=C.UTF-8";
    size_t i = 0;
    for (; i < args.size() && args[i][0] != '-' && args[i].find('=') != std::string::npos; ++i)
        line += " " + FXString::ShellQuote(args[i]);
    line += " " ZODEVICE_BINARY_DIR "/tools/zodisk --sysroot " + FXString::ShellQuote(treeDir(tree));
    for (; i < args.size(); ++i) line += " " + FXString::ShellQuote(args[i]);
    for (const std::string& a : args) r.command += " " + a;
    zotest::HostTree dir;  // a scratch directory for both streams
    const std::string out = stdoutTo.empty() ? dir.at("/out") : stdoutTo;
    const int w = std::system((line + " >" + out + " 2>" + dir.at("/err") + " </dev/null").c_str());
    r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    r.out = stdoutTo.empty() ? slurp(dir.at("/out")) : "";
    r.err = slurp(dir.at("/err"));
    return r;
}

// A copy of a shipped tree at dir/machine, which zodisk may change.
std::string copyOf(const std::string& tree, const zotest::HostTree& dir) {
    EXPECT_EQ(std::system(("cp -a " + treeDir(tree) + " " + dir.root() + "/machine").c_str()), 0);
    return dir.root() + "/machine";
}

// Every path under dir (but skip) with its type, size and link target.
std::set<std::string> listing(const std::string& dir, const std::string& skip = "") {
    std::set<std::string> out;
    namespace fs = std::filesystem;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st;
        if (it->path() == skip || ::lstat(it->path().c_str(), &st) != 0) {
            it.disable_recursion_pending();
            continue;
        }
        out.insert(it->path().string() + " " + std::to_string(st.st_mode) + " " +
                   (S_ISDIR(st.st_mode) ? "" : std::to_string(st.st_size)) +
                   (S_ISLNK(st.st_mode) ? " -> " + fs::read_symlink(it->path()).string() : ""));
    }
    return out;
}

}  // namespace

// Each file is the output of the arguments on the tree its name begins
// with (sick-san, fabric and fc-san are under tests/data/hosts).
TEST(CliGolden, OutputOfHostTrees) {
    for (const Strings& c : zotest::readTable(kGolden + "outputs.tsv", 3)) {
        const std::string& file = c[0], tree = file.substr(0, file.find('-', 5));
        Result r = on(tree, words(c[2]));
        EXPECT_EQ(std::to_string(r.status), c[1]) << file << ": " << r;
        if (std::getenv("REGENERATE"))
            std::ofstream(kGolden + file, std::ios::binary) << r.out;
        EXPECT_EQ(r.out, slurp(kGolden + file)) << file << ": " << r;
    }
}

// Every command's status, its errors (one line each, "zodisk: " first),
// JSON that stays one valid document although the library echoes each WWID
// it derives to standard output, and help.
TEST(CliGolden, StatusErrorsJsonAndHelp) {
    for (Strings c : zotest::readTable(kGolden + "statuses.tsv", 4)) {
        const size_t version = c[2].find("@VERSION@");
        if (version != std::string::npos) c[2].replace(version, 9, ZODISK_TEST_VERSION);
        Result r = on("qemu-san", words(c[3]));
        EXPECT_EQ(std::to_string(r.status), c[0]) << r;
        EXPECT_EQ(c[1].empty(), r.err.empty()) << r;
        EXPECT_NE(r.err.find(c[1]), std::string::npos) << r;
        EXPECT_NE(r.out.find(c[2]), std::string::npos) << r;
        for (size_t pos = 0; pos < r.err.size(); pos = r.err.find('\n', pos) + 1)
            ASSERT_TRUE(r.err.compare(pos, 8, "zodisk: ") == 0 && r.err.back() == '\n') << r;
        bool json = r.command.find(" -J") != std::string::npos || r.command.find("--json") != std::string::npos;
        EXPECT_TRUE(!json || r.status == 2 || Json::accept(r.out)) << r;
        EXPECT_EQ(r.command.find("--help") == std::string::npos,
                  r.out.find("\nExit status: 0 success") == std::string::npos) << r;
    }
}

// The editor on copies of shipped trees. A dry run prints the edit as a
// unified diff (what diff -u prints for the edit it makes) and
// changes nothing, no lock file made. qemu-guest's sda has an exception and
// a map but no multipath block: adding it adds nothing (a block's alias would
// rename the map in use), says so and leaves the file alone. xen-guest's sdc
// has neither, and a tree has no multipathd to make the map, which is an
// error.
TEST(CliGolden, MultipathEditsAndDryRuns) {
    zotest::HostTree dir, xenDir;
    const std::string guest = copyOf("qemu-guest", dir), conf = guest + "/etc/multipath.conf";
    std::ofstream(guest + "/.zohost/clock") << "1700000000\n";
    const std::string before = slurp(conf), lock = conf + ".zo_lock";
    const std::string notice = "zodisk: notice: /etc/multipath.conf line 9 holds a blacklist exception for "
                               "333333330000007d0, so nothing is added for it (Blacklist exception already exists for "
                               "333333330000007d0)\n";
    for (const char* dry : {"--dry-run", ""}) {
        Result r = on(guest, *dry ? Strings{"multipath", "add", dry, "/dev/sda"} : Strings{"multipath", "add", "/dev/sda"});
        EXPECT_TRUE(r.status == 0 && r.err == notice && r.out.find("---") == std::string::npos) << r;
        EXPECT_EQ(slurp(conf), before);
        EXPECT_TRUE(!*dry || !std::filesystem::exists(lock));
    }
    std::filesystem::remove(lock);
    Result dryRemove = on(guest, {"multipath", "remove", "--dry-run", "/dev/sda"});
    EXPECT_TRUE(dryRemove.status == 0 && dryRemove.out.rfind("--- /etc/multipath.conf\n", 0) == 0 &&
                dryRemove.out.find("\n-\twwid \"333333330000007d0\"\n") != std::string::npos) << dryRemove;
    EXPECT_TRUE(slurp(conf) == before && !std::filesystem::exists(lock));
    std::ofstream(dir.root() + "/before") << before;
    Result real = on(guest, {"multipath", "remove", "/dev/sda"});
    EXPECT_TRUE(real.status == 0 && real.err.empty() && real.out == dryRemove.out) << real;
    EXPECT_EQ(diffU(dir.root() + "/before", conf), real.out);
    const std::string after = slurp(conf);
    Result again = on(guest, {"--json", "multipath", "remove", "/dev/sda"});
    EXPECT_EQ(again.status, 1) << again;
    EXPECT_EQ(Json::parse(again.out)["changes"], Json::array()) << again;
    EXPECT_EQ(slurp(conf), after);

    const std::string xen = copyOf("xen-guest", xenDir);
    Result r = on(xen, {"--json", "multipath", "add", "/dev/sdc"});
    Json doc = Json::parse(r.out);
    ASSERT_EQ(doc["changes"].size(), 8u) << r;
    EXPECT_EQ(doc["changes"][0].get<std::string>().rfind("+ \twwid \"3688f616e7f2e7c440b128d94682c8dcb\" # autocreated", 0), 0u) << r;
    EXPECT_EQ(doc["devices"][0], Json({{"path", "/dev/sdc"}, {"map", nullptr}})) << r;
    EXPECT_EQ(r.err, "zodisk: /dev/sdc: no multipath map above it after the update\n") << r;
}

// The editor on a fresh host and with its switch off, on copies of
// xen-guest (sdc has no entry): with no /etc/multipath.conf, add makes one
// (empty, 0644) and says so, which a dry run shows as a diff from /dev/null
// without making it; with the switch off, a dry run still shows the edit and
// says what to set, a real edit is refused saying the same. What zodisk
// writes is what multipath-tools then reads.
TEST(CliEdit, FreshHostAndSwitchedOff) {
    const std::string wwid = "3688f616e7f2e7c440b128d94682c8dcb";
    const std::string made = "zodisk: notice: /etc/multipath.conf did not exist: made it empty (mode 0644, owner "
                             "root), which multipath reads as it reads no file\n";
    const std::string off = "nConfigureBlacklistException = 1 in section [Ferrovane] of /etc/quorvel/config.ini";
    for (const bool switchOn : {true, false}) {
        zotest::HostTree dir;
        const std::string xen = copyOf("xen-guest", dir), conf = xen + "/etc/multipath.conf";
        std::filesystem::remove(conf);
        // The dry run and the edit stamp the same second, however slow the machine.
        std::ofstream(xen + "/.zohost/clock") << "1700000000\n";
        if (!switchOn) std::ofstream(xen + "/etc/quorvel/config.ini") << "[Ferrovane]\n";
        Result dry = on(xen, {"multipath", "add", "--dry-run", "/dev/sdc"});
        EXPECT_EQ(dry.status, 0) << dry;
        EXPECT_EQ(dry.out.rfind("--- /dev/null\n+++ /etc/multipath.conf\n@@ -0,0 +1,10 @@\n+blacklist_exceptions {\n", 0), 0u) << dry;
        EXPECT_NE(dry.err.find("it would be made empty"), std::string::npos) << dry;
        EXPECT_EQ(dry.err.find("switched off (set " + off + " to switch it on): this is what the edit would do") !=
                      std::string::npos, !switchOn) << dry;
        EXPECT_FALSE(std::filesystem::exists(conf));
        Result real = on(xen, {"multipath", "add", "/dev/sdc"});
        if (!switchOn) {
            EXPECT_EQ(real.status, 1) << real;
            EXPECT_EQ(real.err, "zodisk: editing is switched off: set " + off +
                                    " to allow it (Registry key nConfigureBlacklistException not set.)\n") << real;
            EXPECT_FALSE(std::filesystem::exists(conf));
            continue;
        }
        EXPECT_EQ(real.err, made + "zodisk: /dev/sdc: no multipath map above it after the update\n") << real;
        EXPECT_EQ(real.out.rfind(dry.out, 0), 0u) << real;
        EXPECT_EQ(diffU("/dev/null", conf), dry.out);
        struct stat st;
        ASSERT_EQ(::stat(conf.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        if (!zotest::multipathReaderAvailable()) continue;
        const std::string text = slurp(conf);
        const zotest::MultipathView view = zotest::readWithMultipath(&text);
        EXPECT_EQ(view.status, 0);
        EXPECT_EQ(view.exceptions.count(wwid), 1u) << text;
        EXPECT_EQ(view.blocks.count(wwid) ? view.blocks.at(wwid) : "", "mpath_zo_" + wwid) << text;
    }
}

// remove refuses, changing nothing, while the map of a disk or a partition
// map of it is mounted, in use as swap, held by another device or open
// otherwise (device-mapper's open count beyond its mounts and holders); on
// copies of qemu-guest (map dm-0 with partition maps dm-1 and dm-2), with
// what each case adds. --force removes all the same.
TEST(CliEdit, RemoveRefusesAMapInUse) {
    const std::string map = "/dev/mapper/333333330000007d0", part1 = map + "-part1", part2 = map + "-part2";
    const std::string mount = "36 25 253:2 / /srv/my\\040data rw,relatime shared:9 - ext4 " + part2 + " rw\n";
    const struct { Strings files; std::string path, uses; bool force; } cases[] = {
        {{"proc/self/mountinfo", "25 1 254:1 / / rw - ext4 /dev/vda1 rw\n", ".zohost/dm/253:0", "open 2\n"},
         "/dev/sda", "", false},
        {{"proc/self/mountinfo", mount}, "/dev/sda", ": its multipath map " + map + " is in use: " + part2 +
         " is mounted on /srv/my data", false},
        {{"proc/self/mountinfo", mount}, "/dev/sda", "", true},
        {{"proc/self/mountinfo", "40 25 0:45 /@ /home rw - btrfs " + part1 + " rw\n"}, map,
         " is in use: " + part1 + " is mounted on /home", false},
        {{"proc/swaps", "Filename Type Size Used Priority\n/dev/dm-0 partition 65532 0 -2\n"}, "/dev/sdc",
         ": its multipath map " + map + " is in use: " + map + " is in use as swap", false},
        {{"lvm", ""}, part2, ": its multipath map " + map + " is in use: " + part1 +
         " is held by /dev/mapper/vg-lv (dm-9, lvm)", false},
        {{".zohost/dm/253:0", "open 3\n"}, "/dev/sda", ": its multipath map " + map + " is in use: " + map +
         " is open once besides its mounts and the devices on it (by a process)", false},
        {{".zohost/dm/253:2", "open 1\n", "proc/self/mountinfo", mount, ".zohost/dm/253:1", "open 3\n"}, "/dev/sda",
         ": its multipath map " + map + " is in use: " + part1 + " is open 3 times besides its mounts and the "
         "devices on it (by a process); " + part2 + " is mounted on /srv/my data", false},
    };
    namespace fs = std::filesystem;
    for (const auto& c : cases) {
        zotest::HostTree dir;
        const std::string guest = copyOf("qemu-guest", dir), before = slurp(guest + "/etc/multipath.conf");
        for (size_t f = 0; f < c.files.size(); f += 2) {
            if (c.files[f] == "lvm") {  // dm-9, an LVM volume on the first partition map
                const std::string lv = guest + "/sys/devices/virtual/block/dm-9";
                fs::create_directories(lv + "/dm");
                fs::create_directories(lv + "/slaves");
                fs::create_directories(guest + "/sys/devices/virtual/block/dm-1/holders");
                std::ofstream(lv + "/dev") << "253:9\n";
                std::ofstream(lv + "/size") << "8192\n";
                std::ofstream(lv + "/dm/uuid") << "LVM-Zo\n";
                std::ofstream(lv + "/dm/name") << "vg-lv\n";
                fs::create_symlink("../../dm-1", lv + "/slaves/dm-1");
                fs::create_symlink("../../dm-9", guest + "/sys/devices/virtual/block/dm-1/holders/dm-9");
                for (const char* link : {"/sys/dev/block/253:9", "/sys/class/block/dm-9", "/sys/block/dm-9"})
                    fs::create_symlink(std::string(link).rfind("/sys/dev/", 0) == 0 ? "../../devices/virtual/block/dm-9"
                                                                                    : "../devices/virtual/block/dm-9",
                                       guest + link);
                fs::create_symlink("../dm-9", guest + "/dev/mapper/vg-lv");
                continue;
            }
            fs::create_directories(fs::path(guest + "/" + c.files[f]).parent_path());
            std::ofstream(guest + "/" + c.files[f], std::ios::app) << c.files[f + 1];
        }
        Strings args = {"multipath", "remove", "--dry-run", c.path};
        if (c.force) args.push_back("--force");
        Result r = on(guest, args);
        if (c.uses.empty()) {
            EXPECT_TRUE(r.status == 0 && r.err.empty() && r.out.rfind("--- /etc/multipath.conf\n", 0) == 0) << r;
        } else {
            EXPECT_EQ(r.status, 1) << r;
            EXPECT_EQ(r.out, "") << r;
            EXPECT_EQ(r.err, "zodisk: " + c.path + c.uses + ". Without its blacklist exception the next reload of "
                             "multipath would take the map away, so nothing was changed (--force removes it all the "
                             "same)\n") << r;
        }
        EXPECT_EQ(slurp(guest + "/etc/multipath.conf"), before);
    }
}

// The configuration directory: a disk whose exception a file of
// /etc/multipath/conf.d holds gets nothing (the notice says where), and a
// removal of what such a file holds is refused, naming the file.
TEST(CliEdit, ConfigurationDirectory) {
    zotest::HostTree dir;
    const std::string xen = copyOf("xen-guest", dir), conf = xen + "/etc/multipath.conf";
    const std::string wwid = "3688f616e7f2e7c440b128d94682c8dcb";
    std::filesystem::create_directories(xen + "/etc/multipath/conf.d");
    std::ofstream(xen + "/etc/multipath/conf.d/site.conf") << "blacklist_exceptions {\n\twwid \"" << wwid << "\"\n}\n";
    const std::string before = slurp(conf);
    Result add = on(xen, {"multipath", "add", "/dev/sdc"});
    EXPECT_NE(add.err.find("zodisk: notice: /etc/multipath/conf.d/site.conf line 2 holds a blacklist exception for " +
                           wwid + ", so nothing is added for it (Blacklist exception already exists for " + wwid + ")\n"),
              std::string::npos) << add;
    EXPECT_EQ(add.out.find("---"), std::string::npos) << add;
    Result remove = on(xen, {"multipath", "remove", "/dev/sdc"});
    EXPECT_EQ(remove.status, 1) << remove;
    EXPECT_NE(remove.err.find("/etc/multipath/conf.d/site.conf line 2 holds a blacklist exception for " + wwid +
                              ", and the editor changes /etc/multipath.conf only: remove it there"),
              std::string::npos) << remove;
    EXPECT_EQ(slurp(conf), before);
}

// check says why no map holds a LUN seen on several paths (qemu-san's sdb
// and sdd) and what would put it under multipath control, reading every file
// multipath reads; a configuration the editor would refuse is a finding.
TEST(CliCheck, UnmappedLunsAndConfigurationsTheEditorRefuses) {
    const std::string lun = "36d43314513756dca6941b6cc8a09acb2";
    const struct { std::string conf, site, finding; } cases[] = {
        {"blacklist {\n\twwid \".*\"\n}\n", "",
         "sdb sdd; blacklisted by wwid \".*\" on line 2 of /etc/multipath.conf, and no exception names it; "
         "zodisk multipath add /dev/sdb would add one\n"},
        {"blacklist {\n\twwid \".*\"\n}\n", "blacklist_exceptions {\n\twwid \"" + lun + "\"\n}\n",
         "sdb sdd; the configuration does not blacklist it, so multipath has not built its map yet"},
        {"blacklist {\n\tdevnode \"^sd[b-d]\"\n}\nblacklist_exceptions {\n\twwid \"" + lun + "\"\n}\n", "",
         "sdb sdd; blacklisted by devnode \"^sd[b-d]\" on line 2 of /etc/multipath.conf, which an exception for "
         "its WWID does not override; an exception for its devnode in blacklist_exceptions would"},
        {"blacklist {\n\tdevice {\n\t\tvendor Linux\n\t\tproduct debug\n\t}\n}\n", "",
         "blacklisted by device { vendor \"Linux\" product \"debug\" } on line 4 of /etc/multipath.conf"},
        {"blacklist_exceptions { wwid \"" + lun + "\" }\n", "",
         "warning: /etc/multipath.conf: line 1: multipath ignores what follows \"blacklist_exceptions {\" on the "
         "line; each statement of a section stands on a line of its own; zodisk multipath add and remove refuse "
         "to edit /etc/multipath.conf until it is mended\n"},
        {"", "blacklist {\n\twwid \"(\"\n}\n",
         "error: /etc/multipath/conf.d/site.conf: line 2: multipath rejects the whole file: wwid \"(\" is not a "
         "regular expression"},
        {"", "multipaths {\n\tmultipath {\n\t\twwid 3600a0b8000000009\n\t}\n}\n",
         "warning: /etc/multipath/conf.d/site.conf line 3: multipath block for 3600a0b8000000009, which no disk has"},
    };
    for (const auto& c : cases) {
        zotest::HostTree dir;
        const std::string san = copyOf("qemu-san", dir);
        std::ofstream(san + "/etc/multipath.conf") << c.conf;
        if (!c.site.empty()) {
            std::filesystem::create_directories(san + "/etc/multipath/conf.d");
            std::ofstream(san + "/etc/multipath/conf.d/site.conf") << c.site;
        }
        Result r = on(san, {"check"});
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_NE(r.out.find(c.finding), std::string::npos) << c.finding << "\n" << r;
    }
}

// A namespace on two live controllers has paths enough, whatever ANA state
// one of them is in (the fabric tree with its connecting controller up).
TEST(CliCheck, NamespaceOnTwoLiveControllers) {
    zotest::HostTree tree{zotest::dataTree("fabric")};
    tree.write("/sys/devices/virtual/nvme-fabrics/ctl/nvme1/state", "live\n");
    Result r = on(tree.root(), {"check"});
    EXPECT_TRUE(r.out.find("nvme0n1: path nvme0c1n1 (controller nvme1) is ANA inaccessible\n") != std::string::npos &&
                r.out.find("live path") == std::string::npos) << r;
}

// A capture answers as the machine it was taken from. A directory that
// holds something is refused; the capture writes nothing outside its
// directory (the machine included), and its links name machine paths.
TEST(CliSnapshot, CaptureAnswersLikeTheMachineAndStaysInItsDirectory) {
    const std::vector<Strings> questions = {{"--json", "list"}, {"--json", "tree"}, {"tree"},
        {"nvme-volume", "/dev/nvme1n1"}, {"xvd-to-sd", "/dev/xvdf"},
        {"--json", "show", "/dev/sda", "/dev/sda1", "/dev/nvme0n1", "/dev/xvdf", "/dev/xvde1"},
        {"--json", "check"}};
    for (const char* tree : {"qemu-san", "xen-guest", "fc-san"}) {
        zotest::HostTree target;
        std::string machine = copyOf(tree, target), dir = target.root() + "/sub/dir";
        Result r = on(machine, {"snapshot", machine});
        EXPECT_EQ(r.status, 1) << r;
        EXPECT_NE(r.err.find("is not empty"), std::string::npos) << r;
        r = on(machine, {"snapshot", dir});
        ASSERT_EQ(r.status, 0) << r;
        namespace fs = std::filesystem;
        EXPECT_EQ(std::distance(fs::directory_iterator(target.root()), {}), 2) << "machine, sub";
        std::string diff = "diff -r --no-dereference " + treeDir(tree) + " " + machine;
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

// Captures of trees with `zodisk snapshot`; the exit status (124: it hung).
// A capture writes nothing outside its directory and copies nothing from
// outside the tree, whatever the tree's links, FIFOs and loops.
TEST(HostTreeCapture, HostileTreesStayInside) {
    zotest::HostTree sandbox;  // the tree, the world outside it and the capture
    const std::string outside = sandbox.at("/outside");
    sandbox.write("/outside/secret", "SECRET");
    sandbox.mkdir("/outside/dir");
    const std::string disk = "/sys/devices/virtual/block/sdb";
    auto addDisk = [&](const std::string& t) {
        sandbox.write(t + disk + "/dev", "8:16\n");
        sandbox.write(t + disk + "/size", "2048\n");
        for (const char* link : {"/sys/block/sdb", "/sys/class/block/sdb", "/sys/dev/block/8:16"})
            sandbox.symlink("../../devices/virtual/block/sdb", t + link);
    };
    const std::vector<std::pair<std::string, std::string>> links = {  // in tree /a: target, link
        {outside + "/dir", "/sys/block/zz"}, {"../../block/zz/in", "/sys/class/block/zq"},
        {"../../../../../../../../../../../.." + outside + "/new", "/sys/block/zy"},
        {"../../../../../../../../../../.." + outside, disk + "/holders/up"}, {"../sdb", disk + "/slaves/self"},
        {".", disk + "/sub"}, {"l2", "/sys/block/l1"}, {"l1", "/sys/block/l2"}};
    addDisk("/a");
    for (const auto& l : links) sandbox.symlink(l.first, "/a" + l.second);
    sandbox.write("/a" + outside + "/dir/in/dev", "8:32\n");
    for (const char* fifo : {"/proc/partitions", "/etc/multipath.conf", "/dev/sdb"}) {
        sandbox.mkdir(std::filesystem::path("/a" + std::string(fifo)).parent_path());
        ASSERT_EQ(0, ::mkfifo(sandbox.at("/a" + std::string(fifo)).c_str(), 0600)) << fifo;
    }
    ASSERT_EQ(0, ::mkfifo(sandbox.at("/a" + disk + "/vpd_pg83").c_str(), 0600));
    // In tree /b the way to the secret meets a regular file: ENOTDIR.
    addDisk("/b");
    for (const char* link : {"/dev/sdb", "/dev/disk/by-id/wwn-1", "/etc/multipath.conf", "/proc/partitions"})
        sandbox.symlink(outside + "/secret", "/b" + std::string(link));
    sandbox.write("/b" + outside.substr(0, outside.find('/', 1)), "a file where a directory is");
    for (const char* tree : {"/a", "/b"}) {
        const std::string capture = sandbox.at(tree + std::string(".capture"));
        std::set<std::string> before = listing(sandbox.root(), capture);
        EXPECT_NE(124, on(sandbox.at(tree), {"snapshot", capture}).status) << tree;  // 124: it hung
        std::vector<std::string> changed;
        for (const std::string& e : listing(sandbox.root(), capture)) if (!before.erase(e)) changed.push_back(e);
        EXPECT_TRUE(changed.empty() && before.empty()) << tree << ": new " << (changed.empty() ? "" : changed[0]);
        for (const auto& e : std::filesystem::recursive_directory_iterator(capture))
            EXPECT_TRUE(e.is_symlink() || !e.is_regular_file() || zotest::slurp(e.path()).find("SECRET") == std::string::npos)
                << e.path();
    }
}

// A capture is whole or marked. Snapshots killed midway (SIGXFSZ at the
// first file above the size limit, in 512-byte blocks: the long
// proc/partitions, the first disk image in memory) leave the marker, and
// --sysroot says the tree is incomplete, also one too incomplete to read; a
// capture of such a tree is marked with that problem; a whole capture reads
// without a word.
TEST(HostTreeCapture, InterruptedCapturesAreMarkedIncomplete) {
    zotest::HostTree dir, machine(kExamples + "qemu-san");
    machine.write("/proc/partitions", machine.read("/proc/partitions") + std::string(3000, '\n'));
    std::set<long> sizes;
    for (const char* blocks : {"1", "12", "unlimited"}) {
        const std::string limit = blocks, capture = dir.at("/" + limit);
        const std::string line = "sh -c 'ulimit -f " + limit + "; exec " ZODEVICE_BINARY_DIR "/tools/zodisk --sysroot " +
                                 machine.root() + " snapshot " + capture + "' >/dev/null 2>&1";
        const bool whole = std::system(line.c_str()) == 0;
        EXPECT_EQ(whole, limit == "unlimited");
        sizes.insert(std::distance(fs::recursive_directory_iterator(capture), {}));
        EXPECT_EQ(!whole, fs::exists(capture + "/.zohost/incomplete")) << limit;
        const Result r = on(capture, {"list"});
        EXPECT_EQ(whole, r.err.empty()) << r;
        EXPECT_EQ(!whole, r.err.rfind("zodisk: warning: --sysroot " + capture + " is an incomplete capture (its writer "
                                      "did not finish: it was interrupted; see .zohost/incomplete): ", 0) == 0) << r;
    }
    EXPECT_EQ(sizes.size(), 3u) << "the kills came at the same point";
    EXPECT_EQ(on(dir.at("/12"), {"snapshot", dir.at("/copy")}).status, 1);
    const Result r = on(dir.at("/copy"), {"list"});
    EXPECT_NE(r.err.find(" is an incomplete capture (it was left incomplete: the tree captured is an incomplete "
                         "capture itself; "), std::string::npos) << r;
}

// No command opens a device node planted in a tree (this machine's loop0 as
// a disk, a 1:3 character node as a disk or a file zodisk reads or edits):
// inotify sees every open of the nodes' inodes.
TEST(CliGolden, PlantedDeviceNodesAreNeverOpened) {
    zotest::HostTree tree(kExamples + "qemu-san"), out;
    const struct { const char* path; mode_t type; unsigned major, minor; } nodes[] = {
        {"/dev/sdb", S_IFBLK, 7, 0}, {"/dev/sdc", S_IFCHR, 1, 3}, {"/etc/multipath.conf", S_IFCHR, 1, 3},
        {"/proc/partitions", S_IFBLK, 7, 0}};
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const auto& n : nodes) {
        if (tree.exists(n.path)) tree.remove(n.path);
        if (::mknod(tree.at(n.path).c_str(), n.type | 0600, makedev(n.major, n.minor)) != 0)
            GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
        ASSERT_GE(::inotify_add_watch(watch, tree.at(n.path).c_str(), IN_OPEN | IN_ACCESS | IN_MODIFY), 0);
    }
    const std::vector<Strings> commands = {{"show", "--reread", "/dev/sdb", "/dev/sdc"}, {"--json", "list"},
        {"check"}, {"wwid", "/dev/sdb"}, {"multipath", "add", "--dry-run", "/dev/sdc"}, {"snapshot", out.at("/c")}};
    for (const Strings& c : commands) EXPECT_NE(on(tree.root(), c).status, 124) << c[0];
    alignas(struct inotify_event) char events[4096];
    const ssize_t n = ::read(watch, events, sizeof events);
    EXPECT_TRUE(n < 0 && errno == EAGAIN) << "a planted node was opened (" << n << " bytes of events)";
    ::close(watch);
}

// A capture holds everything the host inventory reads with every fact:
// each read, asked again of the capture, answers as it did on the tree
// (an attribute that is a directory, as sick-san's sdc rev, aside).
TEST(HostTreeCapture, HoldsEveryReadOfTheInventory) {
    for (const std::string& tree : {zotest::dataTree("fabric"), zotest::dataTree("sick-san"), kExamples + "qemu-san",
                                    kExamples + "qemu-guest"}) {
        zotest::HostTree dir;
        const std::string capture = dir.at("/capture");
        ASSERT_EQ(0, on(tree, {"snapshot", capture}).status) << tree;
        auto recorder = std::make_shared<zotest::ReadRecorder>(ZoHost::makeRooted(tree));
        std::shared_ptr<ZoHost> previous = ZoHost::install(recorder);
        const bool read = ZoHostInventory::read().ok();
        ZoHost::install(previous);
        ASSERT_TRUE(read) << tree;
        EXPECT_GT(recorder->reads(), 50u) << tree;
        auto other = ZoHost::makeRooted(capture);
        std::string missing;
        for (const std::string& d : recorder->differences(*other))  // sick-san's sdc rev is a directory
            if (d.find("/1:0:0:2/rev: 21 ") == std::string::npos) missing += "\n" + d;
        EXPECT_EQ("", missing) << tree;
    }
}

// A capture keeps of a disk only the sectors its partition table is read
// from, and reads back the same table.
TEST(HostTreeCapture, DisksCaptureTheirTablesInAFewSectors) {
    zotest::HostTree tree;
    std::vector<std::string> disks;
    for (int i = 0; i < 10; ++i) {
        disks.push_back("/dev/sd" + std::string(1, static_cast<char>('a' + i)));
        tree.addBlockDevice(disks.back().substr(5), 8, 16 * i, 131072,
                            "/sys/devices/virtual/block/" + disks.back().substr(5));
        zotest::makeDiskImage(tree.at(disks.back()), 64,
                              i != 8 ? "label: gpt\nstart=2048,size=4096\nstart=8192,size=8192\n"  // sdi: logical partitions
                                     : "label: dos\nstart=2048,size=4096\nstart=20480,size=100000,type=5\n"
                                       "start=40960,size=2048\nstart=90000,size=4096\n");
    }
    // No primary GPT header: sdh's backup is read; sdj's first sector, without
    // its signature, is no MBR guarding a GPT, so sdj has no table.
    for (const auto& [disk, from] : {std::make_pair("/dev/sdh", 512), std::make_pair("/dev/sdj", 510)}) {
        std::fstream damaged(tree.at(disk), std::ios::in | std::ios::out | std::ios::binary);
        damaged.seekp(from) << std::string(1024 - from, '\0');
    }
    const std::string capture = tree.at("/capture");
    ASSERT_EQ(0, on(tree.root(), {"snapshot", capture}).status);
    uint64_t bytes = 0;  // as du --apparent-size counts them
    for (const auto& e : std::filesystem::recursive_directory_iterator(capture)) {
        struct stat st;
        bytes += ::lstat(e.path().c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    }
    EXPECT_LT(bytes, 512u << 10);
    auto table = [](const std::string& root, const std::string& disk) {
        std::vector<ZoHostPartition> parts;
        std::string text = std::to_string(ZoHost::makeRooted(root)->readPartitionTable(disk, &parts));
        for (const auto& p : parts)
            text += " " + std::to_string(p.number) + ":" + std::to_string(p.startSector) + "+" + std::to_string(p.sectorCount);
        return text;
    };
    for (const std::string& d : disks) EXPECT_EQ(table(tree.root(), d), table(capture, d)) << d;
    EXPECT_EQ("0 1:2048+4096 2:8192+8192", table(tree.root(), "/dev/sdh"));  // from the backup table
    EXPECT_EQ("0 1:2048+4096 2:20480+100000 5:40960+2048 6:90000+4096", table(tree.root(), "/dev/sdi"));
    for (const auto& e : std::filesystem::directory_iterator(capture + "/.zohost/disks/8:144"))  // sdj's end is not kept
        EXPECT_LT(std::stoull(e.path().filename()), 1u << 20) << e.path();
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

// Where zodisk and lsblk answer the same question, zodisk answers as lsblk
// does: an empty name is no device; an empty column list or name is
// refused; when no device is left (none of the names found, no device of
// the kind) nothing is printed, not even the header, but JSON stays one
// document. Time-outs are refused in words. Usage errors exit 2.
TEST(CliGolden, AnswersAsLsblkDoes) {
    const std::string help = "; see 'zodisk --help'\n";
    struct Case {
        Strings args;
        int status;
        std::string err, out;
    } cases[] = {
        {{"list", ""}, 32, "zodisk: : not a block device\n", ""},
        {{"list", "/dev/nonexist"}, 32, "zodisk: /dev/nonexist: no such device\n", ""},
        {{"-r", "tree", "/dev/nonexist"}, 32, "zodisk: /dev/nonexist: no such device\n", ""},
        {{"-J", "list", "/dev/nonexist"}, 32, "zodisk: /dev/nonexist: no such device\n",
         "{\n  \"blockdevices\": []\n}\n"},
        {{"list", "--kind", "xvd"}, 0, "", ""},
        {{"list", "/dev/nope", "/dev/sdb", "-o", "NAME"}, 64, "zodisk: /dev/nope: no such device\n", "NAME\nsdb\n"},
        {{"list", "-o", ","}, 2, "zodisk: -o ',': empty column name" + help, ""},
        {{"list", "-o", ""}, 2, "zodisk: -o '': empty column name" + help, ""},
        {{"list", "-o", "NAME,,SIZE"}, 2, "zodisk: -o 'NAME,,SIZE': empty column name" + help, ""},
        {{"tree", "-o", "+"}, 2, "zodisk: -o '+': empty column name" + help, ""},
        {{"-J", "list", "-o", "NAME,"}, 2, "zodisk: -o 'NAME,': empty column name" + help, ""},
        {{"--timeout", "-5", "wwid", "/dev/sda"}, 2,
         "zodisk: --timeout: '-5' is not a whole number of seconds (1 to 86400)" + help, ""},
        {{"--timeout", "abc", "wwid", "/dev/sda"}, 2,
         "zodisk: --timeout: 'abc' is not a whole number of seconds (1 to 86400)" + help, ""},
        {{"--timeout", "86401", "wwid", "/dev/sda"}, 2,
         "zodisk: --timeout: 86401 seconds is out of range (1 to 86400)" + help, ""},
        {{"--timeout", "99999999999999999999", "wwid", "/dev/sda"}, 2,
         "zodisk: --timeout: 99999999999999999999 seconds is out of range (1 to 86400)" + help, ""},
    };
    for (const Case& c : cases) {
        Result r = on("qemu-san", c.args);
        EXPECT_EQ(r.status, c.status) << r;
        EXPECT_EQ(r.err, c.err) << r;
        EXPECT_EQ(r.out, c.out) << r;
    }
}

// RAM disks and loop devices of size 0 without a backing file are left out
// of a listing of the whole host, as lsblk leaves them out, unless -a is
// given or they are named.
TEST(CliGolden, EmptyDevicesOnlyWithAll) {
    zotest::HostTree tree(kExamples + "qemu-san");
    tree.addBlockDevice("ram0", 1, 0, 8192, "/sys/devices/virtual/block/ram0");
    tree.addBlockDevice("loop0", 7, 0, 0, "/sys/devices/virtual/block/loop0");
    tree.addBlockDevice("loop1", 7, 1, 0, "/sys/devices/virtual/block/loop1");
    tree.write("/sys/devices/virtual/block/loop1/loop/backing_file", "/srv/empty.img\n");
    tree.addBlockDevice("loop2", 7, 2, 2048, "/sys/devices/virtual/block/loop2");
    const std::string shown = "loop1 loop2", all = "ram0 loop0 loop1 loop2";
    struct Case {
        Strings args;
        std::string names;  // of the devices above that are printed
    } cases[] = {
        {{"list"}, shown},
        {{"tree"}, shown},
        {{"-a", "list"}, all},
        {{"tree", "--all"}, all},
        {{"list", "--kind", "other"}, shown},
        {{"list", "loop0", "ram0"}, "loop0 ram0"},
        {{"tree", "loop0"}, "loop0"},
    };
    for (const Case& c : cases) {
        Strings args = c.args;
        for (const char* o : {"-r", "-n", "-o", "NAME"}) args.push_back(o);
        Result r = on(tree.root(), args);
        std::string names;
        for (const std::string& w : words(r.out))
            if (w.rfind("ram", 0) == 0 || w.rfind("loop", 0) == 0) names += (names.empty() ? "" : " ") + w;
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << r;
        EXPECT_EQ(names, c.names) << r;
    }
}

// show --json gives an NVMe namespace head its subsystem and paths; its
// partitions (the first one too) have none of their own.
TEST(CliGolden, PartitionsOfAnNvmeHeadHaveNoPathsOfTheirOwn) {
    zotest::HostTree tree(zotest::dataTree("fabric"));
    for (int n : {1, 2}) tree.addPartition("nvme0n1", "nvme0n1p" + std::to_string(n), n, 259, 20 + n, 2048 * n, 2048);
    Result r = on(tree.root(), {"--json", "show", "/dev/nvme0n1", "/dev/nvme0n1p1", "/dev/nvme0n1p2"});
    ASSERT_EQ(r.status, 0) << r;
    const Json devices = Json::parse(r.out)["devices"];
    ASSERT_EQ(devices.size(), 3u) << r;
    EXPECT_EQ(devices[0]["nvme"]["paths"].size(), 2u) << r;
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(devices[i]["partition"], Json(static_cast<int>(i))) << r;
        EXPECT_TRUE(devices[i]["nvme"].is_null()) << r;
    }
}

// Output that does not reach standard output is a failure, said once; a
// command that writes nothing has nothing to fail.
TEST(CliGolden, WriteErrorsFail) {
    const std::string full = "zodisk: write error: No space left on device\n";
    const Strings fail[] = {{"list"}, {"--json", "list"}, {"tree", "-r"}, {"wwid", "/dev/sda"},
                            {"check"}, {"show", "/dev/sdb"}, {"--help"}, {"--version"},
                            {"multipath", "add", "--dry-run", "/dev/sdb"}};
    for (const Strings& args : fail) {
        Result r = on("qemu-san", args, "/dev/full");
        EXPECT_TRUE(r.status == 1 && r.err == full) << r;
    }
    Result r = on("qemu-san", {"list", "/dev/nope"}, "/dev/full");
    EXPECT_TRUE(r.status == 32 && r.err == "zodisk: /dev/nope: no such device\n") << r;
}

// The library tries each kind of disk in turn and logs each that declines
// the path: -vvv shows what it decided and its trace without those lines,
// -vvvv with them.
TEST(CliGolden, VerbosityHoldsBackKindDeclines) {
    const std::string decline = "/dev/sdb is not supported device";
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
        return n;
    };
    for (int v = 1; v <= 4; ++v) {
        Result r = on("qemu-san", {"-" + std::string(v, 'v'), "multipath", "add", "--dry-run", "/dev/sdb"});
        EXPECT_EQ(r.status, 0) << r;
        EXPECT_EQ(count(r.err, "Device: /dev/sdb. Wwid 36d43314513756dca6941b6cc8a09acb2"), 1u) << r;
        EXPECT_EQ(count(r.err, decline) > 0, v == 4) << r;
    }
}

// A --sysroot that cannot stand for a machine is refused, naming the tree
// and what a host tree holds; one that lacks a part or holds garbage in
// proc/partitions is read with a warning saying so.
TEST(CliGolden, HostTreesThatCannotStandForAMachine) {
    zotest::HostTree empty, noClass(kExamples + "qemu-san"), garbage(kExamples + "qemu-san");
    noClass.remove("/sys/class");
    garbage.write("/proc/partitions", garbage.read("/proc/partitions") + "this is not a partition\n 8 16\n");
    Result r = on(empty.root(), {"list"});
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.err, "zodisk: --sysroot " + empty.root() +
                         " is not a host tree: it has neither sys/block nor sys/dev/block; a host tree "
                         "stands for a machine's / and holds at least proc/partitions, sys/block (or the "
                         "sys/dev/block links), sys/class/block and dev/ (see zodisk(8), HOST TREES; "
                         "'zodisk snapshot DIR' captures one)\n") << r;
    r = on(noClass.root(), {"list", "-o", "NAME"});
    EXPECT_TRUE(r.status == 0 && r.out.find("\nsdb\n") != std::string::npos) << r;
    EXPECT_EQ(r.err.rfind("zodisk: warning: --sysroot " + noClass.root() + " has no sys/class/block: ", 0), 0u) << r;
    r = on(garbage.root(), {"list", "-o", "NAME"});
    EXPECT_TRUE(r.status == 0 && r.out.find("\nsdb\n") != std::string::npos) << r;
    EXPECT_EQ(r.err, "zodisk: warning: --sysroot " + garbage.root() +
                         ": proc/partitions has 2 line(s) that are not 'major minor #blocks name', "
                         "first line 17: 'this is not a partition'\n") << r;
    for (const char* tree : {"qemu-san", "qemu-guest", "xen-guest"})
        EXPECT_EQ(on(tree, {"list"}).err, "") << tree;
}
