// SPDX-License-Identifier: LGPL-2.1-or-later
// One contract for every host: the live host (in a temporary directory) and
// a rooted host (the same layout at /w inside a tree, resolved by the kernel,
// reading through a nodev copy of the tree's mount or always checked, or by
// the host itself) must answer alike.
#include "test.h"

#include "ZoFileLock.h"

#include <fcntl.h>

namespace {

enum Kind { kLive, kRooted, kRootedAlwaysChecking, kRootedResolvingHere };

std::shared_ptr<ZoHost> makeHost(Kind kind, const std::string& root) {
    if (kind == kLive) return ZoHost::makeLive();
    if (kind == kRootedAlwaysChecking) return zohost::makeRootedAlwaysChecking(root);
    return kind == kRooted ? ZoHost::makeRooted(root) : zohost::makeRootedResolvingHere(root);
}

// Installed for the process, so that the services in a child use it too.
class HostContract : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override { m_tree.mkdir("/w"); }
    ZoHost& host() { return *m_host; }
    std::string p(const std::string& rel) const { return (GetParam() != kLive ? "/w/" : m_tree.at("/w/")) + rel; }

    zotest::HostTree m_tree;
    std::shared_ptr<ZoHost> m_host = makeHost(GetParam(), m_tree.root());
    zotest::HostTree::Installed m_installed{m_host, ZoHost::install(m_host)};
};

std::string kindName(const ::testing::TestParamInfo<Kind>& i) {
    const char* names[] = {"Live", "Rooted", "RootedAlwaysChecking", "RootedResolvingHere"};
    return names[i.param];
}
INSTANTIATE_TEST_SUITE_P(Hosts, HostContract, ::testing::Values(kLive, kRooted, kRootedAlwaysChecking, kRootedResolvingHere), kindName);

