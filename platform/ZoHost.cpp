// SPDX-License-Identifier: LGPL-2.1-or-later
// Selection of the process's host and the helpers every host shares.
#include "ZoHost.h"

#include "ZoHostInternal.h"
#include "ZoStrings.h"

#include <fcntl.h>
#include <sys/xattr.h>
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

namespace zohost {

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

}  // namespace zohost

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

int ZoHost::listXattrs(const std::string&, std::vector<std::pair<std::string, std::string>>*) {
    return zohost::fail(ENOTSUP);
}

int ZoHost::setXattr(const std::string&, const std::string&, const std::string&) {
    return zohost::fail(ENOTSUP);
}

namespace zohost {

namespace {

// The bytes a list or get call of the xattr family gives, asked again with
// a bigger buffer while the attribute grows between the two calls.
template <class F>
int xattrBytes(F call, std::string* out) {
    for (int tries = 0; tries < 8; ++tries) {
        const ssize_t size = call(nullptr, 0);
        if (size < 0)
            return errno;
        out->assign(static_cast<size_t>(size), '\0');
        const ssize_t got = call(out->empty() ? nullptr : &(*out)[0], out->size());
        if (got >= 0) {
            out->resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE)
            return errno;
    }
    return ERANGE;
}

}  // namespace

int listXattrsAt(const std::string& path, std::vector<std::pair<std::string, std::string>>* attrs) {
    std::string names;
    int rc = xattrBytes([&](char* buf, size_t n) { return ::listxattr(path.c_str(), buf, n); }, &names);
    if (rc != 0)
        return fail(rc);
    attrs->clear();
    for (size_t at = 0; at < names.size();) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        std::string value;
        rc = xattrBytes([&](char* buf, size_t n) { return ::getxattr(path.c_str(), name.c_str(), buf, n); },
                        &value);
        if (rc == ENODATA)
            continue;  // removed since the list was taken
        if (rc != 0)
            return fail(rc);
        attrs->emplace_back(name, std::move(value));
    }
    return 0;
}

int setXattrAt(const std::string& path, const std::string& name, const std::string& value) {
    return sysResult(::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0));
}

}  // namespace zohost

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
