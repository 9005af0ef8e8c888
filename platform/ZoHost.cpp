// Selection of the process's host and the helpers every host shares.
#include "ZoHost.h"

#include "ZoHostInternal.h"
#include "ZoStrings.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

std::mutex g_hostMutex;
std::shared_ptr<ZoHost> g_host;  // guarded by g_hostMutex; null until first use

// Caller holds g_hostMutex.
std::shared_ptr<ZoHost>& installedLocked() {
    if (!g_host)
        g_host = ZoHost::makeLive();
    return g_host;
}

}  // namespace

int zohost::readLinkAt(int dirfd, const char* name, std::string* target) {
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(dirfd, name, &buf[0], buf.size());
        if (n < 0)
            return errno;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            target->swap(buf);
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

std::shared_ptr<ZoHost> ZoHost::current() {
    std::lock_guard<std::mutex> guard(g_hostMutex);
    return installedLocked();
}

void ZoHost::setRoot(const std::string& dir) {
    install(dir.empty() ? makeLive() : makeRooted(dir));
}

std::shared_ptr<ZoHost> ZoHost::install(std::shared_ptr<ZoHost> host) {
    if (!host)
        host = makeLive();
    std::lock_guard<std::mutex> guard(g_hostMutex);
    std::shared_ptr<ZoHost> previous = installedLocked();
    g_host = std::move(host);
    return previous;
}

int ZoHost::writeFileAtomic(const std::string& path, const std::string& contents, mode_t mode) {
    static std::atomic<unsigned> counter{0};
    const std::string temp = path + ".tmp." + std::to_string(::getpid()) + "." +
                             std::to_string(counter.fetch_add(1));
    std::unique_ptr<ZoWritableFile> file;
    int rc = openForWrite(temp, mode, &file);
    if (rc != 0)
        return rc;
    rc = file->append(contents);
    if (rc == 0)
        rc = file->sync();
    int closeRc = file->close();
    if (rc == 0)
        rc = closeRc;
    if (rc == 0)
        rc = rename(temp, path);
    if (rc != 0) {
        unlink(temp);  // best effort; the original file is untouched
        return zohost::fail(rc);
    }
    return syncDir(zo_str::dirName(path));
}

int ZoHost::listLinks(const std::string& dir,
                      std::vector<std::pair<std::string, std::string>>* links) {
    std::vector<std::string> names;
    if (int rc = listDir(dir, &names))
        return rc;
    links->clear();
    std::string target;
    for (const std::string& name : names)
        if (readlink(dir + "/" + name, &target) == 0)
            links->emplace_back(name, target);
    return 0;
}

int ZoHost::askMultipathd(const std::string&, std::string*, unsigned) {
    return zohost::fail(ENOSYS);
}

int ZoHost::readAttr(const std::string& path, std::string* value) {
    int rc = readFile(path, value, kAttributeBytes);
    if (rc == 0 && !value->empty() && value->back() == '\n')
        value->pop_back();
    return rc;
}

bool ZoHost::exists(const std::string& path) {
    struct stat st;
    int saved = errno;
    bool found = stat(path, &st) == 0;
    errno = saved;
    return found;
}
