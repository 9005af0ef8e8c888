// Rules only a host tree has: confinement to its root, /dev nodes made up
// from sysfs, images as disks, INQUIRY from sysfs, the command table, the
// recorded sleeps and the clock.
#include "support/disk_image.h"
#include "support/host_tree.h"

#include "LUSleep.h"
#include "ZoHost.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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
    std::unique_ptr<ZoWritableFile> f;
    ASSERT_EQ(0, m_host->openForWrite("/w/up", 0644, &f));  // through an escaping link
    EXPECT_TRUE(f->append("inside") == 0 && f->close() == 0);
    EXPECT_NE(0, ::access(outside.c_str(), F_OK));
    for (const std::string& path : {std::string("/w/up"), "/w/top" + outside, "/../.." + outside}) {
        std::string s;
        EXPECT_TRUE(m_host->readFile(path, &s) == 0 && s == "inside") << path << ": " << s;
    }
}

TEST_F(HostTreeTest, DeviceNodesComeFromSysfsAndImagesAreDisks) {
    m_tree.write("/sys/devices/virtual/nvme/nvme0/dev", "243:0\n");
    m_tree.symlink("../../devices/virtual/nvme/nvme0", "/sys/class/nvme/nvme0");
    m_tree.symlink("../../sdb1", "/dev/disk/by-id/wwn-1-part1");
    struct Case { const char* path; mode_t type; dev_t rdev; } cases[] = {  // type 0: no node
        {"/dev/sdb", S_IFBLK, makedev(8, 16)}, {"/dev/disk/by-id/wwn-1-part1", S_IFBLK, makedev(8, 17)},
        {"/dev/nvme0", S_IFCHR, makedev(243, 0)}, {"/dev/sdc", 0, 0}, {"/sdb", 0, 0}};
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
    EXPECT_EQ(0, m_host->rereadPartitions("/dev/sdb"));
    EXPECT_EQ(std::vector<std::string>{"/dev/sdb"}, m_host->rereads());
}

TEST_F(HostTreeTest, InquiryIsAnsweredFromSysfs) {
    const std::string pg83("\x00\x83\x00\x04\x01\x03\x00\x00", 8);
    m_tree.symlink("../../../2:0:0:1", kScsiDev + "/block/sdb/device");
    for (auto attr : std::vector<std::pair<std::string, std::string>>{
             {"type", "0\n"}, {"vendor", "QEMU    \n"}, {"model", "QEMU HARDDISK   \n"}, {"rev", "2.5+\n"}, {"vpd_pg83", pg83}})
        m_tree.write(kScsiDev + "/" + attr.first, attr.second);
    struct Case { const char* node; unsigned char evpd, page; std::string want; } cases[] = {  // want "": CHECK CONDITION
        {"/dev/sdb1", 1, 0x83, pg83},  // a partition answers for its disk
        {"/dev/sdb", 1, 0x00, std::string("\0\0\0\x02\x00\x83", 6)},
        {"/dev/sdb", 0, 0, std::string("\0\0\x06\x02\x1f\0\0\0", 8) + "QEMU    QEMU HARDDISK   2.5+"},
        {"/dev/sdb", 1, 0x80, ""}};
    for (const auto& c : cases) {
        unsigned char cdb[6] = {0x12, c.evpd, c.page, 0, 96, 0}, buf[96] = {}, sense[32] = {};
        ZoScsiCommand cmd{cdb, 6, buf, sizeof buf, ZoScsiCommand::FROM_DEVICE, sense, sizeof sense};
        ZoScsiStatus st;
        ASSERT_EQ(0, m_host->scsiCommand(c.node, cmd, &st)) << c.node;
        EXPECT_EQ(c.want.empty() ? 2 : 0, st.status) << c.node << " page " << int(c.page);
        EXPECT_EQ(c.want.empty() ? 0x05 : 0, sense[2] & 0x0f) << c.node << " page " << int(c.page);  // ILLEGAL REQUEST
        EXPECT_EQ(c.want, std::string(reinterpret_cast<char*>(buf), sizeof buf - st.residual)) << c.node << int(c.page);
    }
}

