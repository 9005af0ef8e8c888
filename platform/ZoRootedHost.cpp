// SPDX-License-Identifier: LGPL-2.1-or-later
// The rooted host: a directory tree standing in for "/" (a captured or
// synthetic machine). docs/host-trees.md gives the rules in full:
//   - Machine paths are resolved inside the root: symbolic links are
//     followed, an absolute target from the root, a relative one from the
//     link's directory; ".." never climbs above the root; more than 40 links
//     give ELOOP. Nothing outside the root is ever touched, and no path is
//     used that was not resolved inside it. Link targets are stored and
//     reported as written.
//   - /dev: a real block or character node in the tree is what it is.
//     Otherwise /dev/.../N is a block device when /sys/class/block/N/dev
//     holds "MAJ:MIN" (a regular file at that path is the disk's first
//     bytes), else a character device when some /sys/class/<class>/N/dev
//     exists.
//   - A disk's image is its regular file, the further pieces in
//     /.zohost/disks/MAJ:MIN/<byte offset> and zeros up to the size sysfs
//     gives the disk.
//   - SCSI INQUIRY is answered from the device's sysfs attributes; commands
//     from the table /.zohost/commands; device-mapper state from
//     /.zohost/dm/MAJ:MIN. Sleeps are recorded, not slept, and move the
//     clock on.
//
// Resolution: the kernel resolves inside the root (openat2 with
// RESOLVE_IN_ROOT), one system call per operation. Paths under /dev, whose
// final name decides what node they are, and every path on a kernel without
// openat2, are resolved here component by component from the root's
// descriptor.
#include "ZoHost.h"

#include "ZoHostInternal.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

namespace {

using zohost::closeQuietly;
using zohost::fail;
using zohost::sysResult;

const char kClockFile[] = "/.zohost/clock";
const char kDiskPieces[] = "/.zohost/disks/";
const int kMaxLinks = 40;

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        pos = slash + 1;
    }
    return parts;
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A decimal number of digits only that fits in 64 bits.
bool parseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

// "MAJ:MIN" exactly, as sysfs writes a dev attribute.
bool parseDevNumber(const std::string& text, dev_t* dev) {
    const size_t colon = text.find(':');
    uint64_t maj = 0, min = 0;
    if (colon == std::string::npos || !parseDecimal(text.substr(0, colon), &maj) ||
        !parseDecimal(text.substr(colon + 1), &min) || maj > UINT32_MAX || min > UINT32_MAX)
        return false;
    *dev = makedev(static_cast<unsigned>(maj), static_cast<unsigned>(min));
    return true;
}

