// The editor never loses /etc/multipath.conf: injected failures at every
// step, processes killed mid-rewrite, and processes editing at once.
#include "ZoDeviceTreeEditor.h"
#include "ZoMultipathConf.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <random>

namespace {

const char* const kConf = "/etc/multipath.conf";
const char* const kTemp = "/etc/multipath.conf.zo_temp";
const char* const kLock = "/etc/multipath.conf.zo_lock";
const char* const kFn = "test";

const std::string kOriginal =
    "defaults {\n\tfind_multipaths yes\n}\n"
    "blacklist_exceptions {\n\twwid \"3keep\"\n}\n"
    "multipaths {\n\tmultipath {\n\t\twwid \"3keep\"\n\t\talias \"db\"\n\t}\n}\n";
const std::vector<std::string> kWwids = {"3600a0b8000000001", "3600a0b8000000002"};

class EditorReliabilityTest : public ::testing::Test {
protected:
    EditorReliabilityTest() {
        tree.write(kConf, kOriginal);
        installed.reset(new zotest::HostTree::Installed(tree.install()));
        installed->host().setClock(1700000000);
    }
    ~EditorReliabilityTest() override {
        if (previous) ZoHost::install(previous);
    }
    // Puts a fresh FaultHost in front of the tree.
    zotest::FaultHost& wrap() {
        if (previous) ZoHost::install(previous);
        fault = std::make_shared<zotest::FaultHost>(installed->shared());
        previous = ZoHost::install(fault);
        return *fault;
    }
    // Returns true iff nobody holds the editor's lock.
    bool lockFree() {
        int fd = ::open(tree.at(kLock).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return errno == ENOENT;
        bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::HostTree::Installed> installed;
    std::shared_ptr<zotest::FaultHost> fault;
    std::shared_ptr<ZoHost> previous;
};

// One failure to inject; nth 0 means every call.
struct Fault {
    std::string op;
    std::string subject;  // empty: any
    int nth;
    int err;
    std::string message;  // empty: the operation's partial-write message
    int code;             // the error's code
};

std::vector<Fault> fatalFaults() {
    return {
        {"lockFile", "", 0, ENOLCK, "Unable to lock /etc/multipath.conf.zo_lock", EINVAL},
        {"readFile", kConf, 0, EIO, "Unable to open /etc/multipath.conf", EIO},
        {"openForWrite", "", 0, EACCES, "Unable to open /etc/multipath.conf.zo_temp", EACCES},
        {"sync", "", 0, EIO, "", 774},
        {"close", "", 0, EIO, "", 774},
        {"rename", "", 0, EXDEV,
         "Rename /etc/multipath.conf.zo_temp to /etc/multipath.conf failed", EXDEV},
    };
}

void inject(zotest::FaultHost& host, const Fault& f) {
    if (f.nth > 0) {
        host.failNth(f.op, f.nth, f.err);
    } else if (!f.subject.empty()) {
        host.failWhen(f.op, f.subject, f.err);
    } else {
        host.failAll(f.op, f.err);
    }
}

// Runs one operation under fault f on a file holding before, and checks
// that nothing was lost.
void expectUntouched(zotest::HostTree& tree, zotest::FaultHost& host,
                     const Fault& f, bool adding, const std::string& before) {
    SCOPED_TRACE((adding ? "add, " : "remove, ") + f.op + " #" + std::to_string(f.nth));
    inject(host, f);
    CLuError err;
    bool done = adding ? zo_editor::addWwids(kWwids, kFn, &err)
                       : zo_editor::delWwids(kWwids, kFn, &err) == 0;
    EXPECT_FALSE(done);
    const std::string message =
        !f.message.empty() ? f.message : adding ? "Partial write. Aborting" : "Error. Partial write";
    EXPECT_EQ(err.AsString(), message);
    EXPECT_EQ(err.GetCode(), f.code);
    EXPECT_EQ(tree.read(kConf), before);
    EXPECT_FALSE(tree.exists(kTemp));
    EXPECT_EQ(host.count("run"), 0) << "no refresh after a failed rewrite";
}

TEST_F(EditorReliabilityTest, EveryFailedWriteLeavesTheFileAsItWas) {
    // A clean run tells how many writes each operation makes.
    zotest::FaultHost& probe = wrap();
    ASSERT_TRUE(zo_editor::addWwids(kWwids, kFn, nullptr));
    const int addWrites = probe.count("append");
    const std::string added = tree.read(kConf);
    EXPECT_EQ(addWrites, static_cast<int>(zo_mpconf::splitLines(added).size()))
        << "one write per line";
    ASSERT_EQ(zo_editor::delWwids(kWwids, kFn, nullptr), 0);
    const int delWrites = probe.count("append") - addWrites;
    ASSERT_EQ(tree.read(kConf), kOriginal);
    ASSERT_GT(delWrites, 0);

    for (int n = 1; n <= addWrites; ++n) {
        expectUntouched(tree, wrap(), {"append", "", n, ENOSPC, "", 774}, true, kOriginal);
        EXPECT_TRUE(lockFree());
    }
    tree.write(kConf, added);
    for (int n = 1; n <= delWrites; ++n) {
        expectUntouched(tree, wrap(), {"append", "", n, ENOSPC, "", 774}, false, added);
        EXPECT_TRUE(lockFree());
    }
}

TEST_F(EditorReliabilityTest, EveryFailedStepLeavesTheFileAsItWas) {
    for (const Fault& f : fatalFaults()) {
        tree.write(kConf, kOriginal);
        expectUntouched(tree, wrap(), f, true, kOriginal);
        EXPECT_TRUE(lockFree()) << f.op;
    }
    // The same for removal, on a file holding the entries.
    wrap();
    tree.write(kConf, kOriginal);
    ASSERT_TRUE(zo_editor::addWwids(kWwids, kFn, nullptr));
    const std::string added = tree.read(kConf);
    for (const Fault& f : fatalFaults()) {
        tree.write(kConf, added);
        expectUntouched(tree, wrap(), f, false, added);
        EXPECT_TRUE(lockFree()) << f.op;
    }
}

TEST_F(EditorReliabilityTest, AMissingOrUnreadableFileIsNeverCreatedOrTouched) {
    tree.remove(kConf);
    wrap();
    CLuError err;
    EXPECT_FALSE(zo_editor::addWwids(kWwids, kFn, &err));
    EXPECT_EQ(err.GetCode(), ENOENT);
    EXPECT_FALSE(tree.exists(kConf));
    EXPECT_FALSE(tree.exists(kTemp));
    EXPECT_TRUE(lockFree());
}

TEST_F(EditorReliabilityTest, AttributeAndDirectorySyncFailuresAreOnlyLogged) {
    struct Case {
        Fault fault;
        std::string logLine;
    } cases[] = {
        {{"stat", kConf, 0, EIO, "", 0}, "Error setting attributes. error( 5:Input/output error)"},
        {{"chmod", "", 0, EPERM, "", 0}, "Error setting attributes. error( 1:Operation not permitted)"},
        {{"chown", "", 0, EPERM, "", 0}, "Error setting attributes. error( 1:Operation not permitted)"},
        {{"syncDir", "", 0, EIO, "", 0}, "Unable to sync /etc. error 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.op);
        tree.write(kConf, kOriginal);
        zotest::FaultHost& host = wrap();
        inject(host, c.fault);
        zotest::LogCapture log;
        CLuError err;
        EXPECT_TRUE(zo_editor::addWwids(kWwids, kFn, &err));
        EXPECT_FALSE(err.IsError()) << err.AsString();
        EXPECT_NE(tree.read(kConf), kOriginal);
        EXPECT_FALSE(tree.exists(kTemp));
        EXPECT_EQ(log.count(c.logLine), 1u) << log.dump();
        EXPECT_TRUE(lockFree());
    }
}

TEST_F(EditorReliabilityTest, RefreshRunsAfterTheRenameWhileLocked) {
    zotest::FaultHost& host = wrap();
    std::vector<std::pair<bool, bool>> seen;  // (new content in place, lock held)
    host.after("run", [&] {
        seen.emplace_back(tree.read(kConf) != kOriginal, !lockFree());
    });
    ASSERT_TRUE(zo_editor::addWwids(kWwids, kFn, nullptr));
    ASSERT_FALSE(seen.empty());
    for (const auto& s : seen) {
        EXPECT_TRUE(s.first);
        EXPECT_TRUE(s.second);
    }
    // Removal does not refresh.
    const int runs = host.count("run");
    ASSERT_EQ(zo_editor::delWwids(kWwids, kFn, nullptr), 0);
    EXPECT_EQ(host.count("run"), runs);
    EXPECT_TRUE(lockFree());
}

// A child that adds and removes the same WWIDs over and over is killed at a
// random moment; the file is always one of the two complete versions.
TEST_F(EditorReliabilityTest, KilledMidRewriteTheFileIsOldOrNew) {
    ASSERT_TRUE(zo_editor::addWwids(kWwids, kFn, nullptr));
    const std::string added = tree.read(kConf);
    ASSERT_EQ(zo_editor::delWwids(kWwids, kFn, nullptr), 0);
    ASSERT_EQ(tree.read(kConf), kOriginal);

    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> delayUs(0, 4000);
    int sawAdded = 0, sawOriginal = 0;
    for (int round = 0; round < 200; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) {
                zo_editor::addWwids(kWwids, kFn, nullptr);
                zo_editor::delWwids(kWwids, kFn, nullptr);
            }
        }
        ::usleep(delayUs(rng));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        const std::string now = tree.read(kConf);
        ASSERT_TRUE(now == kOriginal || now == added) << "round " << round << ":\n" << now;
        (now == added ? sawAdded : sawOriginal)++;
    }
    EXPECT_GT(sawAdded + sawOriginal, 0);
    // Whatever a killed child left behind, the next run succeeds and cleans up.
    CLuError err;
    if (tree.read(kConf) == kOriginal) {
        EXPECT_TRUE(zo_editor::addWwids(kWwids, kFn, &err)) << err.AsString();
    } else {
        EXPECT_EQ(zo_editor::delWwids(kWwids, kFn, &err), 0) << err.AsString();
    }
    EXPECT_FALSE(tree.exists(kTemp));
    EXPECT_TRUE(lockFree());
    RecordProperty("killedWithNewContent", sawAdded);
    RecordProperty("killedWithOldContent", sawOriginal);
}

// Eight processes add eight disks each to one file at the same time.
TEST_F(EditorReliabilityTest, ConcurrentEditorsLoseNoEntry) {
    const int kProcs = 8, kEach = 8;
    auto wwidOf = [](int p, int k) { return "3600c0ffee" + std::to_string(p) + "00" + std::to_string(k); };
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char c;
            while (::read(gate[0], &c, 1) < 0 && errno == EINTR) {
            }
            for (int k = 0; k < kEach; ++k) {
                if (!zo_editor::addWwids({wwidOf(p, k)}, kFn, nullptr)) ::_exit(1);
            }
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);  // all start now
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    std::map<std::string, int> exceptions, blocks;
    zo_mpconf::SectionTracker tracker;
    const std::string text = tree.read(kConf);
    for (auto line : zo_mpconf::splitLines(text)) {
        auto v = tracker.next(line);
        for (const auto& w : v.exceptionWwids) exceptions[w]++;
        for (const auto& w : v.blockWwids) blocks[w]++;
    }
    for (int p = 0; p < kProcs; ++p) {
        for (int k = 0; k < kEach; ++k) {
            EXPECT_EQ(exceptions[wwidOf(p, k)], 1) << wwidOf(p, k);
            EXPECT_EQ(blocks[wwidOf(p, k)], 1) << wwidOf(p, k);
        }
    }
    EXPECT_EQ(exceptions.size(), 65u);  // and "3keep"
    EXPECT_EQ(blocks.size(), 65u);
    EXPECT_FALSE(tree.exists(kTemp));
}

}  // namespace
