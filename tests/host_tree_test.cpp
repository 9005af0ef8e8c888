// Rules only a host tree has: confinement to its root, /dev nodes made up
// from sysfs, INQUIRY answered from sysfs attributes, the command table,
// recorded sleeps and the clock.
#include "support/host_tree.h"

#include "LUSleep.h"
#include "ZoHost.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

using zotest::HostTree;

const char kSdbDir[] = "/sys/devices/platform/host2/target2:0:0/2:0:0:1/block/sdb";
const char kScsiDev[] = "/sys/devices/platform/host2/target2:0:0/2:0:0:1";

class HostTreeTest : public ::testing::Test {
protected:
    HostTreeTest() : m_host(ZoHost::makeRooted(m_tree.root())) {}
    ZoRootedHost& host() { return static_cast<ZoRootedHost&>(*m_host); }

    HostTree m_tree;
    std::shared_ptr<ZoHost> m_host;
};

TEST_F(HostTreeTest, LinksNeverLeaveTheRoot) {
    m_tree.write("/etc/passwd", "tree passwd\n");
    m_tree.symlink("../../../../etc/passwd", "/w/up");
    m_tree.symlink("/etc/passwd", "/w/abs");
    m_tree.symlink("/../../..", "/w/top");
    for (const char* path : {"/w/up", "/w/abs", "/../../etc/passwd", "/w/top/etc/passwd",
                             "/w/top/../etc/passwd"}) {
        std::string s;
        EXPECT_EQ(0, host().readFile(path, &s)) << path;
        EXPECT_EQ("tree passwd\n", s) << path;
        EXPECT_EQ(m_tree.at("/etc/passwd"), host().hostPath(path)) << path;
    }
    // Writing through an escaping link lands inside the tree as well.
    const std::string outside = "/tmp/zohost-escape-" + std::to_string(::getpid());
    m_tree.symlink("../../../.." + outside, "/w/evil");
    m_tree.mkdir("/tmp");
    std::unique_ptr<ZoWritableFile> f;
    ASSERT_EQ(0, host().openForWrite("/w/evil", 0644, &f));
    EXPECT_EQ(0, f->close());
    EXPECT_NE(0, ::access(outside.c_str(), F_OK));
    EXPECT_TRUE(m_tree.exists(outside));
}

