// SPDX-License-Identifier: LGPL-2.1-or-later
#include "host_tree_check.h"

#include "ZoHost.h"

#include <sys/stat.h>

#include <cstring>
#include <sstream>

namespace zodisk {

namespace {

const char kNeeds[] =
    "a host tree stands for a machine's / and holds at least proc/partitions, sys/block "
    "(or the sys/dev/block links), sys/class/block and dev/ (see zodisk(8), HOST TREES; "
    "'zodisk snapshot DIR' captures one)";

bool isDir(const std::string& path) {
    struct stat st;
    return ZoHost::current()->stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The warning for a capture whose writer left the marker of an incomplete
// one; "" when the tree has none.
std::string incompleteCapture(const std::string& tree) {
    const std::string marker = ZoRootedHost::incompleteMarkerPath();
    struct stat st;
    if (ZoHost::current()->lstat(marker, &st) != 0)
        return "";
    std::string text, why = "its writer did not finish: it was interrupted";
    ZoHost::current()->readFile(marker, &text);
    std::istringstream lines(text);
    std::string line;
    if (std::getline(lines, line) && std::getline(lines, line) && !line.empty())
        why = "it was left incomplete: " + line;
    return tree + " is an incomplete capture (" + why + "; see " + marker.substr(1) +
           "): devices, attributes and command answers of the machine may be missing from what is "
           "shown; capture the machine again";
}

bool isNumber(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::vector<std::string> malformedPartitionLines(const std::string& text) {
    std::vector<std::string> bad;
    std::istringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        const bool header = n == 1 && f.size() == 4 && f[0] == "major" && f[1] == "minor";
        const bool entry = f.size() == 4 && isNumber(f[0]) && isNumber(f[1]) && isNumber(f[2]);
        if (!f.empty() && !header && !entry)
            bad.push_back("line " + std::to_string(n) + ": '" + line + "'");
    }
    return bad;
}

HostTreeFaults checkHostTree(const std::string& dir) {
    HostTreeFaults r;
    const std::string tree = "--sysroot " + dir;
    const std::string incomplete = incompleteCapture(tree);
    if (!incomplete.empty())
        r.warnings.push_back(incomplete);
    if (!isDir("/sys/block") && !isDir("/sys/dev/block")) {
        r.fatal = tree + " is not a host tree: it has neither sys/block nor sys/dev/block; " + kNeeds;
        return r;
    }
    if (!isDir("/sys/class/block"))
        r.warnings.push_back(tree + " has no sys/class/block: device nodes under dev/, kinds, "
                             "Fibre Channel and NVMe facts cannot be read; " + kNeeds);
    std::string partitions;
    int rc = ZoHost::current()->readFile("/proc/partitions", &partitions);
    if (rc != 0) {
        r.warnings.push_back(tree + " has no readable proc/partitions (" + std::strerror(rc) +
                             "): kernel names cannot be looked up");
        return r;
    }
    const std::vector<std::string> bad = malformedPartitionLines(partitions);
    if (!bad.empty())
        r.warnings.push_back(tree + ": proc/partitions has " + std::to_string(bad.size()) +
                             " line(s) that are not 'major minor #blocks name', first " + bad[0]);
    return r;
}

}  // namespace zodisk
