// One contract for every host: the live host (in a temporary directory,
// absolute paths) and a rooted host (the same layout at /w inside a tree)
// must answer alike.
#include "support/host_tree.h"

#include "ZoHost.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using zotest::HostTree;

class HostContract : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (rooted()) {
            m_host = ZoHost::makeRooted(m_tree.root());
            m_base = "/w";
            m_tree.mkdir("/w");
        } else {
            m_host = ZoHost::makeLive();
            m_base = m_tree.root();
        }
    }
    bool rooted() const { return GetParam(); }
    ZoHost& host() { return *m_host; }
    // A machine path of the test's layout.
    std::string p(const std::string& rel) const { return m_base + "/" + rel; }
    // Where that path really lives.
    std::string real(const std::string& rel) const {
        return rooted() ? m_tree.at(p(rel)) : p(rel);
    }
    void put(const std::string& rel, const std::string& contents) {
        ASSERT_EQ(0, host().writeFileAtomic(p(rel), contents, 0644)) << rel;
    }
    std::string get(const std::string& rel) {
        std::string s;
        EXPECT_EQ(0, host().readFile(p(rel), &s)) << rel;
        return s;
    }
    // A real command on the live host; the same answer written into the
    // tree for the rooted host.
    ZoCommandResult runAnswered(const std::string& cmd, int status, const std::string& out,
                                const std::string& err) {
        if (rooted())
            m_tree.answerCommand(cmd, status, out, err);
        return host().run(cmd);
    }

    HostTree m_tree;
    std::shared_ptr<ZoHost> m_host;
    std::string m_base;
};

INSTANTIATE_TEST_SUITE_P(Hosts, HostContract, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Rooted" : "Live";
                         });

