// SPDX-License-Identifier: LGPL-2.1-or-later
// The multipath configuration editor on host trees: the switch, the WWID
// collection, the refresh and the result list; and the file never lost:
// injected failures at every step (the file is only ever replaced whole, by
// a rename), processes editing at once.
#include "test.h"

#include "ZoDeviceTreeEditor.h"
#include "ZoMultipathConf.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>

#include <map>

namespace {

const char* const kConf = "/etc/multipath.conf";
const char* const kTemp = "/etc/multipath.conf.zo_temp";
const std::string kOriginal = "defaults {\n\tfind_multipaths yes\n}\nblacklist_exceptions {\n\twwid \"3keep\"\n}\n"
                              "multipaths {\n\tmultipath {\n\t\twwid \"3keep\"\n\t}\n}\n";

bool run(bool adding, CLuError* err, const std::vector<std::string>& wwids = {"3600a0b81", "3600a0b82"}) {
    return adding ? zo_editor::addWwids(wwids, "test", err) : zo_editor::delWwids(wwids, "test", err) == 0;
}

// The extended attributes of a file, by name.
std::map<std::string, std::string> xattrsOf(const std::string& path) {
    std::map<std::string, std::string> out;
    char names[4096], value[4096];
    const ssize_t n = ::listxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const ssize_t v = ::getxattr(path.c_str(), names + at, value, sizeof value);
        out[names + at] = v < 0 ? "(unreadable)" : std::string(value, static_cast<size_t>(v));
    }
    return out;
}

// A POSIX access ACL (the kernel's xattr form) giving user 1234 read and
// write beside the owner, group and others: one the kernel keeps as an
// attribute, as it cannot be told by the mode alone.
std::string accessAcl() {
    std::string acl("\x02\0\0\0", 4);
    const struct { uint16_t tag, perm; uint32_t id; } entries[] = {
        {1, 6, ~0u}, {2, 6, 1234}, {4, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 4, ~0u}};
    for (const auto& e : entries) acl.append(reinterpret_cast<const char*>(&e), sizeof e);
    return acl;
}

// A failure to inject: op fails with err on subject (empty: any) at its nth
// call (0: every call); the caller gets message (empty: the operation's
// partial-write message) and code.
struct Fault { std::string op, subject; int nth, err; std::string message; int code; };

// Disks sdb (under map mpatha) and sdc, editing switched on, the tree
// installed behind a FaultHost.
class EditorTest : public ::testing::Test {
protected:
    EditorTest() {
        tree.setConfig("[Ferrovane]\nnConfigureBlacklistException = 1\n");
        tree.write(kConf, kOriginal);
        zotest::addScsiDisk(tree, {"sdb", 16, 1, 1});
        zotest::addScsiDisk(tree, {"sdc", 32, 2, 2});
        zotest::DmMapSpec map;
        map.wwid = w1;
        map.paths = {"sdb"};
        zotest::addMultipathMap(tree, map);
        install();
    }
    // Installs the tree anew behind a fresh FaultHost that injects f when given.
    zotest::FaultHost& install(const Fault* f = nullptr) {
        installed.reset();
        installed.reset(new zotest::FaultyInstall(tree));
        installed->host().setClock(1700000000);
        fault = installed->fault.get();
        if (f) f->nth ? fault->failNth(f->op, f->nth, f->err) : fault->failWhen(f->op, f->subject, f->err);
        return *fault;
    }
    // Returns true iff nobody holds the editor's lock.
    bool lockFree() {
        const int fd = ::open(tree.at(zo_editor::kLockPath).c_str(), O_RDWR | O_CLOEXEC);
        const bool free = fd < 0 ? errno == ENOENT : ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) ::close(fd);
        return free;
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::FaultyInstall> installed;
    zotest::FaultHost* fault = nullptr;
    const std::string w1 = zotest::wwidOfSeed(1), w2 = zotest::wwidOfSeed(2);
};

