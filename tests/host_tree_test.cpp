// SPDX-License-Identifier: LGPL-2.1-or-later
// Rules only a host tree has: confinement to its root, /dev nodes made up
// from sysfs, device nodes in the tree never opened, images as disks, INQUIRY from sysfs, re-reads refused as the
// kernel refuses them, the command table, the recorded sleeps and the clock.
#include "test.h"

#include "LUSleep.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <cstddef>

#include <functional>

namespace {

const std::string kScsiDev = "/sys/devices/platform/host2/target2:0:0/2:0:0:1";

class HostTreeTest : public ::testing::Test {
protected:
    HostTreeTest() : m_host(std::dynamic_pointer_cast<ZoRootedHost>(ZoHost::makeRooted(m_tree.root()))) {
        m_tree.addBlockDevice("sdb", 8, 16, 32768, kScsiDev + "/block/sdb");
        m_tree.addPartition("sdb", "sdb1", 1, 8, 17, 2048, 4096);
    }
    zotest::HostTree m_tree;
    std::shared_ptr<ZoRootedHost> m_host;
};

TEST_F(HostTreeTest, LinksAndWritesNeverLeaveTheRoot) {
    const std::string outside = "/tmp/zohost-escape-" + std::to_string(::getpid());
    m_tree.symlink("../../../.." + outside, "/w/up");
    m_tree.symlink("/../..", "/w/top");
    m_tree.mkdir("/tmp");
    for (auto host : {std::shared_ptr<ZoRootedHost>(m_host), zohost::makeRootedResolvingHere(m_tree.root())}) {
        std::unique_ptr<ZoWritableFile> f;
        ASSERT_EQ(0, host->openForWrite("/w/up", 0644, &f));  // through an escaping link
        EXPECT_TRUE(f->append("inside") == 0 && f->close() == 0);
        EXPECT_NE(0, ::access(outside.c_str(), F_OK));
        for (const std::string& path : {std::string("/w/up"), "/w/top" + outside, "/../.." + outside}) {
            std::string s;
            EXPECT_TRUE(host->readFile(path, &s) == 0 && s == "inside") << path << ": " << s;
        }
        ASSERT_EQ(0, host->unlink(outside));
    }
}

TEST_F(HostTreeTest, DeviceNodesComeFromSysfsAndImagesAreDisks) {
    m_tree.write("/sys/devices/virtual/nvme/nvme0/dev", "243:0\n");
    m_tree.symlink("../../devices/virtual/nvme/nvme0", "/sys/class/nvme/nvme0");
    m_tree.symlink("../../sdb1", "/dev/disk/by-id/wwn-1-part1");
    for (auto bad : {std::make_pair("sdx", "8:1x\n"), std::make_pair("sdy", "8\n"), std::make_pair("sdz", "-1:2\n")})
        m_tree.write(std::string("/sys/class/block/") + bad.first + "/dev", bad.second);
    struct Case { const char* path; mode_t type; dev_t rdev; } cases[] = {  // type 0: no node
        {"/dev/sdb", S_IFBLK, makedev(8, 16)}, {"/dev/disk/by-id/wwn-1-part1", S_IFBLK, makedev(8, 17)},
        {"/dev/nvme0", S_IFCHR, makedev(243, 0)}, {"/dev/sdc", 0, 0}, {"/sdb", 0, 0},
        {"/dev/sdx", 0, 0}, {"/dev/sdy", 0, 0}, {"/dev/sdz", 0, 0}};
    for (const auto& c : cases) {
        struct stat st;
        ASSERT_EQ(c.type ? 0 : ENOENT, m_host->stat(c.path, &st)) << c.path;
        EXPECT_TRUE(!c.type || ((st.st_mode & S_IFMT) == c.type && st.st_rdev == c.rdev)) << c.path;
    }
    std::vector<ZoHostPartition> parts;
    EXPECT_LT(m_host->readPartitionTable("/dev/sdb", &parts), 0);  // a node without contents
    zotest::makeDiskImage(m_tree.at("/dev/sdb"), 16, "label: gpt\nstart=2048,size=4096\n");
    ASSERT_EQ(0, m_host->readPartitionTable("/dev/sdb", &parts));
    EXPECT_TRUE(parts.size() == 1 && parts[0].sectorCount == 4096u) << parts.size();
}

// A device node planted in a tree is data: no operation opens it, wherever
// it stands (a disk's node, an attribute, a configuration file, the command
// table, another mount inside the tree, where nodes may be opened). inotify
// sees every open of a node's inode but none by O_PATH; the planted block
// node is this machine's loop0.
TEST_F(HostTreeTest, DeviceNodesInTheTreeAreNeverOpened) {
    m_tree.addBlockDevice("sdc", 8, 32, 32768, "/sys/devices/virtual/block/sdc");
    m_tree.mkdir("/mnt");
    if (::mount("zotest", m_tree.at("/mnt").c_str(), "tmpfs", 0, "mode=0755") != 0)
        GTEST_SKIP() << "cannot mount here: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{m_tree.at("/mnt")};
    m_tree.write("/mnt/conf", "on the inner mount\n");
    m_tree.symlink("../mnt/conf", "/etc/conf");
    const struct { std::string path; mode_t type; unsigned major, minor; } nodes[] = {
        {"/dev/sdb", S_IFBLK, 7, 0}, {"/dev/sdc", S_IFCHR, 1, 3}, {"/etc/multipath.conf", S_IFCHR, 1, 3},
        {kScsiDev + "/vpd_pg83", S_IFCHR, 1, 3}, {"/.zohost/commands", S_IFCHR, 1, 3}, {"/mnt/null", S_IFCHR, 1, 3}};
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const auto& n : nodes) {
        m_tree.mkdir(n.path.substr(0, n.path.rfind('/')));
        if (::mknod(m_tree.at(n.path).c_str(), n.type | 0600, makedev(n.major, n.minor)) != 0)
            GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
        ASSERT_GE(::inotify_add_watch(watch, m_tree.at(n.path).c_str(), IN_OPEN | IN_ACCESS | IN_MODIFY), 0);
    }
    using Op = std::function<int(ZoRootedHost&)>;
    std::string text;
    uint64_t bytes = 0;
    std::unique_ptr<ZoWritableFile> file;
    std::unique_ptr<ZoHostLock> lock;
    std::vector<ZoHostPartition> parts;
    const struct { const char* what; Op op; int want; } cases[] = {
        {"readFile of a configuration file", [&](ZoRootedHost& h) { return h.readFile("/etc/multipath.conf", &text); }, EINVAL},
        {"readAttr of an attribute", [&](ZoRootedHost& h) { return h.readAttr(kScsiDev + "/vpd_pg83", &text); }, EINVAL},
        {"readFile on the inner mount", [&](ZoRootedHost& h) { return h.readFile("/mnt/null", &text); }, EINVAL},
        {"readFile of a file there", [&](ZoRootedHost& h) { return h.readFile("/etc/conf", &text) ? -1 : text == "on the inner mount\n" ? 0 : -2; }, 0},
        {"openForWrite", [&](ZoRootedHost& h) { return h.openForWrite("/etc/multipath.conf", 0644, &file); }, EROFS},
        {"lockFile", [&](ZoRootedHost& h) { return std::exchange(lock, nullptr), h.lockFile("/etc/multipath.conf", &lock); }, EROFS},
        {"probeOpen read-only under /dev", [](ZoRootedHost& h) { return h.probeOpen("/dev/sdc", O_RDONLY); }, 0},
        {"probeOpen for writing under /dev", [](ZoRootedHost& h) { return h.probeOpen("/dev/sdb", O_RDWR); }, EROFS},
        {"probeOpen elsewhere", [](ZoRootedHost& h) { return h.probeOpen("/etc/multipath.conf", O_RDONLY); }, EINVAL},
        {"readPartitionTable", [&](ZoRootedHost& h) { return h.readPartitionTable("/dev/sdb", &parts); }, -1},
        {"readDisk of a block node", [&](ZoRootedHost& h) { return h.readDisk("/dev/sdb", 0, 512, &text, &bytes); }, EINVAL},
        {"readDisk of a character node", [&](ZoRootedHost& h) { return h.readDisk("/dev/sdc", 0, 512, &text, &bytes); }, EINVAL},
        {"a command", [](ZoRootedHost& h) { return h.run("true").exitStatus; }, 127},
        {"stat: what the node is", [](ZoRootedHost& h) {
             struct stat st;
             return h.stat("/dev/sdb", &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == makedev(7, 0) ? 0 : -1;
         }, 0}};
    // Hosts made after the mount: a host sees the mounts its tree had when it was made.
    for (auto host : {std::dynamic_pointer_cast<ZoRootedHost>(ZoHost::makeRooted(m_tree.root())),
                      zohost::makeRootedAlwaysChecking(m_tree.root()), zohost::makeRootedResolvingHere(m_tree.root())})
        for (const auto& c : cases)
            EXPECT_EQ(c.want, c.op(*host)) << c.what;
    alignas(struct inotify_event) char events[4096];
    const ssize_t n = ::read(watch, events, sizeof events);
    EXPECT_TRUE(n < 0 && errno == EAGAIN) << "a planted node was opened (" << n << " bytes of events)";
    ::close(watch);
}

// A process under a system-call filter that kills it for the mount calls
// (as systemd's SystemCallFilter=@system-service does) still reads trees.
TEST_F(HostTreeTest, ReadsUnderAFilterThatForbidsMounts) {
#if !defined(SYS_open_tree) || !defined(SYS_mount_setattr)
    GTEST_SKIP() << "no mount calls to forbid";
#else
    m_tree.write("/etc/conf", "read\n");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open_tree, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_mount_setattr, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS)};
        struct sock_fprog filter = {sizeof code / sizeof code[0], code};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
            ::_exit(3);
        std::string text;
        const int rc = ZoHost::makeRooted(m_tree.root())->readFile("/etc/conf", &text);
        ::_exit(rc == 0 && text == "read\n" ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                : "exit status " + std::to_string(WEXITSTATUS(status)));
