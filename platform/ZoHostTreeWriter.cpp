// SPDX-License-Identifier: LGPL-2.1-or-later
// The writer of host trees: a capture's directory, reached only through
// descriptors.
#include "ZoHostTreeWriter.h"

#include "ZoHost.h"
#include "ZoHostInternal.h"
#include "ZoStrings.h"
#include "ZoSysfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

using zo_str::baseName;
using zo_str::dirName;

// The first line of the marker of an incomplete capture.
const char kUnfinished[] = "This capture was not finished: files may be missing.\n";
const char kProblems[] = "This capture finished with problems: files are missing.\n";

// mkdir -p of the directory itself, through the links its own path may
// hold.
bool makeParents(const std::string& dir, std::string* why) {
    if (dir.empty() || ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    if (errno == ENOENT && makeParents(dirName(dir), why) && (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST))
        return true;
    if (why->empty())
        *why = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
}

// Opens name in the directory open on dir with flags (never following a
// link), writes text and closes it.
int writeAt(int dir, const std::string& name, int flags, const std::string& text) {
    const int fd = ::openat(dir, name.c_str(), flags | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    std::unique_ptr<ZoWritableFile> file = zohost::writableFile(fd);
    const int rc = file->append(text);
    const int closed = file->close();
    return rc != 0 ? rc : closed;
}

}  // namespace

namespace zohost {

// The capture's directory and the descriptor of the directory last written
// into.
class TreeDirs {
public:
    explicit TreeDirs(int top) : m_top(top) {}

    // The descriptor of the capture's directory (O_RDONLY).
    int top() const { return m_top.fd; }

    // A descriptor of the directory at machine path dir inside the capture
    // of dirs, created as needed, owned by dirs (valid until the next call);
    // EBADF when no capture was opened.
    static int dirFd(TreeDirs* dirs, const std::string& dir, int* out) {
        return dirs ? dirs->openDir(dir, out) : EBADF;
    }

private:
    int openDir(const std::string& dir, int* out) {
        if (dir == m_cachedPath && m_cached.fd >= 0)
            return *out = m_cached.fd, 0;
        if (m_cached.fd >= 0)
            closeQuietly(m_cached.release());
        m_cachedPath.clear();
        UniqueFd cur(::fcntl(m_top.fd, F_DUPFD_CLOEXEC, 0));
        if (cur.fd < 0)
            return errno;
        for (const std::string& part : splitPath(dir)) {
            if (part == "..")
                return EINVAL;
            if (::mkdirat(cur.fd, part.c_str(), 0755) != 0 && errno != EEXIST)
                return errno;
            UniqueFd next(::openat(cur.fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.fd < 0)
                return errno;
            std::swap(cur.fd, next.fd);  // the parent's descriptor goes with next
        }
        m_cached.fd = cur.release();
        m_cachedPath = dir;
        *out = m_cached.fd;
        return 0;
    }

    UniqueFd m_top;
    UniqueFd m_cached;
    std::string m_cachedPath;
};

}  // namespace zohost

ZoHostTreeWriter::ZoHostTreeWriter() = default;
ZoHostTreeWriter::~ZoHostTreeWriter() = default;

std::string ZoHostTreeWriter::linkedPath(const std::string& link, const std::string& target) {
    return zo_sysfs::linkTarget(link, target);
}

bool ZoHostTreeWriter::open(const std::string& dir, std::string* why) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) {
        if (!makeParents(dir, why))
            return false;
    } else if (!S_ISDIR(st.st_mode)) {
        return *why = dir + " is not a directory", false;
    }
    const int top = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0)
        return *why = "cannot open " + dir + ": " + std::strerror(errno), false;
    m_dirs.reset(new zohost::TreeDirs(top));
    std::vector<std::string> names;
    const int probe = ::fcntl(top, F_DUPFD_CLOEXEC, 0);
    if (probe < 0 || zohost::listDirFd(probe, &names) != 0 || !names.empty())
        return *why = dir + " is not empty", false;
    if (::faccessat(top, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return *why = "cannot write into " + dir + ": " + std::strerror(errno), false;
    if (int rc = writeFile(ZoRootedHost::incompleteMarkerPath(), kUnfinished))
        return *why = "cannot mark " + dir + " incomplete: " + std::strerror(rc), false;
    return true;
}

int ZoHostTreeWriter::finish(const std::vector<std::string>& problems) {
    const std::string marker = ZoRootedHost::incompleteMarkerPath();
    int dir = -1;
    if (int rc = zohost::TreeDirs::dirFd(m_dirs.get(), dirName(marker), &dir))
        return rc;
    // Everything written is on the disk before the marker goes.
    if (problems.empty() && ::syncfs(m_dirs->top()) != 0)
        return errno;
    if (::unlinkat(dir, baseName(marker).c_str(), 0) != 0)
        return errno;
    if (problems.empty())
        return 0;
    std::string text = kProblems;
    for (const std::string& p : problems)
        text += p + "\n";
    return writeAt(dir, baseName(marker), O_CREAT | O_EXCL, text);
}

int ZoHostTreeWriter::mkdirs(const std::string& path) {
    int fd = -1;
    return zohost::TreeDirs::dirFd(m_dirs.get(), path, &fd);
}

int ZoHostTreeWriter::writeFile(const std::string& path, const std::string& contents) {
    int dir = -1;
    if (int rc = zohost::TreeDirs::dirFd(m_dirs.get(), dirName(path), &dir))
        return rc;
    return writeAt(dir, baseName(path), O_CREAT | O_EXCL, contents);
}

int ZoHostTreeWriter::writeLink(const std::string& path, const std::string& target) {
    int dir = -1;
    if (int rc = zohost::TreeDirs::dirFd(m_dirs.get(), dirName(path), &dir))
        return rc;
    return ::symlinkat(target.c_str(), dir, baseName(path).c_str()) == 0 ? 0 : errno;
}
