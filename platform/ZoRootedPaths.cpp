// SPDX-License-Identifier: LGPL-2.1-or-later
// Paths of a host tree, resolved and opened inside its root.
#include "ZoRootedHostInternal.h"

#include "ZoHostInternal.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/mount.h>
#include <linux/openat2.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace zohost {

namespace {

const int kMaxLinks = 40;

std::string relOf(const std::vector<std::string>& parts) {
    std::string rel;
    for (const auto& p : parts)
        rel += (rel.empty() ? "" : "/") + p;
    return rel.empty() ? "." : rel;
}

bool isDeviceNode(const struct stat& st) { return S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode); }

// What openFile answers for a device node opened with flags.
int deviceNodeError(int flags) { return (flags & O_ACCMODE) == O_RDONLY ? EINVAL : EROFS; }

// A descriptor of the root rootFd on a copy of its mount (with the mounts
// below it) that no namespace holds and that opens no device node, or -1
// where the process may not make one (no CAP_SYS_ADMIN, an older kernel,
// a sandbox). The copy goes when the descriptor is closed.
int nodevCopyOf(int rootFd) {
#if defined(SYS_open_tree) && defined(SYS_mount_setattr) && defined(MOUNT_ATTR_NODEV)
    // Under a system-call filter the mount calls are not even tried: a
    // filter may kill the process for them (systemd's SystemCallFilter
    // does by default) rather than fail them.
    if (::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) != 0)
        return -1;
    UniqueFd copy(static_cast<int>(::syscall(SYS_open_tree, rootFd, "",
                                             OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE | AT_EMPTY_PATH)));
    if (copy.fd < 0)
        return -1;
    struct mount_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.attr_set = MOUNT_ATTR_NODEV;
    if (::syscall(SYS_mount_setattr, copy.fd, "", AT_EMPTY_PATH, &attr, sizeof attr) != 0)
        return -1;
    struct statvfs fs;
    if (::fstatvfs(copy.fd, &fs) != 0 || !(fs.f_flag & ST_NODEV))
        return -1;
    return copy.release();
#else
    (void)rootFd;
    return -1;
#endif
}

}  // namespace

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool isDevPath(const std::string& path) {
    const size_t start = path.find_first_not_of('/');
    return start != std::string::npos && path.compare(start, 3, "dev") == 0 &&
           (path.size() == start + 3 || path[start + 3] == '/');
}

RootResolver::RootResolver(const std::string& dir, Resolution how)
    : m_kernelResolves(how != kHere) {
    char buf[PATH_MAX];
    m_root = ::realpath(dir.c_str(), buf) ? std::string(buf) : dir;
    while (m_root.size() > 1 && m_root.back() == '/')
        m_root.pop_back();
    if (m_root == "/")
        m_root.clear();  // a tree at "/" is the machine itself
    m_rootFd = ::open(m_root.empty() ? "/" : m_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    m_rootErr = m_rootFd < 0 ? errno : 0;
    if (how == kNodevCopy && m_rootFd >= 0 && !m_root.empty())
        m_nodevRootFd = nodevCopyOf(m_rootFd);
}

RootResolver::~RootResolver() {
    if (m_rootFd >= 0)
        ::close(m_rootFd);
    if (m_nodevRootFd >= 0)
        ::close(m_nodevRootFd);
}

int RootResolver::openPath(const std::string& path, int extra, int* fd) {
    return openIn(path, O_PATH | (extra & (O_NOFOLLOW | O_DIRECTORY)), 0, fd);
}

int RootResolver::openDir(const std::string& path, int* fd) {
    // O_DIRECTORY fails before anything but a directory is opened.
    return openIn(path, O_RDONLY | O_DIRECTORY, 0, fd);
}

int RootResolver::openFile(const std::string& path, int flags, mode_t mode, int* fd) {
    if (int copied = openOnNodevCopy(path, flags, fd); copied != EAGAIN)
        return copied;
    UniqueFd where;
    int rc = openIn(path, O_PATH | (flags & O_NOFOLLOW), 0, &where.fd);
    if (rc == ENOENT && (flags & O_CREAT))
        return create(path, flags, mode, fd);
    if (rc != 0)
        return rc;
    if ((flags & O_CREAT) && (flags & O_EXCL))
        return fail(EEXIST);
    struct stat st;
    if (::fstat(where.fd, &st) != 0)
        return errno;
    if (isDeviceNode(st))
        return fail(deviceNodeError(flags));
    if (S_ISLNK(st.st_mode))
        return fail(ELOOP);  // O_NOFOLLOW met a link
    // The file just checked is opened through its descriptor, so that
    // nothing put at the path meanwhile is opened instead.
    const int f = ::open(procPath(where.fd).c_str(), (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)) | O_CLOEXEC);
    if (f >= 0) {
        *fd = f;
        return 0;
    }
    if (errno != ENOENT)
        return errno;
    return openChecked(path, flags & ~O_CREAT, mode, fd);  // no /proc
}