TEST_F(EditorTest, AddWritesEntriesRefreshesAndReturnsTheMapsWhenSwitchedOn) {
    zotest::LogCapture log;
    std::list<std::string> paths = {"/dev/sdb", "/dev/sdz", "/dev/sdc"};
    CLuError err;
    const auto result = ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err);
    ASSERT_EQ(result.size(), 3u);
    ASSERT_TRUE(result.front());
    EXPECT_EQ(result.front()->getDevicePath(), "/dev/mapper/mpatha");
    EXPECT_FALSE(*std::next(result.begin())) << "the path no kind accepts";
    EXPECT_FALSE(result.back()) << "a disk without a map";
    ASSERT_EQ(err.Entries().size(), 1u) << err.AsString();
    EXPECT_NE(err.AsString().find("/dev/sdz"), std::string::npos) << err.AsString();
    const std::string text = tree.read(kConf);
    for (const std::string& w : {w1, w2}) {
        EXPECT_NE(text.find("\twwid \"" + w + "\" # autocreated"), std::string::npos) << w << " in\n" << text;
        EXPECT_NE(text.find("\t\talias \"mpath_zo_" + w + "\"\n"), std::string::npos) << w << " in\n" << text;
    }
    const auto commands = fault->commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "multipath -r"), 1);
    EXPECT_EQ(log.count("Device: /dev/sdb. Wwid " + w1), 1u) << log.dump();

    // Once more: every entry is there, so neither the file nor the maps are
    // touched, and the result is the same.
    const int writes = fault->count("openForWrite");
    CLuError again;
    const auto second = ZoDeviceTree::addMultipathBlacklistExceptions(paths, &again);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_TRUE(second.front() && second.front()->getDevicePath() == "/dev/mapper/mpatha" && !second.back());
    EXPECT_EQ(fault->count("openForWrite"), writes);
    EXPECT_EQ(fault->commands(), commands);
    EXPECT_EQ(again.AsString(), err.AsString() + "; Blacklist exception already exists for " + w1 +
                                    "; Blacklist exception already exists for " + w2);

    // With the switch off (or not a number) neither operation touches the file.
    for (const char* value : {"0", "yes"}) {
        tree.setConfig(std::string("[Ferrovane]\nnConfigureBlacklistException = ") + value + "\n");
        CLuError addErr, delErr;
        EXPECT_TRUE(ZoDeviceTree::addMultipathBlacklistExceptions(paths, &addErr).empty());
        EXPECT_EQ(addErr.AsString(), "Registry key nConfigureBlacklistException not set.");
        EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(paths, &delErr), -1);
        EXPECT_EQ(delErr.AsString(), addErr.AsString());
    }
    EXPECT_EQ(tree.read(kConf), text);
}