#endif
}

TEST_F(HostTreeTest, InquiryIsAnsweredFromSysfs) {
    const std::string pg83("\x00\x83\x00\x04\x01\x03\x00\x00", 8);
    m_tree.symlink("../../../2:0:0:1", kScsiDev + "/block/sdb/device");
    for (auto attr : std::vector<std::pair<std::string, std::string>>{
             {"type", "0\n"}, {"vendor", "QEMU    \n"}, {"model", "QEMU HARDDISK   \n"}, {"rev", "2.5+\n"}, {"vpd_pg83", pg83}})
        m_tree.write(kScsiDev + "/" + attr.first, attr.second);
    // want "": CHECK CONDITION, ILLEGAL REQUEST in the sense buffer when there is one
    struct Case { const char* node; unsigned char evpd, page; std::string want; bool sense; } cases[] = {
        {"/dev/sdb1", 1, 0x83, pg83, true},  // a partition answers for its disk
        {"/dev/sdb", 1, 0x00, std::string("\0\0\0\x02\x00\x83", 6), true},
        {"/dev/sdb", 0, 0, std::string("\0\0\x06\x02\x1f\0\0\0", 8) + "QEMU    QEMU HARDDISK   2.5+", true},
        {"/dev/sdb", 1, 0x80, "", true}, {"/dev/sdb", 1, 0x80, "", false}};
    for (const auto& c : cases) {
        unsigned char cdb[6] = {0x12, c.evpd, c.page, 0, 96, 0}, buf[96] = {}, sense[32] = {};
        ZoScsiCommand cmd{cdb, 6, buf, sizeof buf, ZoScsiCommand::FROM_DEVICE, c.sense ? sense : nullptr, sizeof sense};
        ZoScsiStatus st;
        ASSERT_EQ(0, m_host->scsiCommand(c.node, cmd, &st)) << c.node;
        EXPECT_EQ(c.want.empty() ? 2 : 0, st.status) << c.node << " page " << int(c.page);
        EXPECT_EQ(c.want.empty() && c.sense ? 0x05 : 0, sense[2] & 0x0f) << c.node << " page " << int(c.page);
        EXPECT_EQ(c.want, std::string(reinterpret_cast<char*>(buf), sizeof buf - st.residual)) << c.node << int(c.page);
    }
}