TEST_P(HostContract, WriteTruncateAppendAndReadBack) {
    std::unique_ptr<ZoWritableFile> f;
    ASSERT_EQ(0, host().openForWrite(p("f"), 0600, &f));
    EXPECT_EQ(0, f->append("abc"));
    EXPECT_EQ(0, f->append(std::string(100000, 'z')));
    EXPECT_EQ(0, f->sync());
    EXPECT_EQ(0, f->close());
    EXPECT_EQ(EBADF, f->close());
    EXPECT_EQ(EBADF, f->append("late"));
    EXPECT_EQ("abc" + std::string(100000, 'z'), get("f"));

    ASSERT_EQ(0, host().openForWrite(p("f"), 0600, &f));
    EXPECT_EQ(0, f->append("x"));
    f.reset();  // destruction closes
    EXPECT_EQ("x", get("f"));
    struct stat st;
    ASSERT_EQ(0, host().stat(p("f"), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(1, st.st_size);
}

TEST_P(HostContract, AtomicWriteReplacesAndLeavesNoTemporaryFile) {
    put("conf", "old\n");
    put("conf", "new\n\n");
    std::vector<std::string> names;
    ASSERT_EQ(0, host().listDir(m_base, &names));
    EXPECT_EQ(std::vector<std::string>{"conf"}, names);
    std::string value;
    ASSERT_EQ(0, host().readAttr(p("conf"), &value));
    EXPECT_EQ("new\n", value);  // exactly one newline stripped
    EXPECT_TRUE(host().exists(p("conf")));
    EXPECT_FALSE(host().exists(p("nothing")));
}

TEST_P(HostContract, ListsDirectories) {
    ASSERT_EQ(0, host().mkdir(p("d"), 0755));
    EXPECT_EQ(EEXIST, host().mkdir(p("d"), 0755));
    put("d/a", "");
    put("d/b", "");
    ASSERT_EQ(0, host().symlink("a", p("d/c")));
    ASSERT_EQ(0, host().mkdir(p("d/sub"), 0755));
    std::vector<std::string> names;
    ASSERT_EQ(0, host().listDir(p("d"), &names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "sub"}), names);
    EXPECT_EQ(ENOTDIR, host().listDir(p("d/a"), &names));
}

TEST_P(HostContract, FollowsLinksLikeTheKernel) {
    put("data", "D");
    ASSERT_EQ(0, host().mkdir(p("dir"), 0755));
    ASSERT_EQ(0, host().mkdir(p("dir/inner"), 0755));
    put("dir/inner/f", "F");
    ASSERT_EQ(0, host().symlink("data", p("rel")));
    ASSERT_EQ(0, host().symlink(p("data"), p("abs")));
    ASSERT_EQ(0, host().symlink("chain2", p("chain1")));
    ASSERT_EQ(0, host().symlink("abs", p("chain2")));
    ASSERT_EQ(0, host().symlink("dir", p("dirlink")));
    ASSERT_EQ(0, host().symlink("../data", p("dir/up")));
    ASSERT_EQ(0, host().symlink("../dirlink/inner/../../data", p("dir/dots")));
    ASSERT_EQ(0, host().symlink("loopB", p("loopA")));
    ASSERT_EQ(0, host().symlink("loopA", p("loopB")));
    ASSERT_EQ(0, host().symlink("nothere", p("dangling")));

    struct Case {
        const char* path;
        int err;
        const char* contents;
    } cases[] = {
        {"rel", 0, "D"},       {"abs", 0, "D"},         {"chain1", 0, "D"},
        {"dirlink/inner/f", 0, "F"}, {"dir/up", 0, "D"}, {"dir/dots", 0, "D"},
        {"loopA", ELOOP, ""},  {"loopA/x", ELOOP, ""},  {"dangling", ENOENT, ""},
        {"data/x", ENOTDIR, ""},
    };
    for (const Case& c : cases) {
        std::string s;
        EXPECT_EQ(c.err, host().readFile(p(c.path), &s)) << c.path;
        if (c.err == 0) {
            EXPECT_EQ(c.contents, s) << c.path;
        }
        struct stat st;
        EXPECT_EQ(c.err, host().stat(p(c.path), &st)) << c.path;
    }

    struct stat st;
    ASSERT_EQ(0, host().lstat(p("dangling"), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    std::string target;
    ASSERT_EQ(0, host().readlink(p("abs"), &target));
    EXPECT_EQ(p("data"), target);  // stored text, not rewritten
    ASSERT_EQ(0, host().readlink(p("dir/dots"), &target));
    EXPECT_EQ("../dirlink/inner/../../data", target);
    EXPECT_EQ(EINVAL, host().readlink(p("data"), &target));
}

TEST_P(HostContract, RenameChmodChownUnlink) {
    put("a", "first");
    put("b", "second");
    ASSERT_EQ(0, host().rename(p("a"), p("b")));
    EXPECT_EQ("first", get("b"));
    EXPECT_FALSE(host().exists(p("a")));

    ASSERT_EQ(0, host().chmod(p("b"), 0640));
    struct stat st;
    ASSERT_EQ(0, host().stat(p("b"), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(0, host().chown(p("b"), ::getuid(), ::getgid()));

    ASSERT_EQ(0, host().symlink("b", p("l")));
    ASSERT_EQ(0, host().unlink(p("l")));  // the link goes, its target stays
    EXPECT_EQ("first", get("b"));
    ASSERT_EQ(0, host().unlink(p("b")));
    EXPECT_EQ(ENOENT, host().stat(p("b"), &st));
}

TEST_P(HostContract, MissingPathsGiveEnoent) {
    struct stat st;
    std::string s;
    std::vector<std::string> names;
    std::unique_ptr<ZoWritableFile> f;
    std::unique_ptr<ZoHostLock> lock;
    const std::string m = p("missing");
    struct Case {
        const char* op;
        int rc;
    } cases[] = {
        {"stat", host().stat(m, &st)},
        {"lstat", host().lstat(m, &st)},
        {"readlink", host().readlink(m, &s)},
        {"access", host().access(m, F_OK)},
        {"listDir", host().listDir(m, &names)},
        {"readFile", host().readFile(m, &s)},
        {"openForWrite", host().openForWrite(p("missing/f"), 0644, &f)},
        {"probeOpen", host().probeOpen(m, O_RDONLY)},
        {"rename", host().rename(m, p("x"))},
        {"chmod", host().chmod(m, 0644)},
        {"chown", host().chown(m, 0, 0)},
        {"unlink", host().unlink(m)},
        {"mkdir", host().mkdir(p("missing/d"), 0755)},
        {"symlink", host().symlink("x", p("missing/l"))},
        {"syncDir", host().syncDir(m)},
        {"lockFile", host().lockFile(p("missing/lock"), &lock)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ENOENT, c.rc) << c.op;
    errno = 0;
    EXPECT_EQ(-1, host().rereadPartitions(m));
    EXPECT_EQ(ENOENT, errno);
    std::vector<ZoHostPartition> parts;
    EXPECT_LT(host().readPartitionTable(m, &parts), 0);
}

TEST_P(HostContract, DeviceRequestsOnARegularFileFail) {
    put("plain", std::string(4096, '\0'));
    errno = 0;
    EXPECT_EQ(-1, host().rereadPartitions(p("plain")));
    EXPECT_EQ(ENOTTY, errno);
    unsigned char cdb[6] = {0x12, 0, 0, 0, 36, 0};
    unsigned char buf[36];
    ZoScsiCommand cmd;
    cmd.cdb = cdb;
    cmd.cdbLength = 6;
    cmd.data = buf;
    cmd.dataLength = sizeof buf;
    cmd.direction = ZoScsiCommand::FROM_DEVICE;
    ZoScsiStatus st;
    EXPECT_NE(0, host().scsiCommand(p("plain"), cmd, &st));
    EXPECT_FALSE(st.message.empty());
    // Zeros: a disk without a partition table, which has no partitions.
    std::vector<ZoHostPartition> parts(1);
    EXPECT_EQ(0, host().readPartitionTable(p("plain"), &parts));
    EXPECT_TRUE(parts.empty());
    EXPECT_LT(host().readPartitionTable(p("missing"), &parts), 0);
}

// A disk image partitioned by sfdisk reads back as sfdisk wrote it.
TEST_P(HostContract, ReadsPartitionTablesOfImages) {
    struct Case {
        const char* label;
        const char* script;
        std::vector<ZoHostPartition> want;
    } cases[] = {
        {"mbr primaries", "label: dos\nstart=2048,size=4096\nstart=6144,size=2048\n",
         {{2048, 4096, 1}, {6144, 2048, 2}}},
        {"mbr logicals",
         "label: dos\nstart=2048,size=2048\nstart=4096,size=12288,type=5\n"
         "start=6144,size=2048\nstart=10240,size=4096\n",
         // The extended entry keeps its table size (the kernel shows 2 sectors).
         {{2048, 2048, 1}, {4096, 12288, 2}, {6144, 2048, 5}, {10240, 4096, 6}}},
        {"gpt", "label: gpt\nstart=2048,size=2048\nstart=4096,size=8192\nstart=12288,size=1024\n",
         {{2048, 2048, 1}, {4096, 8192, 2}, {12288, 1024, 3}}},
    };
    for (const Case& c : cases) {
        const std::string img = real("disk.img");
        std::string cmd = "rm -f '" + img + "' && truncate -s 16M '" + img + "' && printf '" +
                          c.script + "' | sfdisk -q '" + img + "' >/dev/null 2>&1";
        ASSERT_EQ(0, std::system(cmd.c_str())) << c.label;
        std::vector<ZoHostPartition> parts;
        ASSERT_EQ(0, host().readPartitionTable(p("disk.img"), &parts)) << c.label;
        ASSERT_EQ(c.want.size(), parts.size()) << c.label;
        for (size_t i = 0; i < parts.size(); ++i) {
            EXPECT_EQ(c.want[i].startSector, parts[i].startSector) << c.label << " #" << i;
            EXPECT_EQ(c.want[i].sectorCount, parts[i].sectorCount) << c.label << " #" << i;
            EXPECT_EQ(c.want[i].number, parts[i].number) << c.label << " #" << i;
        }
    }
}

// Takes the lock on path in the background while holdAndRelease keeps it;
// holdAndRelease must write the marker file and then release. Returns true
// iff the waiter saw the marker when it got the lock, i.e. it waited.
bool waiterSawRelease(ZoHost& host, const std::string& path, const std::string& marker,
                      const std::function<void()>& releaseSoon) {
    std::atomic<bool> sawMarker{false};
    std::thread waiter([&] {
        std::unique_ptr<ZoHostLock> lock;
        if (host.lockFile(path, &lock) == 0)
            sawMarker = host.exists(marker);
    });
    // Give a broken lock the chance to be taken early; the verdict does not
    // depend on this pause, only how often a broken lock is caught.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    releaseSoon();
    waiter.join();
    return sawMarker;
}

TEST_P(HostContract, LockExcludesAnotherDescriptorInTheSameProcess) {
    std::unique_ptr<ZoHostLock> first;
    ASSERT_EQ(0, host().lockFile(p("lock"), &first));
    struct stat st;
    ASSERT_EQ(0, host().stat(p("lock"), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_TRUE(waiterSawRelease(host(), p("lock"), p("released"), [&] {
        put("released", "");
        first->release();
    }));
}

TEST_P(HostContract, LockExcludesAnotherProcess) {
    int toParent[2], toChild[2];
    ASSERT_EQ(0, ::pipe(toParent));
    ASSERT_EQ(0, ::pipe(toChild));
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::unique_ptr<ZoHostLock> lock;
        char c = 'L';
        if (host().lockFile(p("lock"), &lock) != 0 || ::write(toParent[1], &c, 1) != 1 ||
            ::read(toChild[0], &c, 1) != 1)
            ::_exit(1);
        std::unique_ptr<ZoWritableFile> f;
        if (host().openForWrite(p("released"), 0644, &f) != 0 || f->close() != 0)
            ::_exit(2);
        lock->release();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(1, ::read(toParent[0], &c, 1));  // the child holds the lock
    EXPECT_TRUE(waiterSawRelease(host(), p("lock"), p("released"), [&] {
        ASSERT_EQ(1, ::write(toChild[1], "G", 1));
    }));
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]})
        ::close(fd);
}

TEST_P(HostContract, RunsCommands) {
    const std::string big(3 << 20, 'o'), bigErr(3 << 20, 'e');
    struct Case {
        std::string cmd;
        int status;
        std::string out, err;
    } cases[] = {
        {"true", 0, "", ""},
        {"printf 'a\\nb'; printf 'e\\n' >&2; exit 3", 3, "a\nb", "e\n"},
        {"printf 'x\\n\\ny\\n'", 0, "x\n\ny\n", ""},
        {"kill -9 $$", 137, "", ""},
        {"kill -TERM $$", 143, "", ""},
        {"cat", 0, "", ""},  // standard input is empty
        // Several MB on standard error before standard output: no deadlock.
        {"head -c 3145728 /dev/zero | tr '\\0' e >&2; head -c 3145728 /dev/zero | tr '\\0' o", 0,
         big, bigErr},
    };
    for (const Case& c : cases) {
        ZoCommandResult r = runAnswered(c.cmd, c.status, c.out, c.err);
        EXPECT_TRUE(r.started) << c.cmd;
        EXPECT_EQ(c.status, r.exitStatus) << c.cmd;
        EXPECT_TRUE(c.out == r.out) << c.cmd << ": out has " << r.out.size() << " bytes";
        EXPECT_TRUE(c.err == r.err) << c.cmd << ": err has " << r.err.size() << " bytes";
    }
}

TEST_P(HostContract, ProbeOpenAndAccess) {
    put("f", "x");
    EXPECT_EQ(0, host().probeOpen(p("f"), O_RDONLY));
    EXPECT_EQ(0, host().access(p("f"), R_OK));
    EXPECT_EQ(EISDIR, host().probeOpen(m_base, O_WRONLY));
    EXPECT_EQ(0, host().probeOpen(p("made"), O_WRONLY | O_CREAT));
    EXPECT_TRUE(host().exists(p("made")));
    EXPECT_EQ(0, host().syncDir(m_base));
}

}  // namespace