// sdd is a second path of sdb's disk; sde's ASCII designator holds a quote
// and a blank, which would break the entry's line. An exception is an
// unanchored pattern to multipath: sdf's designator ".*" would except every
// disk, sdg's empty one ("3") every WWID holding a 3; their WWIDs are still
// what GetDeviceWwid answers, and removal takes them. sdh and sdi have NAA 5
// then NAA 6: multipath knows sdh by the NAA 6 (derived from sysfs), sdi by
// the NAA 5 udev recorded as its ID_SERIAL.
TEST_F(EditorTest, CollectionSkipsWhatHasNoUsableWwid) {
    zotest::addScsiDisk(tree, {"sdd", 48, 3, 1});
    const auto disk = [&](const std::string& name, int minor, const std::string& body) {
        zotest::ScsiDiskSpec d(name, minor, minor / 16);
        d.vpdPg83 = zotest::page83(body);
        zotest::addScsiDisk(tree, d);
    };
    const std::string naa5 = zotest::bytes({0x50, 0x00, 0xc5, 0x00, 0x15, 0xea, 0x71, 0xac});
    const std::string naa6 = zotest::bytes({0x60, 1, 0x40, 0x5a, 0x3c, 0x2b, 0x1e, 0x0f, 0, 0xd1, 0xc2, 0xb3, 0xa4, 0x95, 0x86, 0x77});
    const std::string w5 = "3" + zotest::hexBytes(naa5), w6 = "3" + zotest::hexBytes(naa6);
    disk("sde", 64, zotest::desc(2, 0, 3, "AB\" C"));
    disk("sdf", 80, zotest::desc(2, 0, 3, ".*"));
    disk("sdg", 96, zotest::desc(1, 0, 3, ""));
    disk("sdh", 112, zotest::desc(1, 0, 3, naa5) + zotest::desc(1, 0, 3, naa6));
    disk("sdi", 128, zotest::desc(1, 0, 3, naa5) + zotest::desc(1, 0, 3, naa6));
    tree.write("/run/udev/data/b8:128", "S:disk/by-id/scsi-" + w5 + "\nE:ID_SERIAL=" + w5 + "\nE:ID_BUS=scsi\n");
    install();
    const std::string unused = "; no entry is written for it";
    const struct {
        std::list<std::string> paths;
        bool rejectMpio;
        std::vector<std::string> wwids;
        std::string pushed;
    } cases[] = {
        {{"/dev/sdb", "/dev/sdd", "/dev/sdc", "/dev/sdb"}, true, {w1, w2}, ""},
        {{"/dev/sde", "/dev/sdc"}, true, {w2}, "Unable to get scsi id"},
        {{"/dev/mapper/mpatha", "/dev/sdc"}, true, {w2}, "/dev/mapper/mpatha is already a MPIO device"},
        {{"/dev/mapper/mpatha"}, false, {w1}, ""},
        {{"/dev/sdf", "/dev/sdc"}, true, {w2}, "/dev/sdf: its WWID \"3.*\" holds characters other than letters, "
             "digits, '-', '_' and ':', which multipath reads as a regular expression" + unused},
        {{"/dev/sdg"}, true, {}, "/dev/sdg: its WWID \"3\" is shorter than 17 characters, and multipath would "
             "match it inside the WWIDs of other disks" + unused},
        {{"/dev/sdf", "/dev/sdg"}, false, {"3.*", "3"}, ""},
        {{"/dev/sdh"}, true, {}, "/dev/sdh: multipath knows this disk as " + w6 + ", not by its WWID " + w5 +
             " (the first of its logical-unit NAA designators), so an entry for " + w5 + " would never match it" + unused},
        {{"/dev/sdi"}, true, {w5}, ""},
    };
    for (const auto& c : cases) {
        CLuError err;
        EXPECT_EQ(zo_editor::collectWwids(c.paths, c.rejectMpio, &err), c.wwids) << c.paths.front() << c.rejectMpio;
        EXPECT_EQ(err.AsString(), c.pushed) << c.paths.front() << c.rejectMpio;
    }
}