std::string devNumber(dev_t dev) {
    return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The path of a descriptor for the calls that take no descriptor.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// SCSI sense, fixed format, ILLEGAL REQUEST with the given additional sense
// code.
const int kSenseLength = 18;
void illegalRequest(unsigned char asc, unsigned char sense[kSenseLength]) {
    std::memset(sense, 0, kSenseLength);
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[7] = kSenseLength - 8;
    sense[12] = asc;
}

// Closes a descriptor at the end of a scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            closeQuietly(fd);
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

class RootedHost final : public ZoRootedHost {
public:
    RootedHost(const std::string& dir, bool kernelResolves) : m_kernelResolves(kernelResolves) {
        char buf[PATH_MAX];
        m_root = ::realpath(dir.c_str(), buf) ? std::string(buf) : dir;
        while (m_root.size() > 1 && m_root.back() == '/')
            m_root.pop_back();
        if (m_root == "/")
            m_root.clear();  // a tree at "/" is the machine itself
        m_rootFd = ::open(m_root.empty() ? "/" : m_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        m_rootErr = m_rootFd < 0 ? errno : 0;
    }
    ~RootedHost() override {
        if (m_rootFd >= 0)
            ::close(m_rootFd);
    }
    RootedHost(const RootedHost&) = delete;
    RootedHost& operator=(const RootedHost&) = delete;

    const std::string& root() const override { return m_root; }

    std::vector<std::string> commandsRun() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_commands;
    }
    std::vector<unsigned long> sleepsMs() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_sleeps;
    }
    std::vector<std::string> rereads() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_rereads;
    }
    void setClock(time_t t) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_clockSet = true;
        m_clock = t;
        m_sleptMs = 0;
    }

    // --- Files and directories ------------------------------------------
    int stat(const std::string& path, struct stat* st) override { return statIn(path, true, st); }
    int lstat(const std::string& path, struct stat* st) override { return statIn(path, false, st); }
    int readlink(const std::string& path, std::string* target) override {
        Fd f;
        if (int rc = openIn(path, O_PATH | O_NOFOLLOW, 0, &f.fd))
            return rc;
        std::string buf(256, '\0');
        for (;;) {
            ssize_t n = ::readlinkat(f.fd, "", &buf[0], buf.size());
            if (n < 0)
                return fail(errno == ENOENT ? EINVAL : errno);  // the path is no link
            if (static_cast<size_t>(n) < buf.size()) {
                buf.resize(static_cast<size_t>(n));
                target->swap(buf);
                return 0;
            }
            buf.resize(buf.size() * 2);
        }
    }
    int access(const std::string& path, int mode) override {
        Fd f;
        int rc = openIn(path, O_PATH, 0, &f.fd);
        if (rc == 0 && mode != F_OK) {
            rc = sysResult(::access(procPath(f.fd).c_str(), mode));
            Resolved r;  // without /proc: the path resolved here
            if (rc == ENOENT && (rc = resolve(path, true, &r)) == 0)
                rc = sysResult(::faccessat(m_rootFd, r.rel.c_str(), mode, 0));
        }
        if (rc == 0)
            return 0;
        struct stat st;
        if (rc == ENOENT && isDevPath(path) && devStat(path, true, &st) == 0)
            return 0;  // a node made up from sysfs
        return rc;
    }
    int listDir(const std::string& path, std::vector<std::string>* names) override {
        Fd f;
        if (int rc = openIn(path, O_RDONLY | O_DIRECTORY, 0, &f.fd))
            return rc;
        // A tree keeps no order of its own (a capture cannot keep sysfs's, and
        // the file system holding the tree has another): names come sorted, so
        // a tree answers the same on every machine.
        const int rc = zohost::listDirFd(f.release(), names);
        if (rc == 0)
            std::sort(names->begin(), names->end());
        return rc;
    }
    int listLinks(const std::string& dir,
                  std::vector<std::pair<std::string, std::string>>* links) override {
        // The directory is resolved inside the root; a name in it is read
        // without following it, so no target leads outside.
        Fd f;
        if (int rc = openIn(dir, O_RDONLY | O_DIRECTORY, 0, &f.fd))
            return rc;
        const int rc = zohost::listLinksFd(f.release(), links);
        if (rc == 0)
            std::sort(links->begin(), links->end());  // as listDir: sorted names
        return rc;
    }
    using ZoHost::readFile;
    int readFile(const std::string& path, std::string* contents, size_t maxBytes) override {
        Fd f;
        if (int rc = openIn(path, O_RDONLY | O_NONBLOCK, 0, &f.fd))
            return rc;
        return zohost::readRegularFd(f.fd, maxBytes, contents);
    }
    int openForWrite(const std::string& path, mode_t mode,
                     std::unique_ptr<ZoWritableFile>* file) override {
        int fd = -1;
        if (int rc = openIn(path, O_WRONLY | O_CREAT | O_TRUNC, mode, &fd))
            return rc;
        *file = zohost::writableFile(fd);
        return 0;
    }
    int probeOpen(const std::string& path, int flags) override {
        Fd f;
        int rc = openIn(path, flags, 0600, &f.fd);
        struct stat st;
        if (rc == ENOENT && !(flags & O_CREAT) && isDevPath(path) && devStat(path, true, &st) == 0)
            return (flags & O_ACCMODE) == O_RDONLY ? 0 : fail(EROFS);  // made up from sysfs
        return rc;
    }
    int rename(const std::string& from, const std::string& to) override {
        Fd a, b;
        std::string nameA, nameB;
        if (int rc = openParent(from, &a.fd, &nameA))
            return rc;
        if (int rc = openParent(to, &b.fd, &nameB))
            return rc;
        return sysResult(::renameat(a.fd, nameA.c_str(), b.fd, nameB.c_str()));
    }
    int chmod(const std::string& path, mode_t mode) override {
        Fd f;
        if (int rc = openIn(path, O_PATH, 0, &f.fd))
            return rc;
        int rc = sysResult(::chmod(procPath(f.fd).c_str(), mode));
        Resolved r;  // without /proc: the path resolved here
        if (rc == ENOENT && (rc = resolve(path, true, &r)) == 0)
            rc = sysResult(::fchmodat(m_rootFd, r.rel.c_str(), mode, 0));
        return rc;
    }
    int chown(const std::string& path, uid_t uid, gid_t gid) override {
        Fd f;
        if (int rc = openIn(path, O_PATH, 0, &f.fd))
            return rc;
        return sysResult(::fchownat(f.fd, "", uid, gid, AT_EMPTY_PATH));
    }
    // Through the descriptor of the file resolved inside the tree.
    int listXattrs(const std::string& path,
                   std::vector<std::pair<std::string, std::string>>* attrs) override {
        Fd f;
        if (int rc = openIn(path, O_PATH, 0, &f.fd))
            return rc;
        return zohost::listXattrsAt(procPath(f.fd), attrs);
    }
    int setXattr(const std::string& path, const std::string& name, const std::string& value) override {
        Fd f;
        if (int rc = openIn(path, O_PATH, 0, &f.fd))
            return rc;
        return zohost::setXattrAt(procPath(f.fd), name, value);
    }
    int unlink(const std::string& path) override {
        Fd d;
        std::string name;
        if (int rc = openParent(path, &d.fd, &name))
            return rc;
        return sysResult(::unlinkat(d.fd, name.c_str(), 0));
    }
    int mkdir(const std::string& path, mode_t mode) override {
        Fd d;
        std::string name;
        if (int rc = openParent(path, &d.fd, &name))
            return rc;
        return sysResult(::mkdirat(d.fd, name.c_str(), mode));
    }
    int symlink(const std::string& target, const std::string& linkPath) override {
        Fd d;
        std::string name;
        if (int rc = openParent(linkPath, &d.fd, &name))
            return rc;
        return sysResult(::symlinkat(target.c_str(), d.fd, name.c_str()));
    }
    int syncDir(const std::string& path) override {
        Fd f;
        if (int rc = openIn(path, O_RDONLY | O_DIRECTORY, 0, &f.fd))
            return rc;
        return sysResult(::fsync(f.fd));
    }

    // --- Devices -----------------------------------------------------------
    int rereadPartitions(const std::string& node) override {
        struct stat st;
        if (int rc = stat(node, &st)) {
            errno = rc;
            return -1;
        }
        if (!S_ISBLK(st.st_mode)) {
            errno = ENOTTY;  // what BLKRRPART says of anything but a disk
            return -1;
        }
        if (heldByAnother(st.st_rdev)) {
            errno = EBUSY;  // the kernel keeps the table of a disk in use
            return -1;
        }
        std::lock_guard<std::mutex> g(m_mutex);
        m_rereads.push_back(node);
        return 0;
    }

    // Returns true iff sysfs shows the disk with number dev, or one of its
    // partitions, held by another device (a device-mapper map over it):
    // the kernel then refuses to re-read the disk's table.
    bool heldByAnother(dev_t dev) {
        const std::string sys = "/sys/dev/block/" + devNumber(dev);
        std::vector<std::string> names;
        if (listDir(sys + "/holders", &names) == 0 && !names.empty())
            return true;
        std::vector<std::string> entries;
        if (listDir(sys, &entries) != 0)
            return false;
        for (const std::string& e : entries) {
            names.clear();
            if (access(sys + "/" + e + "/partition", F_OK) == 0 &&
                listDir(sys + "/" + e + "/holders", &names) == 0 && !names.empty())
                return true;
        }
        return false;
    }

    int readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) override {
        Fd f;
        if (int rc = openDiskImage(node, &f.fd)) {
            errno = rc;
            return -1;  // a node made up from sysfs has no contents to read
        }
        return zohost::readPartitionTableFd(f.fd, parts);
    }

    int readDisk(const std::string& node, uint64_t offset, size_t length, std::string* data,
                 uint64_t* diskBytes) override {
        Fd f;
        if (int rc = openDiskImage(node, &f.fd))
            return rc;
        if (int rc = zohost::diskBytesFd(f.fd, diskBytes))
            return rc;
        return zohost::preadFd(f.fd, offset, length, data);
    }

    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) override;

    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override {
        // A state file is as small as an attribute but for maps of very
        // many paths.
        std::string text;
        int rc = readFile(deviceMapperStatePath(major, minor), &text, kAttributeBytes);
        if (rc == EFBIG)
            rc = readFile(deviceMapperStatePath(major, minor), &text);
        if (rc == ENOENT) {
            // No state captured: say whether the tree shows such a device.
            const std::string dm = "/sys/dev/block/" + std::to_string(major) + ":" +
                                   std::to_string(minor) + "/dm";
            return fail(exists(dm) ? ENOENT : ENXIO);
        }
        return rc != 0 ? rc : zohost::parseDmState(text, state);
    }

    // --- Processes, locks, time ------------------------------------------
    ZoCommandResult run(const std::string& command) override {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_commands.push_back(command);
        }
        ZoCommandResult result;
        result.started = true;
        std::string text;
        if (readFile(commandTablePath(), &text) == 0) {
            auto table = zohost::parseCommandTable(text);
            auto it = table.find(command);
            if (it != table.end()) {
                result.exitStatus = it->second.exitStatus;
                result.out = it->second.out;
                result.err = it->second.err;
                return result;
            }
        }
        result.exitStatus = 127;
        result.err = "no answer in host tree for: " + command;
        return result;
    }
    // multipathd's answers come from the tree's table; without one (or
    // without the request) no daemon listens.
    int askMultipathd(const std::string& request, std::string* reply, unsigned) override {
        std::string text;
        const int rc = readFile(multipathdTablePath(), &text);
        if (rc == ENOENT)
            return fail(ECONNREFUSED);
        if (rc != 0)
            return rc;
        auto table = zohost::parseCommandTable(text);
        auto it = table.find(request);
        if (it == table.end())
            return fail(ECONNREFUSED);
        *reply = it->second.out;
        return 0;
    }
    int lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) override {
        int fd = -1;
        if (int rc = openIn(path, O_RDWR | O_CREAT, 0600, &fd))
            return rc;
        return zohost::lockFd(fd, lock);
    }
    void sleepMs(unsigned long ms) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_sleeps.push_back(ms);
        m_sleptMs += ms;
    }
    time_t now() override {
        time_t base = 0;
        bool fixed = false;
        unsigned long long slept = 0;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            fixed = m_clockSet;
            base = m_clock;
            slept = m_sleptMs;
        }
        if (!fixed) {
            std::string text;
            char* end = nullptr;
            if (readAttr(kClockFile, &text) == 0) {
                long long v = std::strtoll(text.c_str(), &end, 10);
                if (end != text.c_str()) {
                    fixed = true;
                    base = static_cast<time_t>(v);
                }
            }
        }
        if (!fixed)
            base = ::time(nullptr);
        return base + static_cast<time_t>(slept / 1000);
    }

