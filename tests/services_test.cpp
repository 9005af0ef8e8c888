// The platform services on top of ZoHost: process runner, configuration
// store, file lock; and the failure-injecting host tests rely on.
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"

#include "ZOPlatformInfo.h"
#include "ZoFileLock.h"
#include "ZoProcess.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using zotest::FaultHost;
using zotest::HostTree;

TEST(ZoProcessTest, ReportsExitStatusAndBothStreams) {
    HostTree tree;
    tree.answerCommand("ok", 0, "out\n", "warn\n");
    tree.answerCommand("bad", 2, "", "failed\n");
    auto installed = tree.install();
    struct Case {
        const char* cmd;
        bool success;
        const char* out;
        const char* err;
    } cases[] = {
        {"ok", true, "out\n", "warn\n"},
        {"bad", false, "", "failed\n"},
        {"unanswered", false, "", "no answer in host tree for: unanswered"},
    };
    for (const Case& c : cases) {
        std::string out = "stale", err = "stale";
        int rc = ZoProcess::system(c.cmd, &out, &err, 0, false);
        EXPECT_EQ(c.success, rc == 0) << c.cmd << " gave " << rc;
        EXPECT_EQ(c.out, out) << c.cmd;
        EXPECT_EQ(c.err, err) << c.cmd;
        EXPECT_EQ(rc, ZoProcess::system(c.cmd, nullptr, nullptr, 0, false)) << c.cmd;
    }
}

TEST(ZoProcessTest, LiveShellAndAShellThatCannotStart) {
    std::string out, err;
    EXPECT_EQ(0, ZoProcess::system("echo hi; echo there >&2", &out, &err, 0, false));
    EXPECT_EQ("hi\n", out);
    EXPECT_EQ("there\n", err);
    EXPECT_NE(0, ZoProcess::system("exit 1", &out, &err, 0, false));
    EXPECT_NE(0, ZoProcess::system("kill -9 $$", &out, &err, 0, false));

    auto faulty = std::make_shared<FaultHost>(ZoHost::makeLive());
    faulty->failWhen("run", "echo hi", -1);
    std::shared_ptr<ZoHost> previous = ZoHost::install(faulty);
    EXPECT_EQ(-1, ZoProcess::system("echo hi", &out, &err, 0, false));
    EXPECT_EQ(-1, ZoProcess::system(nullptr, &out, &err, 0, false));
    ZoHost::install(previous);
    EXPECT_EQ((std::vector<std::string>{"echo hi"}), faulty->commands());
}

TEST(ZOPlatformInfoTest, ReadsNumbersFromTheConfigurationFile) {
    const std::string ini =
        "; product configuration\n"
        "[Tessarine]\n"
        "nSkipDeviceRescanOnFailure = 1\n"
        "nHex = 0x1F\n"
        "nWord = yes\n"
        "nNegative = -3\n"
        "nTrailing = 12abc\n"
        "nEmpty =\n"
        "this line is malformed\n"
        "nAfterBadLine = 77\n"
        "[Ferrovane]\n"
        "nConfigureBlacklistException=0\n"
        "nBig = 18446744073709551615\n"
        "nTooBig = 18446744073709551616\n"
        "[Broken\n"
        "nAfterBrokenHeader = 5\n";
    HostTree tree;
    tree.setConfig(ini);
    auto installed = tree.install();
    struct Case {
        const char* section;
        const char* key;
        bool found;
        unsigned long value;
    } cases[] = {
        {"Tessarine", "nSkipDeviceRescanOnFailure", true, 1},
        {"Ferrovane", "nConfigureBlacklistException", true, 0},
        {"Tessarine", "nHex", true, 0x1f},
        {"Tessarine", "nAfterBadLine", true, 77},
        {"Ferrovane", "nBig", true, 18446744073709551615ul},
        // A malformed header leaves the section as it was.
        {"Ferrovane", "nAfterBrokenHeader", true, 5},
        {"Tessarine", "nWord", false, 0},
        {"Tessarine", "nNegative", false, 0},
        {"Tessarine", "nTrailing", false, 0},
        {"Tessarine", "nEmpty", false, 0},
        {"Ferrovane", "nTooBig", false, 0},
        {"Tessarine", "nConfigureBlacklistException", false, 0},  // other section
        {"Nowhere", "nSkipDeviceRescanOnFailure", false, 0},
    };
    for (const Case& c : cases) {
        unsigned long value = 4242;
        zotest::LogCapture log;
        int rc = ZOPlatformInfo().getNumber(c.section, c.key, &value);
        EXPECT_EQ(c.found, rc != 0) << c.section << "/" << c.key;
        EXPECT_EQ(c.found ? c.value : 4242ul, value) << c.section << "/" << c.key;
        EXPECT_EQ(1u, log.count("config.ini line 9 malformed")) << c.key;
        EXPECT_EQ(1u, log.count("config.ini line 15 malformed")) << c.key;
    }
}