// A read-only open on the nodev copy of the root's mount: 0, or what the
// checked way answers alike (no such file, not a directory); EAGAIN when
// the checked way must decide.
int RootResolver::openOnNodevCopy(const std::string& path, int flags, int* fd) const {
    if (m_nodevRootFd < 0 || (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_PATH)) ||
        !m_kernelResolves.load(std::memory_order_relaxed))
        return EAGAIN;
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    const long r = ::syscall(SYS_openat2, m_nodevRootFd, path.c_str(), &how, sizeof how);
    if (r >= 0) {
        *fd = static_cast<int>(r);
        return 0;
    }
    return errno == ENOENT || errno == ENOTDIR ? errno : EAGAIN;
}

// A missing file: created, so nothing else can be opened.
int RootResolver::create(const std::string& path, int flags, mode_t mode, int* fd) {
    const int rc = openIn(path, flags | O_EXCL, mode, fd);
    if (rc != EEXIST || (flags & O_EXCL))
        return rc;
    // Something came meanwhile, or path is a link to a missing file, which
    // O_EXCL does not follow: opened as it is, then checked.
    return openChecked(path, flags, mode, fd);
}

// Opens path and checks after the open that it is no device node.
int RootResolver::openChecked(const std::string& path, int flags, mode_t mode, int* fd) {
    UniqueFd f;
    if (int rc = openIn(path, flags, mode, &f.fd))
        return rc;
    struct stat st;
    if (::fstat(f.fd, &st) != 0)
        return errno;
    if (isDeviceNode(st))
        return fail(deviceNodeError(flags));
    *fd = f.release();
    return 0;
}

int RootResolver::access(const std::string& path, int mode) {
    UniqueFd f;
    int rc = openPath(path, 0, &f.fd);
    if (rc != 0 || mode == F_OK)
        return rc;
    rc = sysResult(::access(procPath(f.fd).c_str(), mode));
    Resolved r;  // without /proc: the path resolved here
    if (rc == ENOENT && (rc = resolve(path, true, &r)) == 0)
        rc = sysResult(::faccessat(m_rootFd, r.rel.c_str(), mode, 0));
    return rc;
}

int RootResolver::chmod(const std::string& path, mode_t mode) {
    UniqueFd f;
    if (int rc = openPath(path, 0, &f.fd))
        return rc;
    int rc = sysResult(::chmod(procPath(f.fd).c_str(), mode));
    Resolved r;  // without /proc: the path resolved here
    if (rc == ENOENT && (rc = resolve(path, true, &r)) == 0)
        rc = sysResult(::fchmodat(m_rootFd, r.rel.c_str(), mode, 0));
    return rc;
}

int RootResolver::statResolved(const Resolved& r, struct stat* st) const {
    return sysResult(::fstatat(m_rootFd, r.rel.c_str(), st, AT_SYMLINK_NOFOLLOW));
}

// Opens path inside the root with open(2) flags (O_CLOEXEC added).
int RootResolver::openIn(const std::string& path, int flags, mode_t mode, int* fd) {
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
bool RootResolver::kernelResolves() const {
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

int RootResolver::openParent(const std::string& path, int* dirFd, std::string* name) {
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
    return openPath(cut == std::string::npos || cut == 0 ? "/" : p.substr(0, cut), O_DIRECTORY, dirFd);
}

int RootResolver::resolve(const std::string& path, bool followLast, Resolved* out) const {
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
            if (int rc = readLinkAt(m_rootFd, rel.c_str(), &target))
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

}  // namespace zohost