TEST_F(EditorTest, EveryFailureLeavesTheFileAsItWas) {
    // A clean run tells how many writes each operation makes (one per line)
    // and that adding alone refreshes, after the rename, under the lock.
    fault->after("run", [&] { EXPECT_TRUE(tree.read(kConf) != kOriginal && !lockFree()); });
    ASSERT_TRUE(run(true, nullptr));
    const std::string added = tree.read(kConf);
    const int addWrites = fault->count("append"), refreshRuns = fault->count("run");
    EXPECT_EQ(addWrites, static_cast<int>(zo_mpconf::splitLines(added).size()));
    EXPECT_GT(refreshRuns, 0);
    ASSERT_TRUE(run(false, nullptr));
    EXPECT_EQ(fault->count("run"), refreshRuns);
    const int delWrites = fault->count("append") - addWrites;

    for (bool adding : {true, false}) {
        std::vector<Fault> faults = {
            {"missing", "", 0, 0, "Unable to open /etc/multipath.conf", ENOENT},
            {"hard link", "", 0, 0, "Unable to edit /etc/multipath.conf: /etc/multipath.conf has 2 hard links, "
             "which replacing it would split", 774},
            {"readFile", kConf, 0, EIO, "Unable to open /etc/multipath.conf", EIO},
            {"lstat", kConf, 0, EIO, "Unable to open /etc/multipath.conf", EIO},
            {"lockFile", "", 0, ENOLCK, "Unable to lock /etc/multipath.conf.zo_lock", EINVAL},
            {"openForWrite", "", 0, EACCES, "Unable to open /etc/multipath.conf.zo_temp", EACCES},
            {"sync", "", 0, EIO, "", 774},
            {"close", "", 0, EIO, "", 774},
            {"rename", "", 0, EXDEV, "Rename /etc/multipath.conf.zo_temp to /etc/multipath.conf failed", EXDEV},
            {"listXattrs", "", 0, EIO, "Unable to copy the extended attributes of /etc/multipath.conf", EIO},
            {"setXattr", "", 0, EPERM, "Unable to copy the extended attribute user.zodevice of /etc/multipath.conf",
             EPERM},
        };
        for (int n = 1; n <= (adding ? addWrites : delWrites); ++n) faults.push_back({"append", "", n, ENOSPC, "", 774});
        const std::string before = adding ? kOriginal : added;
        for (const Fault& f : faults) {
            SCOPED_TRACE((adding ? "add, " : "remove, ") + f.op + " #" + std::to_string(f.nth));
            f.op == "missing" ? tree.remove(kConf) : tree.write(kConf, before);
            tree.remove("/etc/multipath.conf.orig");
            if (f.op == "hard link") {
                ASSERT_EQ(::link(tree.at(kConf).c_str(), tree.at("/etc/multipath.conf.orig").c_str()), 0);
            }
            if (f.op != "missing" &&
                ::setxattr(tree.at(kConf).c_str(), "user.zodevice", "x", 1, 0) != 0 && f.op == "setXattr")
                continue;  // a file system without user attributes: nothing to copy
            install(&f);
            CLuError err;
            EXPECT_FALSE(run(adding, &err));
            EXPECT_EQ(err.AsString(), !f.message.empty() ? f.message
                                      : adding           ? "Partial write. Aborting"
                                                         : "Error. Partial write");
            EXPECT_EQ(err.GetCode(), f.code);
            EXPECT_EQ(tree.exists(kConf) ? tree.read(kConf) : "(missing)", f.op == "missing" ? "(missing)" : before);
            EXPECT_FALSE(tree.exists(kTemp));
            EXPECT_TRUE(lockFree());
            EXPECT_EQ(fault->count("run"), 0) << "no refresh after a failed rewrite";
        }
    }
}