TEST_F(HostTreeTest, DeviceNodesComeFromSysfs) {
    m_tree.addBlockDevice("sdb", 8, 16, 2048, kSdbDir);
    m_tree.addPartition("sdb", "sdb1", 1, 8, 17, 2048, 1024);
    m_tree.write("/sys/devices/virtual/nvme/nvme0/dev", "243:0\n");
    m_tree.symlink("../../devices/virtual/nvme/nvme0", "/sys/class/nvme/nvme0");
    m_tree.symlink("../../sdb", "/dev/disk/by-id/wwn-0x5000c500a1b2c3d4");
    m_tree.symlink("../../sdb1", "/dev/disk/by-id/wwn-0x5000c500a1b2c3d4-part1");
    m_tree.mkdir("/dev/mapper");

    struct Case {
        const char* path;
        int err;
        mode_t type;
        int major, minor;
    } cases[] = {
        {"/dev/sdb", 0, S_IFBLK, 8, 16},
        {"/dev/sdb1", 0, S_IFBLK, 8, 17},
        {"/dev/disk/by-id/wwn-0x5000c500a1b2c3d4", 0, S_IFBLK, 8, 16},
        {"/dev/disk/by-id/wwn-0x5000c500a1b2c3d4-part1", 0, S_IFBLK, 8, 17},
        {"/dev/nvme0", 0, S_IFCHR, 243, 0},
        {"/dev/mapper", 0, S_IFDIR, 0, 0},
        {"/dev/sdc", ENOENT, 0, 0, 0},
        {"/sdb", ENOENT, 0, 0, 0},  // only under /dev
    };
    for (const Case& c : cases) {
        struct stat st;
        ASSERT_EQ(c.err, host().stat(c.path, &st)) << c.path;
        if (c.err)
            continue;
        EXPECT_EQ(c.type, st.st_mode & S_IFMT) << c.path;
        if (c.type != S_IFDIR) {
            EXPECT_EQ(makedev(c.major, c.minor), st.st_rdev) << c.path;
            EXPECT_EQ(0, host().probeOpen(c.path, O_RDONLY)) << c.path;
        }
    }
    struct stat st;
    ASSERT_EQ(0, host().lstat("/dev/disk/by-id/wwn-0x5000c500a1b2c3d4", &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(0, host().lstat("/dev/sdb", &st));
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(0, host().access("/dev/sdb", R_OK));
}

// Runs sfdisk on a fresh image at real path img.
void makeImage(const std::string& img, const std::string& script) {
    std::string cmd = "truncate -s 16M '" + img + "' && printf '" + script + "' | sfdisk -q '" + img +
                      "' >/dev/null 2>&1";
    ASSERT_EQ(0, std::system(cmd.c_str())) << cmd;
}

TEST_F(HostTreeTest, AnImageAtANodeIsTheDisksContents) {
    m_tree.addBlockDevice("sdb", 8, 16, 32768, kSdbDir);
    m_tree.mkdir("/dev");
    makeImage(m_tree.at("/dev/sdb"), "label: gpt\nstart=2048,size=4096\nstart=8192,size=2048\n");
    m_tree.symlink("../../sdb", "/dev/disk/by-id/wwn-1");

    struct stat st;
    ASSERT_EQ(0, host().stat("/dev/sdb", &st));
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(makedev(8, 16), st.st_rdev);
    std::vector<ZoHostPartition> parts;
    ASSERT_EQ(0, host().readPartitionTable("/dev/disk/by-id/wwn-1", &parts));
    ASSERT_EQ(2u, parts.size());
    EXPECT_EQ(2048u, parts[0].startSector);
    EXPECT_EQ(4096u, parts[0].sectorCount);
    EXPECT_EQ(2, parts[1].number);

    EXPECT_EQ(0, host().rereadPartitions("/dev/sdb"));
    EXPECT_EQ(0, host().rereadPartitions("/dev/disk/by-id/wwn-1"));
    errno = 0;
    EXPECT_EQ(-1, host().rereadPartitions("/dev/sdx"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ((std::vector<std::string>{"/dev/sdb", "/dev/disk/by-id/wwn-1"}), host().rereads());

    // A node made up from sysfs alone has no contents.
    m_tree.addBlockDevice("sdc", 8, 32, 2048, "/sys/devices/virtual/block/sdc");
    EXPECT_LT(host().readPartitionTable("/dev/sdc", &parts), 0);
}

class Inquiry : public HostTreeTest {
protected:
    void SetUp() override {
        m_tree.addBlockDevice("sdb", 8, 16, 2048, kSdbDir);
        m_tree.addPartition("sdb", "sdb1", 1, 8, 17, 2048, 1024);
        m_tree.symlink("../../../2:0:0:1", std::string(kSdbDir) + "/device");
        m_tree.write(std::string(kScsiDev) + "/type", "0\n");
        m_tree.write(std::string(kScsiDev) + "/vendor", "QEMU    \n");
        m_tree.write(std::string(kScsiDev) + "/model", "QEMU HARDDISK   \n");
        m_tree.write(std::string(kScsiDev) + "/rev", "2.5+\n");
        m_tree.write(std::string(kScsiDev) + "/vpd_pg83", m_pg83);
        m_tree.write(std::string(kScsiDev) + "/vpd_pg80", std::string("\0\x80\0\x04" "abcd", 8));
        m_tree.addBlockDevice("dm-0", 253, 0, 2048, "/sys/devices/virtual/block/dm-0");
    }
    // Sends INQUIRY; returns the host's result.
    int inquiry(const std::string& node, bool evpd, int page, int allocation, std::string* data,
                ZoScsiStatus* st, unsigned char* sense = nullptr, unsigned char opcode = 0x12) {
        unsigned char cdb[6] = {opcode, static_cast<unsigned char>(evpd ? 1 : 0),
                                static_cast<unsigned char>(page),
                                static_cast<unsigned char>(allocation >> 8),
                                static_cast<unsigned char>(allocation & 0xff), 0};
        unsigned char buf[512] = {};
        ZoScsiCommand cmd;
        cmd.cdb = cdb;
        cmd.cdbLength = 6;
        cmd.data = buf;
        cmd.dataLength = sizeof buf;
        cmd.direction = ZoScsiCommand::FROM_DEVICE;
        cmd.sense = sense;
        cmd.senseLength = sense ? 32 : 0;
        int rc = host().scsiCommand(node, cmd, st);
        data->assign(reinterpret_cast<char*>(buf), sizeof buf - static_cast<size_t>(st->residual));
        return rc;
    }
    const std::string m_pg83 = std::string(
        "\x00\x83\x00\x0c\x01\x03\x00\x08\x50\x00\xc5\x00\xa1\xb2\xc3\xd4", 16);
};

TEST_F(Inquiry, AnswersFromSysfsAttributes) {
    struct Case {
        const char* node;
        bool evpd;
        int page, allocation;
        std::string want;
    } cases[] = {
        {"/dev/sdb", true, 0x83, 255, m_pg83},
        {"/dev/sdb1", true, 0x83, 255, m_pg83},  // a partition answers for its disk
        {"/dev/sdb", true, 0x83, 4, m_pg83.substr(0, 4)},
        {"/dev/sdb", true, 0x80, 255, std::string("\0\x80\0\x04" "abcd", 8)},
        {"/dev/sdb", true, 0x00, 255, std::string("\0\0\0\x03\x00\x80\x83", 7)},
        {"/dev/sdb", false, 0, 96,
         std::string("\0\0\x06\x02\x1f\0\0\0", 8) + "QEMU    QEMU HARDDISK   2.5+"},
    };
    for (const Case& c : cases) {
        std::string data;
        ZoScsiStatus st;
        ASSERT_EQ(0, inquiry(c.node, c.evpd, c.page, c.allocation, &data, &st))
            << c.node << " page " << c.page;
        EXPECT_EQ(0, st.status) << c.node << " page " << c.page;
        EXPECT_EQ(c.want, data) << c.node << " page " << c.page;
    }
}

TEST_F(Inquiry, WhatSysfsCannotAnswerEndsInCheckCondition) {
    struct Case {
        const char* node;
        unsigned char opcode;
        bool evpd;
        int page;
        unsigned char asc;
    } cases[] = {
        {"/dev/sdb", 0x00, false, 0, 0x20},    // TEST UNIT READY
        {"/dev/sdb", 0x12, true, 0x89, 0x24},  // no vpd_pg89
        {"/dev/sdb", 0x12, false, 0x83, 0x24}, // page without EVPD
        {"/dev/dm-0", 0x12, true, 0x83, 0x20}, // no SCSI device below
    };
    for (const Case& c : cases) {
        std::string data;
        ZoScsiStatus st;
        unsigned char sense[32] = {};
        ASSERT_EQ(0, inquiry(c.node, c.evpd, c.page, 255, &data, &st, sense, c.opcode)) << c.node;
        EXPECT_EQ(2, st.status) << c.node << " " << int(c.opcode);
        EXPECT_EQ(18, st.senseWritten);
        EXPECT_EQ(0x70, sense[0]);
        EXPECT_EQ(0x05, sense[2] & 0x0f);  // ILLEGAL REQUEST
        EXPECT_EQ(c.asc, sense[12]) << c.node << " " << int(c.opcode);
        EXPECT_NE(std::string::npos, st.message.find("host tree cannot answer")) << st.message;
        EXPECT_TRUE(data.empty());
    }
    std::string data;
    ZoScsiStatus st;
    EXPECT_EQ(ENOENT, inquiry("/dev/sdq", true, 0x83, 255, &data, &st));
}

TEST_F(HostTreeTest, CommandTableRoundTrips) {
    struct Case {
        std::string cmd;
        int status;
        std::string out, err;
    } cases[] = {
        {"cat /proc/devices | grep 'xvd' | awk '{print $1}'", 0, "202\n", ""},
        {"printf x", 0, "x", ""},
        {"multi", 1, "a\nb\n\nc", "e1\ne2\n"},
        {"blank lines", 0, "\n\n", "\n"},
        {"markers", 0, "> tricky\n>- y\n$ not a command\n? 9\n", "! no\n!- x"},
        {"spaces", 3, "  leading\ntrailing  ", " "},
        {"nothing", 42, "", ""},
        {" spaced command ", 0, "s\n", ""},
    };
    for (const Case& c : cases)
        m_tree.answerCommand(c.cmd, c.status, c.out, c.err);
    for (const Case& c : cases) {
        ZoCommandResult r = host().run(c.cmd);
        EXPECT_TRUE(r.started) << c.cmd;
        EXPECT_EQ(c.status, r.exitStatus) << c.cmd;
        EXPECT_EQ(c.out, r.out) << c.cmd;
        EXPECT_EQ(c.err, r.err) << c.cmd;
    }
    ZoCommandResult r = host().run("unknown");
    EXPECT_EQ(127, r.exitStatus);
    EXPECT_EQ("no answer in host tree for: unknown", r.err);
    EXPECT_EQ(cases[0].cmd, host().commandsRun().front());
    EXPECT_EQ("unknown", host().commandsRun().back());
    EXPECT_EQ(sizeof cases / sizeof cases[0] + 1, host().commandsRun().size());

    m_tree.answerCommand("printf x", 5, "later", "");  // a later block wins
    EXPECT_EQ(5, host().run("printf x").exitStatus);
    EXPECT_THROW(m_tree.answerCommand("two\nlines", 0, ""), std::invalid_argument);
}

TEST_F(HostTreeTest, HandWrittenCommandTable) {
    m_tree.write("/.zohost/commands",
                 "# captured on host7\n"
                 "$ udevadm settle\n"
                 "$ mountpoint -d /\n"
                 "> 202:1\n"
                 "\n"
                 "stray text outside a block\n"
                 "$ false\n"
                 "! oops\n"
                 "? 1\n");
    struct Case {
        const char* cmd;
        int status;
        const char* out;
        const char* err;
    } cases[] = {
        {"udevadm settle", 0, "", ""},
        {"mountpoint -d /", 0, "202:1\n", ""},
        {"false", 1, "", "oops\n"},
    };
    for (const Case& c : cases) {
        ZoCommandResult r = host().run(c.cmd);
        EXPECT_EQ(c.status, r.exitStatus) << c.cmd;
        EXPECT_EQ(c.out, r.out) << c.cmd;
        EXPECT_EQ(c.err, r.err) << c.cmd;
    }
}

TEST_F(HostTreeTest, SleepsAreRecordedAndMoveTheClock) {
    host().setClock(1000);
    host().sleepMs(1500);
    host().sleepMs(600);
    EXPECT_EQ((std::vector<unsigned long>{1500, 600}), host().sleepsMs());
    EXPECT_EQ(1002, host().now());

    auto installed = m_tree.install();
    LUSLEEP(250);
    EXPECT_EQ((std::vector<unsigned long>{250}), installed.host().sleepsMs());

    m_tree.write("/.zohost/clock", "1700000000\n");
    auto fresh = ZoHost::makeRooted(m_tree.root());
    EXPECT_EQ(1700000000, fresh->now());
    fresh->sleepMs(60000);
    EXPECT_EQ(1700000060, fresh->now());
}

TEST_F(HostTreeTest, InstallSelectsTheTreeUntilTheGuardDies) {
    m_tree.write("/proc/partitions", "tree\n");
    std::shared_ptr<ZoHost> before = ZoHost::current();
    {
        auto installed = m_tree.install();
        std::string s;
        ASSERT_EQ(0, ZoHost::current()->readFile("/proc/partitions", &s));
        EXPECT_EQ("tree\n", s);
        EXPECT_EQ(m_tree.root(), installed.host().root());
    }
    EXPECT_EQ(before, ZoHost::current());
    ZoHost::setRoot(m_tree.root());
    EXPECT_NE(nullptr, dynamic_cast<ZoRootedHost*>(ZoHost::current().get()));
    ZoHost::setRoot("");
    EXPECT_EQ(nullptr, dynamic_cast<ZoRootedHost*>(ZoHost::current().get()));
}

// The layout is what the kernel shows, so util-linux reads it as well.
TEST_F(HostTreeTest, BuildsTheKernelsLayout) {
    m_tree.addBlockDevice("sdb", 8, 16, 2097152, kSdbDir);
    m_tree.addPartition("sdb", "sdb1", 1, 8, 17, 2048, 1048576);
    m_tree.addBlockDevice("dm-0", 253, 0, 409600, "/sys/devices/virtual/block/dm-0");
    EXPECT_EQ("major minor  #blocks  name\n\n"
              "   8       16    1048576 sdb\n"
              "   8       17     524288 sdb1\n"
              " 253        0     204800 dm-0\n",
              m_tree.read("/proc/partitions"));
    EXPECT_EQ(kSdbDir, m_tree.sysDirOf("sdb"));
    EXPECT_EQ(std::string(kSdbDir) + "/sdb1", m_tree.sysDirOf("sdb1"));
    struct Case {
        const char* path;
        const char* value;
    } cases[] = {
        {"/sys/dev/block/8:16/size", "2097152"}, {"/sys/block/sdb/dev", "8:16"},
        {"/sys/class/block/sdb1/start", "2048"}, {"/sys/block/sdb/sdb1/partition", "1"},
        {"/sys/dev/block/8:17/../dev", "8:16"},  {"/sys/block/dm-0/size", "409600"},
    };
    for (const Case& c : cases) {
        std::string v;
        EXPECT_EQ(0, host().readAttr(c.path, &v)) << c.path;
        EXPECT_EQ(c.value, v) << c.path;
    }
    std::string cmd = "lsblk --sysroot '" + m_tree.root() + "' -b -n -r -o NAME,SIZE 2>&1";
    FILE* f = ::popen(cmd.c_str(), "r");
    ASSERT_NE(nullptr, f);
    char buf[4096];
    std::string out;
    while (size_t n = std::fread(buf, 1, sizeof buf, f))
        out.append(buf, n);
    ::pclose(f);
    EXPECT_NE(std::string::npos, out.find("sdb 1073741824\n")) << out;
    EXPECT_NE(std::string::npos, out.find("sdb1 536870912\n")) << out;
}

}  // namespace