private:
    // A path resolved here: as the machine would show it, links resolved,
    // and relative to the root's descriptor.
    struct Resolved {
        std::string machine;
        std::string rel;
    };

    // Opens path inside the root with open(2) flags (O_CLOEXEC added).
    int openIn(const std::string& path, int flags, mode_t mode, int* fd) {
        if (m_rootFd < 0)
            return fail(m_rootErr);
        if (m_kernelResolves.load(std::memory_order_relaxed)) {
            struct open_how how;
            std::memset(&how, 0, sizeof how);
            how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
            how.mode = (flags & O_CREAT) ? mode : 0;
            how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
            for (int tries = 0;; ++tries) {
                long r = ::syscall(SYS_openat2, m_rootFd, path.c_str(), &how, sizeof how);
                if (r >= 0) {
                    *fd = static_cast<int>(r);
                    return 0;
                }
                // EAGAIN: a rename raced with a ".."; the kernel asks to retry.
                if (errno == EINTR || (errno == EAGAIN && tries < 16))
                    continue;
                // A kernel without openat2, or a sandbox that forbids it.
                if (errno != ENOSYS && (errno != EPERM || kernelResolves()))
                    return errno;
                m_kernelResolves = false;
                break;
            }
        }
        Resolved r;
        if (int rc = resolve(path, !(flags & O_NOFOLLOW), &r))
            return rc;
        // The resolved path holds no link; O_NOFOLLOW keeps it so.
        int f = ::openat(m_rootFd, r.rel.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (f < 0)
            return errno;
        *fd = f;
        return 0;
    }

    // Returns true iff the kernel resolves inside the root for this process.
    bool kernelResolves() const {
        struct open_how how;
        std::memset(&how, 0, sizeof how);
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_IN_ROOT;
        long fd = ::syscall(SYS_openat2, m_rootFd, ".", &how, sizeof how);
        if (fd < 0)
            return false;
        ::close(static_cast<int>(fd));
        return true;
    }

    // Opens the directory holding path's last component and names that
    // component (a trailing slash kept).
    int openParent(const std::string& path, int* dirFd, std::string* name) {
        std::string p = path;
        bool slash = false;
        while (p.size() > 1 && p.back() == '/') {
            p.pop_back();
            slash = true;
        }
        const size_t cut = p.find_last_of('/');
        const std::string base = cut == std::string::npos ? p : p.substr(cut + 1);
        if (base.empty() || base == "." || base == "..")
            return fail(EINVAL);
        *name = base + (slash ? "/" : "");
        return openIn(cut == std::string::npos || cut == 0 ? "/" : p.substr(0, cut),
                      O_PATH | O_DIRECTORY, 0, dirFd);
    }

    int statIn(const std::string& path, bool follow, struct stat* st) {
        if (isDevPath(path))
            return devStat(path, follow, st);
        Fd f;
        if (int rc = openIn(path, O_PATH | (follow ? 0 : O_NOFOLLOW), 0, &f.fd))
            return rc;
        return sysResult(::fstat(f.fd, st));
    }

    // Resolves path inside the root here, component by component.
    // followLast: a link in the last place is followed too. The last
    // component need not exist.
    int resolve(const std::string& path, bool followLast, Resolved* out) const {
        if (m_rootFd < 0)
            return fail(m_rootErr);
        const bool trailingSlash = !path.empty() && path.back() == '/';
        if (trailingSlash)
            followLast = true;  // "link/" names the directory the link points at
        std::vector<std::string> done;
        std::deque<std::string> todo;
        for (auto& p : splitPath(path))
            todo.push_back(p);
        int links = 0;
        while (!todo.empty()) {
            std::string part = std::move(todo.front());
            todo.pop_front();
            if (part == "..") {
                if (!done.empty())
                    done.pop_back();
                continue;
            }
            done.push_back(part);
            const bool last = todo.empty();
            if (last && !followLast)
                break;
            const std::string rel = relOf(done);
            struct stat st;
            if (::fstatat(m_rootFd, rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    return errno;
                // Nothing below a missing directory exists: the rest is
                // taken as written, so that the caller's own operation
                // reports ENOENT, and /dev/N is made up even in a tree
                // without a /dev directory.
                for (auto& rest : todo) {
                    if (rest == "..")
                        return fail(ENOENT);  // climbing out of a missing directory
                    done.push_back(rest);
                }
                break;
            }
            if (S_ISLNK(st.st_mode)) {
                if (++links > kMaxLinks)
                    return fail(ELOOP);
                std::string target;
                if (int rc = readLinkAt(rel, &target))
                    return rc;
                done.pop_back();
                if (!target.empty() && target[0] == '/')
                    done.clear();
                auto parts = splitPath(target);
                todo.insert(todo.begin(), parts.begin(), parts.end());
            } else if (!last && !S_ISDIR(st.st_mode)) {
                return fail(ENOTDIR);
            }
        }
        out->rel = relOf(done) + (trailingSlash && !done.empty() ? "/" : "");
        out->machine.clear();
        for (const auto& p : done)
            out->machine += "/" + p;
        if (out->machine.empty())
            out->machine = "/";
        return 0;
    }

    static std::string relOf(const std::vector<std::string>& parts) {
        std::string rel;
        for (const auto& p : parts)
            rel += (rel.empty() ? "" : "/") + p;
        return rel.empty() ? "." : rel;
    }

    int readLinkAt(const std::string& rel, std::string* target) const {
        char buf[PATH_MAX];
        ssize_t n = ::readlinkat(m_rootFd, rel.c_str(), buf, sizeof buf);
        if (n < 0)
            return errno;
        target->assign(buf, static_cast<size_t>(n));
        return 0;
    }

    // Paths written under /dev: their final name decides what node they are.
    static bool isDevPath(const std::string& path) {
        const size_t start = path.find_first_not_of('/');
        return start != std::string::npos && path.compare(start, 3, "dev") == 0 &&
               (path.size() == start + 3 || path[start + 3] == '/');
    }
    static bool isUnderDev(const std::string& machine) { return machine.compare(0, 5, "/dev/") == 0; }

    int devStat(const std::string& path, bool follow, struct stat* st) {
        Resolved r;
        if (int rc = resolve(path, follow, &r))
            return rc;
        if (!isUnderDev(r.machine))
            return sysResult(::fstatat(m_rootFd, r.rel.c_str(), st, AT_SYMLINK_NOFOLLOW));
        return deviceStat(r, st);
    }

    // stat of a resolved path under /dev by the tree's node rules.
    int deviceStat(const Resolved& r, struct stat* st) {
        struct stat real;
        const bool present = ::fstatat(m_rootFd, r.rel.c_str(), &real, AT_SYMLINK_NOFOLLOW) == 0;
        if (present && (S_ISBLK(real.st_mode) || S_ISCHR(real.st_mode) || S_ISLNK(real.st_mode) ||
                        S_ISDIR(real.st_mode))) {
            *st = real;
            return 0;
        }
        const std::string name = baseName(r.machine);
        std::string text;
        dev_t dev = 0;
        mode_t type = 0;
        if (readAttr("/sys/class/block/" + name + "/dev", &text) == 0 && parseDevNumber(text, &dev)) {
            type = S_IFBLK;
        } else {
            std::vector<std::string> classes;
            if (listDir("/sys/class", &classes) == 0) {
                for (const auto& c : classes) {
                    if (c != "block" && readAttr("/sys/class/" + c + "/" + name + "/dev", &text) == 0 &&
                        parseDevNumber(text, &dev)) {
                        type = S_IFCHR;
                        break;
                    }
                }
            }
        }
        if (type == 0) {
            if (!present)
                return fail(ENOENT);
            *st = real;
            return 0;
        }
        if (!present) {
            std::memset(&real, 0, sizeof real);
            real.st_nlink = 1;
            real.st_blksize = 4096;
        }
        real.st_mode = type | 0660;
        real.st_rdev = dev;
        *st = real;
        return 0;
    }

    // A descriptor on the image of the disk node: a block device in the
    // tree as it is; a regular file as the disk's first bytes, with the
    // pieces the tree keeps further on and zeros up to the size sysfs gives
    // the disk (assembled in memory when there is more than the file).
    int openDiskImage(const std::string& node, int* fd) {
        Fd file;
        if (int rc = openIn(node, O_RDONLY | O_NONBLOCK, 0, &file.fd))
            return rc;
        struct stat st;
        if (::fstat(file.fd, &st) != 0)
            return errno;
        if (S_ISBLK(st.st_mode)) {
            *fd = file.release();
            return 0;
        }
        if (!S_ISREG(st.st_mode))
            return fail(EINVAL);
        uint64_t bytes = static_cast<uint64_t>(st.st_size);
        std::vector<std::pair<uint64_t, std::string>> pieces;
        struct stat nodeSt;
        if (stat(node, &nodeSt) == 0 && S_ISBLK(nodeSt.st_mode)) {
            const std::string number = devNumber(nodeSt.st_rdev);
            std::string text;
            uint64_t sectors = 0;
            if (readAttr("/sys/dev/block/" + number + "/size", &text) == 0 &&
                parseDecimal(text, &sectors) && sectors <= UINT64_MAX / 512)
                bytes = std::max(bytes, sectors * 512);
            std::vector<std::string> names;
            if (listDir(kDiskPieces + number, &names) == 0) {
                for (const std::string& n : names) {
                    uint64_t offset = 0;
                    std::string data;
                    if (!parseDecimal(n, &offset))
                        return fail(EINVAL);
                    if (int rc = readFile(kDiskPieces + number + "/" + n, &data))
                        return rc;
                    if (offset > UINT64_MAX - data.size())
                        return fail(EINVAL);
                    bytes = std::max(bytes, offset + data.size());
                    pieces.emplace_back(offset, std::move(data));
                }
            }
        }
        if (pieces.empty() && bytes == static_cast<uint64_t>(st.st_size)) {
            *fd = file.release();
            return 0;
        }
        Fd image;
        image.fd = ::memfd_create("zohost-disk", MFD_CLOEXEC);
        if (image.fd < 0 || ::ftruncate(image.fd, static_cast<off_t>(bytes)) != 0)
            return errno;
        if (int rc = copyData(file.fd, image.fd, static_cast<uint64_t>(st.st_size)))
            return rc;
        for (const auto& p : pieces)
            if (::pwrite(image.fd, p.second.data(), p.second.size(), static_cast<off_t>(p.first)) !=
                static_cast<ssize_t>(p.second.size()))
                return errno ? errno : fail(EIO);
        *fd = image.release();
        return 0;
    }

    // Copies the data of a (possibly sparse) file to the same offsets of to,
    // skipping its holes.
    static int copyData(int from, int to, uint64_t size) {
        off_t pos = 0;
        while (static_cast<uint64_t>(pos) < size) {
            off_t data = ::lseek(from, pos, SEEK_DATA);
            if (data < 0)
                return errno == ENXIO ? 0 : errno;  // ENXIO: only a hole is left
            off_t hole = ::lseek(from, data, SEEK_HOLE);
            if (hole < 0)
                return errno;
            std::string chunk;
            for (off_t at = data; at < hole; at += static_cast<off_t>(chunk.size())) {
                if (int rc = zohost::preadFd(from, static_cast<uint64_t>(at),
                                             std::min<uint64_t>(1 << 20, static_cast<uint64_t>(hole - at)), &chunk))
                    return rc;
                if (chunk.empty())
                    break;
                if (::pwrite(to, chunk.data(), chunk.size(), at) != static_cast<ssize_t>(chunk.size()))
                    return errno ? errno : fail(EIO);
            }
            pos = hole;
        }
        return 0;
    }

    std::string m_root;
    int m_rootFd = -1;
    int m_rootErr = 0;
    std::atomic<bool> m_kernelResolves;
    std::mutex m_mutex;  // guards the records and the clock below
    std::vector<std::string> m_commands;
    std::vector<unsigned long> m_sleeps;
    std::vector<std::string> m_rereads;
    bool m_clockSet = false;
    time_t m_clock = 0;
    unsigned long long m_sleptMs = 0;
};

int RootedHost::scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) {
    *st = ZoScsiStatus();
    struct stat sb;
    if (int rc = stat(node, &sb)) {
        st->message = "host tree cannot open " + node + ": " + std::strerror(rc);
        return fail(rc);
    }
    if (!S_ISBLK(sb.st_mode) && !S_ISCHR(sb.st_mode)) {
        st->message = "host tree cannot send a SCSI command to " + node + ": not a device node";
        return fail(ENOTTY);
    }

    auto checkCondition = [&](unsigned char asc, const std::string& why) {
        unsigned char sense[kSenseLength];
        illegalRequest(asc, sense);
        int n = cmd.sense && cmd.senseLength > 0 ? std::min(cmd.senseLength, kSenseLength) : 0;
        if (n > 0)
            std::memcpy(cmd.sense, sense, static_cast<size_t>(n));
        st->status = 2;
        st->driverStatus = 0x08;  // sense data present, as the kernel reports it
        st->senseWritten = n;
        st->residual = cmd.dataLength;
        st->message = "host tree cannot answer " + why + " for " + node;
        return 0;
    };

    if (!cmd.cdb || cmd.cdbLength < 6)
        return checkCondition(0x20, "a command block shorter than 6 bytes");
    const unsigned char* cdb = cmd.cdb;
    char what[64];
    if (cdb[0] != 0x12) {
        std::snprintf(what, sizeof what, "SCSI command 0x%02x", cdb[0]);
        return checkCondition(0x20, what);
    }
    const bool evpd = cdb[1] & 1;
    const unsigned page = cdb[2];
    if (evpd)
        std::snprintf(what, sizeof what, "INQUIRY page 0x%02x", page);
    else
        std::snprintf(what, sizeof what, "INQUIRY");

    // The node's SCSI device: /sys/dev/{block,char}/MAJ:MIN/device, or the
    // parent disk's device for a partition.
    const std::string sysDev = std::string("/sys/dev/") + (S_ISBLK(sb.st_mode) ? "block/" : "char/") +
                               std::to_string(major(sb.st_rdev)) + ":" +
                               std::to_string(minor(sb.st_rdev));
    std::string device;
    if (exists(sysDev + "/device"))
        device = sysDev + "/device";
    else if (exists(sysDev + "/partition") && exists(sysDev + "/../device"))
        device = sysDev + "/../device";
    if (device.empty())
        return checkCondition(0x20, std::string(what) + " (no SCSI device)");
    // The kernel does not open a disk whose SCSI device is offline.
    std::string state;
    if (readAttr(device + "/state", &state) == 0 && state == "offline") {
        st->message = "cannot open " + node + ": " + std::strerror(ENXIO);
        return fail(ENXIO);
    }

    std::string response;
    if (evpd && page == 0x00) {
        std::vector<std::string> names;
        listDir(device, &names);
        std::vector<unsigned> pages{0x00};
        for (const auto& n : names) {
            unsigned p = 0;
            char extra = 0;
            if (n.size() == 8 && std::sscanf(n.c_str(), "vpd_pg%2x%c", &p, &extra) == 1 && p != 0)
                pages.push_back(p);
        }
        std::sort(pages.begin(), pages.end());
        std::string type;
        readAttr(device + "/type", &type);
        response.push_back(static_cast<char>(std::atoi(type.c_str()) & 0x1f));
        response.push_back(0);
        response.push_back(static_cast<char>((pages.size() >> 8) & 0xff));
        response.push_back(static_cast<char>(pages.size() & 0xff));
        for (unsigned p : pages)
            response.push_back(static_cast<char>(p));
    } else if (evpd) {
        char file[32];
        std::snprintf(file, sizeof file, "/vpd_pg%02x", page);
        if (readFile(device + file, &response, kAttributeBytes) != 0)
            return checkCondition(0x24, std::string(what) + " (no device" + file + ")");
    } else {
        if (page != 0)
            return checkCondition(0x24, "INQUIRY with a page code but no EVPD");
        std::string type, vendor, model, rev;
        const char* missing = nullptr;
        if (readAttr(device + "/type", &type) != 0)
            missing = "type";
        else if (readAttr(device + "/vendor", &vendor) != 0)
            missing = "vendor";
        else if (readAttr(device + "/model", &model) != 0)
            missing = "model";
        else if (readAttr(device + "/rev", &rev) != 0)
            missing = "rev";
        if (missing)
            return checkCondition(0x24, std::string(what) + " (no device/" + missing + ")");
        auto field = [](std::string s, size_t width) {
            s.resize(width, ' ');
            return s;
        };
        response.assign(8, '\0');
        response[0] = static_cast<char>(std::atoi(type.c_str()) & 0x1f);
        response[2] = 0x06;  // version: SPC-4
        response[3] = 0x02;  // response data format
        response[4] = 36 - 5;  // additional length
        response += field(vendor, 8) + field(model, 16) + field(rev, 4);
    }

    const size_t allocation = (static_cast<size_t>(cdb[3]) << 8) | cdb[4];
    size_t n = std::min(response.size(), allocation);
    n = std::min(n, static_cast<size_t>(cmd.dataLength > 0 ? cmd.dataLength : 0));
    if (!cmd.data)
        n = 0;
    if (n > 0)
        std::memcpy(cmd.data, response.data(), n);
    st->status = 0;
    st->residual = (cmd.dataLength > 0 ? cmd.dataLength : 0) - static_cast<int>(n);
    return 0;
}

}  // namespace

std::shared_ptr<ZoHost> ZoHost::makeRooted(const std::string& dir) {
    return std::make_shared<RootedHost>(dir, true);
}

std::shared_ptr<ZoRootedHost> zohost::makeRootedResolvingHere(const std::string& dir) {
    return std::make_shared<RootedHost>(dir, false);
}