// The temporary file is made with mode 0600 (a stale one is replaced), then
// given the configuration's owner, extended attributes (an SELinux label, an
// ACL, a user attribute, where the file system and the user may set them)
// and mode (setuid and setgid bits survive); a failure to copy owner or
// mode, or to sync the directory after the rename, is only logged. A
// symbolic link stays: the file it names is replaced.
TEST_F(EditorTest, ReplacementTakesOwnerAndModeAndOnlyLogsFailures) {
    const bool chownable = ::chown(tree.at(kConf).c_str(), 1234, 5678) == 0;
    const std::string denied = "Error setting attributes. error( 1:Operation not permitted)";
    const struct {
        Fault fault;
        std::string link;  // /etc/multipath.conf is a link to /etc/mp/real.conf, written so
        std::string logLine;
        mode_t mode;
        uid_t uid;
    } cases[] = {
        {{"", "", 0, 0, "", 0}, "mp/real.conf", "", 06750, 1234},
        {{"stat", kConf, 0, EIO, "", 0}, "", "Error setting attributes. error( 5:Input/output error)", 0600, 0},
        {{"chown", "", 0, EPERM, "", 0}, "", denied, 0600, 0},
        {{"chmod", "", 0, EPERM, "", 0}, "", denied, 0600, 1234},
        {{"syncDir", "", 0, EIO, "", 0}, "/etc/mp/real.conf", "Unable to sync /etc/mp. error 5", 06750, 1234},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.op + " " + c.link);
        const std::string target = c.link.empty() ? kConf : "/etc/mp/real.conf", temp = target + ".zo_temp";
        tree.remove(kConf);
        tree.write(target, kOriginal);
        if (!c.link.empty()) tree.symlink(c.link, kConf);
        tree.write(temp, "left behind by a process that died\n");
        ASSERT_EQ(::chmod(tree.at(temp).c_str(), 0666), 0);
        ASSERT_TRUE(!chownable || ::chown(tree.at(target).c_str(), 1234, 5678) == 0);
        const std::pair<const char*, std::string> attrs[] = {
            {"user.zodevice", "kept"}, {"security.selinux", std::string("system_u:object_r:etc_t:s0\0", 27)},
            {"system.posix_acl_access", accessAcl()}};
        for (const auto& a : attrs) ::setxattr(tree.at(target).c_str(), a.first, a.second.data(), a.second.size(), 0);
        ASSERT_EQ(::chmod(tree.at(target).c_str(), 06750), 0);
        const std::map<std::string, std::string> xattrs = xattrsOf(tree.at(target));
        EXPECT_TRUE(xattrs.count("security.selinux") || ::geteuid() != 0);  // root may always set it
        install(&c.fault);
        zotest::LogCapture log;
        CLuError err;
        EXPECT_TRUE(run(true, &err));
        EXPECT_FALSE(err.IsError()) << err.AsString();
        EXPECT_NE(tree.read(target), kOriginal);
        EXPECT_EQ(tree.read(target).find("left behind"), std::string::npos);
        struct stat st;
        ASSERT_EQ(::lstat(tree.at(kConf).c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), !c.link.empty());
        ASSERT_EQ(::stat(tree.at(target).c_str(), &st), 0);
        // Where the ACL is kept, it carries the permission bits (owner, mask, others) even
        // when the mode was not copied.
        EXPECT_EQ(st.st_mode & 07777, c.mode == 0600 && xattrs.count("system.posix_acl_access") ? 0750 : c.mode);
        EXPECT_EQ(xattrsOf(tree.at(target)), xattrs);
        EXPECT_EQ(chownable ? st.st_uid : c.uid, c.uid);
        EXPECT_FALSE(tree.exists(temp));
        EXPECT_EQ(log.countContaining("Unable to sync") + log.countContaining("Error setting attributes"),
                  c.logLine.empty() ? 0u : 1u) << log.dump();
        EXPECT_EQ(log.count(c.logLine), c.logLine.empty() ? 0u : 1u) << log.dump();
        EXPECT_TRUE(lockFree());
    }
}

// Eight processes add eight disks each to one file at the same time; then
// removing the 64 takes out exactly one exception line and one block each.
TEST_F(EditorTest, ConcurrentEditorsLoseNoEntry) {
    std::vector<std::string> all;
    for (int i = 0; i < 64; ++i) all.push_back("3600c0ffee" + std::to_string(i));
    std::vector<pid_t> pids;
    for (int p = 0; p < 8; ++p) {
        pids.push_back(::fork());
        for (int k = 0; pids.back() == 0 && k < 8; ++k) {
            if (!run(true, nullptr, {all[p * 8 + k]})) ::_exit(1);
        }
        if (pids.back() == 0) ::_exit(0);
    }
    for (pid_t pid : pids) {
        int status = -1;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
    }
    const std::string text = tree.read(kConf);
    const zo_mpconf::RemovePlan plan = zo_mpconf::planRemove(text, all);
    EXPECT_EQ(plan.exceptionLinesRemoved, 64) << text;
    EXPECT_EQ(plan.blocksRemoved, 64) << text;
    std::string rest;
    for (const std::string& line : plan.lines) rest += line;
    EXPECT_EQ(rest, kOriginal);
}

}  // namespace