TEST(ZOPlatformInfoTest, MissingFileMeansNotFound) {
    HostTree tree;
    auto installed = tree.install();
    unsigned long value = 7;
    EXPECT_EQ(0, ZOPlatformInfo().getNumber("Ferrovane", "nConfigureBlacklistException", &value));
    EXPECT_EQ(7ul, value);
}

TEST(ZoFileLockTest, ExcludesAnotherProcessUntilUnlocked) {
    HostTree tree;
    tree.mkdir("/var/lock");
    auto installed = tree.install();
    const char* path = "/var/lock/multipath.conf.lock";
    int toChild[2];
    ASSERT_EQ(0, ::pipe(toChild));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Tries the lock once told to, and reports whether the parent had
        // already marked its release.
        char c;
        if (::read(toChild[0], &c, 1) != 1)
            ::_exit(3);
        ZoFileLock lock(false);
        if (lock.lock(path, ZoFileLock::EXCLUSIVE, -1) != 0)
            ::_exit(2);
        ::_exit(ZoHost::current()->exists("/var/lock/released") ? 0 : 1);
    }
    {
        ZoFileLock lock(false);
        ASSERT_EQ(0, lock.lock(path, ZoFileLock::EXCLUSIVE, -1));
        ASSERT_EQ(1, ::write(toChild[1], "G", 1));
        ::usleep(100 * 1000);  // a broken lock would let the child in now
        tree.write("/var/lock/released", "");
    }  // the destructor releases
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    for (int fd : {toChild[0], toChild[1]})
        ::close(fd);
}

TEST(ZoFileLockTest, ReportsALockThatCannotBeTaken) {
    HostTree tree;
    auto faulty = std::make_shared<FaultHost>(ZoHost::makeRooted(tree.root()));
    faulty->failAll("lockFile", EACCES);
    std::shared_ptr<ZoHost> previous = ZoHost::install(faulty);
    ZoFileLock lock(false);
    EXPECT_NE(0, lock.lock("/etc/multipath.conf.lock", ZoFileLock::EXCLUSIVE, -1));
    EXPECT_NE(0, lock.lock(nullptr, ZoFileLock::EXCLUSIVE, -1));
    ZoHost::install(previous);
    EXPECT_EQ(1, faulty->count("lockFile"));
}

class FaultHostTest : public ::testing::Test {
protected:
    FaultHostTest() : m_faulty(std::make_shared<FaultHost>(ZoHost::makeRooted(m_tree.root()))) {
        m_tree.write("/etc/multipath.conf", "original\n");
    }
    std::string conf() { return m_tree.read("/etc/multipath.conf"); }
    std::vector<std::string> etc() {
        std::vector<std::string> names;
        m_faulty->listDir("/etc", &names);
        return names;
    }
    HostTree m_tree;
    std::shared_ptr<FaultHost> m_faulty;
};