std::string describe(const ZoDmState& s) {
    std::string text;
    for (const auto* list : {&s.table, &s.status})
        for (const ZoDmTarget& t : *list)
            text += std::to_string(t.start) + "+" + std::to_string(t.length) + " " + t.type + " [" + t.params + "]; ";
    return s.openCount >= 0 ? text + "open " + std::to_string(s.openCount) : text;
}

TEST_F(HostTreeTest, DeviceMapperStateComesFromItsFile) {
    ZoDmState written;  // parameters kept byte for byte, trailing blanks too
    written.table = {{0, 131072, "multipath", "1 queue_if_no_path 0 1 1 service-time 0 2 1 8:0 1 8:32 1"}};
    written.status = {{0, 131072, "multipath", "2 0 0 0 1 1 A 0 2 2 8:0 A 0 0 1 8:32 A 0 0 1 "},
                      {131072, 8, "linear", ""}, {131080, 8, "zero", " x"}};
    written.openCount = 3;
    std::string text;
    ASSERT_TRUE(ZoRootedHost::formatDeviceMapperState(written, &text));
    EXPECT_FALSE(ZoRootedHost::formatDeviceMapperState({{{0, 8, "two words", ""}}, {}}, &text));
    EXPECT_FALSE(ZoRootedHost::formatDeviceMapperState({{}, {{0, 8, "linear", "a\nb"}}}, &text));
    m_tree.mkdir("/sys/devices/virtual/block/dm-1/dm");  // a map without captured state
    m_tree.symlink("../../devices/virtual/block/dm-1", "/sys/dev/block/253:1");
    struct Case { unsigned minor; std::string file; int err; std::string want; } cases[] = {
        {0, "# captured\n\n" + text, 0, describe(written)}, {1, "", ENOENT, ""}, {9, "", ENXIO, ""},
        {10, "table 0 8 linear\nbogus", EINVAL, ""}, {11, "table x 8 linear", EINVAL, ""}, {12, "table 0 8", EINVAL, ""},
        {13, "table 0 8 ", EINVAL, ""}, {14, "status 0 18446744073709551616 linear", EINVAL, ""},
        {15, "table 0  8 linear", EINVAL, ""}, {16, "open 0\ntable 0 8 zero", 0, "0+8 zero []; open 0"},
        {17, "open -1", EINVAL, ""}, {18, "open 2147483648", EINVAL, ""}, {19, "open 1 x", EINVAL, ""}};
    for (const auto& c : cases) {
        if (!c.file.empty()) m_tree.write(ZoRootedHost::deviceMapperStatePath(253, c.minor), c.file);
        ZoDmState got;
        EXPECT_EQ(c.err, m_host->deviceMapperState(253, c.minor, &got)) << c.file;
        EXPECT_EQ(c.want, describe(got)) << c.file;
    }
}