TEST_P(HostContract, FilesDirectoriesRenameAndUnlink) {
    const std::string big = "abc" + std::string(100000, 'z');
    std::unique_ptr<ZoWritableFile> f;
    ASSERT_EQ(0, host().openForWrite(p("f"), 0600, &f));
    EXPECT_TRUE(f->append(big) == 0 && f->sync() == 0 && f->close() == 0);
    EXPECT_EQ(EBADF, f->append("late"));
    std::string s;
    EXPECT_EQ(0, host().readFile(p("f"), &s));
    EXPECT_TRUE(s == big) << s.size() << " bytes";
    // Permissions are checked: even root may not execute a file without an execute bit.
    EXPECT_EQ(0, host().access(p("f"), R_OK | W_OK));
    EXPECT_EQ(EACCES, host().access(p("f"), X_OK));
    EXPECT_EQ(ENOENT, host().access(p("d"), F_OK));

    EXPECT_EQ(ENOENT, host().writeFileAtomic(p("d/conf"), "x", 0644));
    ASSERT_EQ(0, host().mkdir(p("d"), 0755));
    EXPECT_EQ(EEXIST, host().mkdir(p("d"), 0755));
    ASSERT_EQ(0, host().writeFileAtomic(p("d/conf"), "old", 0644));
    ASSERT_EQ(0, host().writeFileAtomic(p("d/conf"), "new", 0640));
    struct stat st;
    ASSERT_EQ(0, host().stat(p("d/conf"), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    std::vector<std::string> names;
    ASSERT_EQ(0, host().listDir(p("d"), &names));
    EXPECT_EQ(std::vector<std::string>{"conf"}, names);  // no temporary file left
    EXPECT_EQ(ENOTDIR, host().listDir(p("d/conf"), &names));

    // Extended attributes, where the file system keeps them, go with the file.
    const int xattrs = host().setXattr(p("d/conf"), "user.zo", std::string("v\0w", 3));
    EXPECT_TRUE(xattrs == 0 || xattrs == ENOTSUP) << xattrs;
    EXPECT_EQ(ENOENT, host().setXattr(p("d/none"), "user.zo", "v"));
    ASSERT_EQ(0, host().rename(p("d/conf"), p("f")));  // replaces f
    EXPECT_FALSE(host().exists(p("d/conf")));
    std::vector<std::pair<std::string, std::string>> attrs;
    EXPECT_EQ(xattrs, host().listXattrs(p("f"), &attrs));
    if (xattrs == 0) {
        EXPECT_EQ(attrs, (std::vector<std::pair<std::string, std::string>>{{"user.zo", std::string("v\0w", 3)}}));
    }
    EXPECT_EQ(ENOENT, host().listXattrs(p("d/conf"), &attrs));
    ASSERT_EQ(0, host().unlink(p("f")));
    EXPECT_EQ(ENOENT, host().stat(p("f"), &st));
    ZoDmState dm;
    EXPECT_EQ(ENXIO, host().deviceMapperState(7, 4093, &dm));  // no mapped device of that number
}

// Reads take regular files only and stop one byte past their bound: a FIFO
// never blocks, a huge sparse attribute costs no more than the bound.
TEST_P(HostContract, ReadsAreBoundedAndOfRegularFilesOnly) {
    const size_t page = ZoHost::kAttributeBytes;
    ASSERT_EQ(0, ::mkfifo(m_tree.at("/w/fifo").c_str(), 0600));
    ASSERT_EQ(0, host().writeFileAtomic(p("page"), std::string(page, 'v'), 0644));
    ASSERT_EQ(0, ::truncate((m_tree.at("/w/page")).c_str(), 1L << 30));
    ASSERT_EQ(0, host().writeFileAtomic(p("attr"), std::string(page, 'v'), 0644));
    ASSERT_EQ(0, host().writeFileAtomic(p("empty"), "", 0644));
    struct Case { const char* path; size_t max; int err; size_t size; } cases[] = {
        {"attr", page, 0, page}, {"attr", page - 1, EFBIG, 0}, {"page", page, EFBIG, 0},
        {"fifo", page, EINVAL, 0}, {"", page, EISDIR, 0}, {"empty", page, 0, 0}};
    for (const auto& c : cases) {
        std::string s;
        errno = EINTR;  // left by an earlier call: no interruption of this one
        EXPECT_EQ(c.err, host().readFile(p(c.path), &s, c.max)) << c.path << " up to " << c.max;
        EXPECT_EQ(c.size, s.size()) << c.path << " up to " << c.max;
    }
    errno = EINTR;
    host().sleepMs(1);
    std::vector<ZoHostPartition> parts;  // a directory is no disk
    EXPECT_EQ(-1, host().readPartitionTable(p(""), &parts));
}

TEST_P(HostContract, FollowsLinksLikeTheKernel) {
    ASSERT_EQ(0, host().mkdir(p("dir"), 0755));
    ASSERT_EQ(0, host().writeFileAtomic(p("dir/f"), "F", 0644));
    ASSERT_EQ(0, host().writeFileAtomic(p("data"), "D", 0644));
    for (auto link : std::vector<std::pair<std::string, std::string>>{
             {"data", "rel"}, {p("data"), "abs"}, {"abs", "chain"}, {"dir", "dirlink"}, {"../dirlink/../data", "dir/dots"},
             {"loopB", "loopA"}, {"loopA", "loopB"}, {"nothere", "dangling"}, {std::string(300, 'l'), "long"}})
        ASSERT_EQ(0, host().symlink(link.first, p(link.second))) << link.second;
    struct Case { const char* path; int err; const char* contents; } cases[] = {
        {"rel", 0, "D"},       {"chain", 0, "D"},         {"dirlink/f", 0, "F"},    {"dir/dots", 0, "D"},
        {"loopA/x", ELOOP, ""}, {"dangling", ENOENT, ""}, {"data/x", ENOTDIR, ""},
    };
    for (const auto& c : cases) {
        std::string s;
        EXPECT_EQ(c.err, host().readFile(p(c.path), &s)) << c.path;
        EXPECT_EQ(c.contents, s) << c.path;
    }
    std::string target;
    ASSERT_EQ(0, host().readlink(p("abs"), &target));
    EXPECT_EQ(p("data"), target);           // the stored text, not rewritten
    ASSERT_EQ(0, host().readlink(p("long"), &target));
    EXPECT_EQ(std::string(300, 'l'), target);
    EXPECT_EQ(EINVAL, host().readlink(p("data"), &target));  // no link
    std::vector<std::pair<std::string, std::string>> links;     // the links of a directory, none of the rest
    ASSERT_EQ(0, host().listLinks(p(""), &links));
    std::sort(links.begin(), links.end());
    EXPECT_EQ((decltype(links){{"abs", p("data")}, {"chain", "abs"}, {"dangling", "nothere"}, {"dirlink", "dir"},
                               {"long", std::string(300, 'l')}, {"loopA", "loopB"}, {"loopB", "loopA"}, {"rel", "data"}}),
              links);
    EXPECT_EQ(ENOTDIR, host().listLinks(p("data"), &links));
    ASSERT_EQ(0, host().unlink(p("rel")));  // the link goes, its target stays
    EXPECT_TRUE(host().exists(p("data")));
}

// Descriptor 0 is one like any other: with standard input closed, a file is
// written, closed when its object goes, and read.
TEST_P(HostContract, StandardInputClosed) {
    const int saved = ::dup(0);
    ::close(0);
    std::unique_ptr<ZoWritableFile> f;
    std::string s;
    const bool written = host().openForWrite(p("f"), 0600, &f) == 0 && f->append("x") == 0;
    f.reset();
    const bool closed = ::fcntl(0, F_GETFD) < 0, read = host().readFile(p("f"), &s) == 0;
    ::dup2(saved, 0);
    ::close(saved);
    EXPECT_TRUE(written && closed && read && s == "x") << written << closed << read << " " << s;
}

// The service's lock in another process excludes the host's lock here.
TEST_P(HostContract, LockExcludesAnotherProcess) {
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {  // holds the lock for a while, then marks and releases it
        ZoFileLock lock(false);
        if (lock.lock(p("lock").c_str(), ZoFileLock::EXCLUSIVE, -1) != 0 || ::write(ready[1], "L", 1) != 1) ::_exit(1);
        ::usleep(200 * 1000);
        ::_exit(host().writeFileAtomic(p("released"), "", 0644));
    }
    char c;
    ASSERT_EQ(1, ::read(ready[0], &c, 1));
    std::unique_ptr<ZoHostLock> lock;
    ASSERT_EQ(0, host().lockFile(p("lock"), &lock));
    EXPECT_TRUE(host().exists(p("released")));  // we waited for the child
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_EQ(0, status);
    struct stat st;
    ASSERT_EQ(0, host().stat(p("lock"), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    for (int fd : ready) ::close(fd);
}

TEST_P(HostContract, RunsCommands) {
    const std::string big(3 << 20, 'o'), bigErr(3 << 20, 'e');
    struct Case { std::string cmd; int status; std::string out, err; } cases[] = {
        {"printf 'a\\n\\nb'; printf 'e\\n' >&2; exit 3", 3, "a\n\nb", "e\n"},
        {"kill -9 $$", 137, "", ""},
        // Megabytes on standard error before standard output: no deadlock.
        {"head -c 3145728 /dev/zero | tr '\\0' e >&2; head -c 3145728 /dev/zero | tr '\\0' o", 0, big, bigErr},
        // Output that looks like the host tree's command table.
        {"printf '> t\\n>- y\\n\\n$ n\\n? 9'; printf '! no\\n!- x' >&2; exit 1", 1, "> t\n>- y\n\n$ n\n? 9", "! no\n!- x"},
    };
    for (const auto& c : cases) {
        if (GetParam()) m_tree.answerCommand(c.cmd, c.status, c.out, c.err);
        const ZoCommandResult r = host().run(c.cmd);
        EXPECT_TRUE(r.started && c.status == r.exitStatus) << c.cmd << " gave " << r.exitStatus;
        EXPECT_TRUE(c.out == r.out && c.err == r.err) << c.cmd << ": " << r.out.size() << "+" << r.err.size();
    }
    if (GetParam() == kLive) return;
    m_tree.answerCommand(cases[0].cmd, 5, "later");  // a later block wins
    const ZoCommandResult later = host().run(cases[0].cmd), unknown = host().run("unknown");
    EXPECT_TRUE(later.exitStatus == 5 && later.out == "later") << later.out;
    EXPECT_TRUE(unknown.exitStatus == 127 && unknown.err == "no answer in host tree for: unknown") << unknown.err;
    EXPECT_EQ(6u, dynamic_cast<ZoRootedHost&>(host()).commandsRun().size());
    EXPECT_THROW(m_tree.answerCommand("two\nlines", 0, ""), std::invalid_argument);
}

}  // namespace
