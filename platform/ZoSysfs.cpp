// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoSysfs.h"

#include "ZoOpCache.h"
#include "ZoStrings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace zo_sysfs {

using zo_str::dirName;

std::string normalizePath(const std::string& path) {
    // Built in place: each component is appended after a '/', ".." drops the
    // last one (never above the root), "." and empty components are skipped.
    std::string out;
    out.reserve(path.size() + 1);
    for (size_t pos = 0; pos <= path.size();) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        const size_t length = slash - pos;
        if (length == 2 && path[pos] == '.' && path[pos + 1] == '.') {
            out.erase(std::min(out.rfind('/'), out.size()));
        } else if (length > 1 || (length == 1 && path[pos] != '.')) {
            out += '/';
            out.append(path, pos, length);
        }
        pos = slash + 1;
    }
    return out.empty() ? "/" : out;
}

std::string linkTarget(ZoHost& host, const std::string& link) {
    std::string target;
    if (zo_cache::readlink(host, link, &target) != 0) return "";
    return linkTarget(link, target);
}

std::string linkTarget(const std::string& link, const std::string& target) {
    if (target.empty()) return "";
    if (target[0] == '/') return normalizePath(target);
    return normalizePath(dirName(link) + "/" + target);
}

bool Hctl::operator<(const Hctl& o) const {
    if (host != o.host) return host < o.host;
    if (channel != o.channel) return channel < o.channel;
    if (target != o.target) return target < o.target;
    return lun < o.lun;
}

bool parseHctl(const std::string& text, Hctl* out) {
    unsigned long long v[4];
    const char* p = text.c_str();
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return false;
        char* end = nullptr;
        errno = 0;
        v[i] = std::strtoull(p, &end, 10);
        if (errno != 0) return false;
        p = end;
        if (i < 3) {
            if (*p != ':') return false;
            ++p;
        }
    }
    if (*p != '\0') return false;
    *out = Hctl{v[0], v[1], v[2], v[3]};
    return true;
}

bool parseDevno(const std::string& text, unsigned* major, unsigned* minor) {
    char extra = 0;
    int n = std::sscanf(text.c_str(), "%u:%u%c", major, minor, &extra);
    return n == 2 || (n == 3 && extra == '\n');
}

int leadingInt(const std::string& text) {
    size_t pos = text.find_first_not_of(" \t\n\v\f\r");
    if (pos == std::string::npos) return 0;
    const bool negative = text[pos] == '-';
    if (text[pos] == '-' || text[pos] == '+') ++pos;
    long long value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos)
        value = std::min<long long>(value * 10 + (text[pos] - '0'), 1LL + INT_MAX);
    if (negative) return static_cast<int>(std::max<long long>(-value, INT_MIN));
    return static_cast<int>(std::min<long long>(value, INT_MAX));
}

}  // namespace zo_sysfs
