// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoMultipathConfFiles.h"

#include "ZoHost.h"

#include <regex.h>

#include <algorithm>
#include <cerrno>

namespace zo_mpconf {

const char* const kMainConf = "/etc/multipath.conf";
const char* const kDefaultConfDir = "/etc/multipath/conf.d";

namespace {

// The directory text without trailing slashes ("/" stays).
std::string trimmedDir(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

// Returns true iff the pattern matches the value the way multipath-tools
// matches a blacklist entry: an unanchored extended regular expression, a
// leading '!' inverting it. A pattern that does not compile (or that the
// editor does not compile) matches nothing.
bool matches(const std::string& pattern, const std::string& value) {
    const bool invert = pattern.compare(0, 1, "!") == 0;
    regex_t re;
    if (compilePattern(pattern, &re) != PatternFit::COMPILES) return false;
    const bool found = regexec(&re, value.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return found != invert;
}

bool matches(const ConfPattern& p, const DiskFacts& disk) {
    if (p.key == "devnode") return matches(p.value, disk.devnode);
    if (p.key == "wwid") return matches(p.value, disk.wwid);
    return p.key == "device" && (p.value.empty() || matches(p.value, disk.vendor)) &&
           (p.product.empty() || matches(p.product, disk.product));
}

std::string written(const ConfPattern& p) {
    if (p.key != "device") return p.key + " \"" + p.value + "\"";
    return "device { vendor \"" + p.value + "\" product \"" + p.product + "\" }";
}

// A name ending in ".conf", the name ".conf" itself included (multipath reads it).
bool isConfName(const std::string& name) {
    return name.size() >= 5 && name.compare(name.size() - 5, 5, ".conf") == 0;
}

}  // namespace

std::vector<std::string> confDirs(const ConfReading& main) {
    std::vector<std::string> dirs;
    if (main.setsConfigDir && !main.configDir.empty() && main.configDir[0] == '/') {
        const std::string dir = trimmedDir(main.configDir);
        if (dir != kDefaultConfDir) dirs.push_back(dir);
    }
    dirs.push_back(kDefaultConfDir);
    return dirs;
}

int readConfDirs(const ConfReading& main, std::vector<ConfFile>* files, std::string* failed) {
    ZoHost& host = *ZoHost::current();
    for (const std::string& dir : confDirs(main)) {
        std::vector<std::string> names;
        int rc = host.listDir(dir, &names);
        if (rc == ENOENT || rc == ENOTDIR) continue;
        if (rc != 0) {
            *failed = dir;
            return rc;
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string path = dir + "/" + name;
            struct stat st;
            if (!isConfName(name) || host.stat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
            ConfFile f{path, "", {}};
            if ((rc = host.readFile(path, &f.text)) != 0) {
                *failed = path;
                return rc;
            }
            f.reading = readConf(f.text);
            files->push_back(std::move(f));
        }
    }
    return 0;
}

int readAllConf(std::vector<ConfFile>* files, bool* mainMissing, std::string* failed) {
    ConfFile main{kMainConf, "", {}};
    int rc = ZoHost::current()->readFile(kMainConf, &main.text);
    *mainMissing = rc == ENOENT;
    if (rc != 0 && rc != ENOENT) {
        *failed = kMainConf;
        return rc;
    }
    main.reading = readConf(main.text);
    const ConfReading reading = main.reading;
    files->push_back(std::move(main));
    return readConfDirs(reading, files, failed);
}

BlacklistVerdict blacklistVerdict(const std::vector<ConfFile>& files, const DiskFacts& disk) {
    // multipath-tools' own blacklist: every device node but sd, dasd and nvme.
    const ConfPattern builtin{false, "devnode", "!^(sd[a-z]|dasd[a-z]|nvme[0-9])", "", 0};
    for (const char* criterion : {"devnode", "device", "wwid"}) {
        bool excepted = false;
        const ConfPattern* blacklisted = nullptr;
        const ConfFile* in = nullptr;
        for (const ConfFile& f : files) {
            for (const ConfPattern& p : f.reading.patterns) {
                if (p.key != criterion || !matches(p, disk)) continue;
                excepted = excepted || p.exception;
                if (!p.exception && !blacklisted) blacklisted = &p, in = &f;
            }
        }
        if (!blacklisted && builtin.key == criterion && matches(builtin, disk)) blacklisted = &builtin;
        if (excepted || !blacklisted) continue;
        return {true, criterion, written(*blacklisted),
                in ? "line " + std::to_string(blacklisted->line) + " of " + in->path : "the built-in blacklist"};
    }
    return {};
}

std::vector<ConfEntryAt> allEntries(const std::vector<ConfFile>& files) {
    std::vector<ConfEntryAt> all;
    for (const ConfFile& f : files) {
        for (const ConfEntry& e : f.reading.entries) all.push_back({e, &f});
    }
    return all;
}

}  // namespace zo_mpconf