// An atomic rewrite that fails at any step leaves the original file and no
// temporary file behind.
TEST_F(FaultHostTest, AtomicWriteSurvivesEveryInjectedFailure) {
    struct Case {
        const char* op;
        int nth;
        int err;
    } cases[] = {
        {"openForWrite", 1, EACCES}, {"append", 1, ENOSPC}, {"sync", 1, EIO},
        {"close", 1, EIO},           {"rename", 1, EIO},
    };
    for (const Case& c : cases) {
        m_faulty->clearFailures();
        m_faulty->failNth(c.op, m_faulty->count(c.op) + c.nth, c.err);
        EXPECT_EQ(c.err, m_faulty->writeFileAtomic("/etc/multipath.conf", "new\n", 0644)) << c.op;
        EXPECT_EQ("original\n", conf()) << c.op;
        EXPECT_EQ(std::vector<std::string>{"multipath.conf"}, etc()) << c.op;
    }
    m_faulty->clearFailures();
    EXPECT_EQ(0, m_faulty->writeFileAtomic("/etc/multipath.conf", "new\n", 0644));
    EXPECT_EQ("new\n", conf());
}

TEST_F(FaultHostTest, NthWriteFailsWithoutWriting) {
    m_faulty->failNth("append", 3, ENOSPC);
    std::unique_ptr<ZoWritableFile> f;
    ASSERT_EQ(0, m_faulty->openForWrite("/etc/out", 0644, &f));
    EXPECT_EQ(0, f->append("a"));
    EXPECT_EQ(0, f->append("b"));
    EXPECT_EQ(ENOSPC, f->append("c"));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(0, f->append("d"));
    EXPECT_EQ(0, f->close());
    EXPECT_EQ("abd", m_tree.read("/etc/out"));
    EXPECT_EQ(4, m_faulty->count("append"));
}

TEST_F(FaultHostTest, RulesByPathAndRecords) {
    m_faulty->failWhen("stat", "/dev/sdb", EIO);
    m_faulty->failWhen("run", "multipath -r", 1);
    struct stat st;
    EXPECT_EQ(EIO, m_faulty->stat("/dev/sdb", &st));
    EXPECT_EQ(0, m_faulty->stat("/etc/multipath.conf", &st));  // other paths pass
    ZoCommandResult r = m_faulty->run("multipath -r");
    EXPECT_TRUE(r.started);
    EXPECT_EQ(1, r.exitStatus);
    m_faulty->sleepMs(20);
    EXPECT_EQ(2, m_faulty->count("stat"));
    EXPECT_EQ((std::vector<std::string>{"stat /dev/sdb", "stat /etc/multipath.conf",
                                        "run multipath -r", "sleepMs 20"}),
              m_faulty->touched());
    EXPECT_EQ(std::vector<unsigned long>{20}, m_faulty->sleeps());
    EXPECT_EQ(std::vector<unsigned long>{20},
              static_cast<ZoRootedHost&>(m_faulty->inner()).sleepsMs());
}

TEST_F(FaultHostTest, HooksChangeTheMachineAfterACall) {
    m_tree.addBlockDevice("sdb", 8, 16, 4096, "/sys/devices/virtual/block/sdb");
    m_faulty->after("rereadPartitions", [&] {
        m_tree.addPartition("sdb", "sdb1", 1, 8, 17, 2048, 2048);
    });
    struct stat st;
    EXPECT_EQ(ENOENT, m_faulty->stat("/dev/sdb1", &st));
    EXPECT_EQ(0, m_faulty->rereadPartitions("/dev/sdb"));
    ASSERT_EQ(0, m_faulty->stat("/dev/sdb1", &st));
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(1, m_faulty->count("rereadPartitions"));

    m_faulty->failNth("rereadPartitions", 2, EBUSY);
    errno = 0;
    EXPECT_EQ(-1, m_faulty->rereadPartitions("/dev/sdb"));
    EXPECT_EQ(EBUSY, errno);
}

}  // namespace