TEST_F(HostTreeTest, CommandTableRoundTrips) {
    struct Case { std::string cmd; int status; std::string out, err; } cases[] = {
        {"cat /proc/devices | grep 'xvd' | awk '{print $1}'", 0, "202\n", ""},
        {"markers", 1, "> tricky\n>- y\n\n$ not a command\n? 9", "! no\n!- x\n"},
        {"again", 5, "later", ""}};  // a later block wins
    m_tree.answerCommand("again", 1, "first");
    for (const auto& c : cases) m_tree.answerCommand(c.cmd, c.status, c.out, c.err);
    for (const auto& c : cases) {
        const ZoCommandResult r = m_host->run(c.cmd);
        EXPECT_TRUE(c.status == r.exitStatus && c.out == r.out && c.err == r.err)
            << c.cmd << " gave " << r.exitStatus << " [" << r.out << "] [" << r.err << "]";
    }
    const ZoCommandResult r = m_host->run("unknown");
    EXPECT_TRUE(r.exitStatus == 127 && r.err == "no answer in host tree for: unknown") << r.err;
    EXPECT_EQ((std::vector<std::string>{cases[0].cmd, "markers", "again", "unknown"}), m_host->commandsRun());
    EXPECT_THROW(m_tree.answerCommand("two\nlines", 0, ""), std::invalid_argument);
}

std::string describe(const ZoDmState& s) {
    std::string text;
    for (const auto* list : {&s.table, &s.status})
        for (const ZoDmTarget& t : *list)
            text += std::to_string(t.start) + "+" + std::to_string(t.length) + " " + t.type + " [" + t.params + "]; ";
    return text;
}

TEST_F(HostTreeTest, DeviceMapperStateComesFromItsFile) {
    ZoDmState written;  // parameters kept byte for byte, trailing blanks too
    written.table = {{0, 131072, "multipath", "1 queue_if_no_path 0 1 1 service-time 0 2 1 8:0 1 8:32 1"}};
    written.status = {{0, 131072, "multipath", "2 0 0 0 1 1 A 0 2 2 8:0 A 0 0 1 8:32 A 0 0 1 "},
                      {131072, 8, "linear", ""}, {131080, 8, "zero", " x"}};
    std::string text;
    ASSERT_TRUE(ZoRootedHost::formatDeviceMapperState(written, &text));
    m_tree.write(ZoRootedHost::deviceMapperStatePath(253, 0), "# captured\n\n" + text);
    EXPECT_FALSE(ZoRootedHost::formatDeviceMapperState({{{0, 8, "two words", ""}}, {}}, &text));
    EXPECT_FALSE(ZoRootedHost::formatDeviceMapperState({{}, {{0, 8, "linear", "a\nb"}}}, &text));
    m_tree.mkdir("/sys/devices/virtual/block/dm-1/dm");
    m_tree.symlink("../../devices/virtual/block/dm-1", "/sys/dev/block/253:1");
    const char* malformed[] = {"table 0 8 linear\nbogus", "table x 8 linear", "table 0 8", "table 0 8 ",
                               "status 0 18446744073709551616 linear", "table 0  8 linear"};
    for (unsigned i = 0; i < sizeof malformed / sizeof *malformed; ++i)
        m_tree.write(ZoRootedHost::deviceMapperStatePath(253, 10 + i), malformed[i]);
    struct Case { unsigned minor; int err; std::string want; } cases[] = {
        {0, 0, describe(written)}, {1, ENOENT, ""}, {9, ENXIO, ""}};  // 1: a map without captured state
    for (const auto& c : cases) {
        ZoDmState got;
        EXPECT_EQ(c.err, m_host->deviceMapperState(253, c.minor, &got)) << c.minor;
        EXPECT_EQ(c.want, describe(got)) << c.minor;
    }
    for (unsigned i = 0; i < sizeof malformed / sizeof *malformed; ++i) {
        ZoDmState got;
        EXPECT_EQ(EINVAL, m_host->deviceMapperState(253, 10 + i, &got)) << malformed[i];
    }
}

TEST_F(HostTreeTest, SleepsAreRecordedAndMoveTheClock) {
    m_host->setClock(1000);
    m_host->sleepMs(1500);
    m_host->sleepMs(600);
    EXPECT_EQ((std::vector<unsigned long>{1500, 600}), m_host->sleepsMs());
    EXPECT_EQ(1002, m_host->now());
    m_tree.write("/.zohost/clock", "1700000000\n");
    auto installed = m_tree.install();
    LUSLEEP(60000);
    EXPECT_EQ(std::vector<unsigned long>{60000}, installed.host().sleepsMs());
    EXPECT_EQ(1700000060, ZoHost::current()->now());
}

}  // namespace