TEST_F(HostTreeTest, SleepsAreRecordedAndMoveTheClock) {
    m_host->setClock(1000);
    m_host->sleepMs(1500);
    m_host->sleepMs(499);
    EXPECT_EQ((std::vector<unsigned long>{1500, 499}), m_host->sleepsMs());
    EXPECT_EQ(1001, m_host->now());  // whole seconds slept since the clock was set
    m_tree.write("/.zohost/clock", "1700000000\n");
    auto installed = m_tree.install();
    LUSLEEP(60000);
    EXPECT_EQ(std::vector<unsigned long>{60000}, installed.host().sleepsMs());
    EXPECT_EQ(1700000060, ZoHost::current()->now());
}

// BLKRRPART answers as the kernel does: a disk a map holds (a multipath
// path), or whose partition a map holds, keeps its table (EBUSY). Rows are
// cumulative: each adds its holder to the tree and removes it again. A path
// that is no disk node answers ENOTTY, a missing one ENOENT.
using KernelFindings = HostTreeTest;
TEST_F(KernelFindings, RereadOfAHeldDiskIsBusyAsInTheKernel) {
    const struct { const char* what; std::string holder; int err; const char* node = "/dev/sdb"; } cases[] = {
        {"disk nobody holds", "", 0},
        {"disk a map holds", kScsiDev + "/block/sdb/holders/dm-0", EBUSY},
        {"disk whose partition a map holds", kScsiDev + "/block/sdb/sdb1/holders/dm-0", EBUSY},
        {"disk without its entry by number", "/sys/dev/block/8:16", 0},  // removed, not added
        {"a file, no disk node", "", ENOTTY, "/dev/notadisk"}, {"nothing", "", ENOENT, "/dev/nothing"}};
    m_tree.write("/dev/notadisk", "");
    for (const auto& c : cases) {
        const bool removing = c.holder.rfind("/sys/dev/", 0) == 0;
        if (!c.holder.empty()) removing ? m_tree.remove(c.holder) : m_tree.symlink("../../../../dm-0", c.holder);
        const size_t before = m_host->rereads().size();
        errno = 0;
        EXPECT_EQ(c.err ? -1 : 0, m_host->rereadPartitions(c.node)) << c.what;
        EXPECT_EQ(c.err, c.err ? errno : 0) << c.what;
        EXPECT_EQ(c.err ? before : before + 1, m_host->rereads().size()) << c.what;
        if (!removing && !c.holder.empty()) m_tree.remove(c.holder);
    }
}

}  // namespace
