// SPDX-License-Identifier: LGPL-2.1-or-later
#include "read_recorder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <set>

namespace zotest {

namespace {

// What a stat tells the library: the type and, of a device, its number.
std::string statText(const struct stat& st) {
    std::string type = S_ISDIR(st.st_mode) ? "dir" : S_ISLNK(st.st_mode) ? "link" : S_ISBLK(st.st_mode) ? "block"
                       : S_ISCHR(st.st_mode) ? "char" : "file";
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))
        type += " " + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    return type;
}

}  // namespace

ReadRecorder::Read ReadRecorder::ask(ZoHost& host, const Read& how, bool source) {
    Read r = how;
    r.answer.clear();
    struct stat st;
    if (r.op == "stat" || r.op == "lstat") {
        r.rc = r.op == "stat" ? host.stat(r.subject, &st) : host.lstat(r.subject, &st);
        if (r.rc == 0) r.answer = statText(st);
    } else if (r.op == "readlink") {
        r.rc = host.readlink(r.subject, &r.answer);
    } else if (r.op == "access") {
        r.rc = host.access(r.subject, r.arg);
    } else if (r.op == "readFile") {
        r.rc = host.readFile(r.subject, &r.answer, static_cast<size_t>(r.arg) << 10);
    } else if (r.op == "listDir" || r.op == "listLinks") {
        // The directories and links of a listing: an attribute file that
        // is listed but never read needs no copy.
        std::vector<std::string> names;
        r.rc = host.listDir(r.subject, &names);
        std::set<std::string> kept;
        for (const std::string& n : names)
            if (!source || (target().lstat(r.subject + "/" + n, &st) == 0 && !S_ISREG(st.st_mode)))
                kept.insert(n);
        for (const std::string& n : kept) r.answer += n + " ";
    } else if (r.op == "deviceMapperState") {
        ZoDmState state;
        r.rc = host.deviceMapperState(static_cast<unsigned>(std::stoul(r.subject)), static_cast<unsigned>(r.arg), &state);
        for (const auto& t : state.table) r.answer += "table " + t.type + " " + t.params + "\n";
        for (const auto& t : state.status) r.answer += "status " + t.type + " " + t.params + "\n";
    } else if (r.op == "askMultipathd") {
        r.rc = host.askMultipathd(r.subject, &r.answer, 2000);
    }
    return r;
}

int ReadRecorder::keep(Read r) {
    std::lock_guard<std::mutex> g(m_mutex);
    const int rc = r.rc;
    m_reads.push_back(std::move(r));
    return rc;
}

#define ZOTEST_RECORD(op, subject, arg) keep(ask(target(), Read{op, subject, arg, 0, ""}, true))

int ReadRecorder::stat(const std::string& p, struct stat* st) {
    ZOTEST_RECORD("stat", p, 0);
    return ZoForwardingHost::stat(p, st);
}
int ReadRecorder::lstat(const std::string& p, struct stat* st) {
    ZOTEST_RECORD("lstat", p, 0);
    return ZoForwardingHost::lstat(p, st);
}
int ReadRecorder::readlink(const std::string& p, std::string* t) {
    ZOTEST_RECORD("readlink", p, 0);
    return ZoForwardingHost::readlink(p, t);
}
int ReadRecorder::access(const std::string& p, int mode) {
    ZOTEST_RECORD("access", p, mode);
    return ZoForwardingHost::access(p, mode);
}
int ReadRecorder::listDir(const std::string& p, std::vector<std::string>* names) {
    ZOTEST_RECORD("listDir", p, 0);
    return ZoForwardingHost::listDir(p, names);
}
int ReadRecorder::listLinks(const std::string& p, std::vector<std::pair<std::string, std::string>>* links) {
    // The links themselves are read as readlink would read them.
    const int rc = ZoForwardingHost::listLinks(p, links);
    ZOTEST_RECORD("listDir", p, 0);
    for (const auto& l : *links) ZOTEST_RECORD("readlink", p + "/" + l.first, 0);
    return rc;
}
int ReadRecorder::readFile(const std::string& p, std::string* c, size_t max) {
    ZOTEST_RECORD("readFile", p, static_cast<int>(std::min<size_t>(max >> 10, 1u << 20)));
    return ZoForwardingHost::readFile(p, c, max);
}
int ReadRecorder::deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) {
    ZOTEST_RECORD("deviceMapperState", std::to_string(major), static_cast<int>(minor));
    return ZoForwardingHost::deviceMapperState(major, minor, state);
}
int ReadRecorder::askMultipathd(const std::string& request, std::string* reply, unsigned timeoutMs) {
    ZOTEST_RECORD("askMultipathd", request, 0);
    return ZoForwardingHost::askMultipathd(request, reply, timeoutMs);
}
#undef ZOTEST_RECORD

size_t ReadRecorder::reads() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_reads.size();
}

std::vector<std::string> ReadRecorder::differences(ZoHost& other) {
    std::vector<Read> reads;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        reads = m_reads;
    }
    std::set<std::string> asked;
    std::vector<std::string> out;
    for (const Read& r : reads) {
        if (!asked.insert(r.op + " " + r.subject + " " + std::to_string(r.arg)).second) continue;
        const Read o = ask(other, r, false);
        std::string want = r.answer, got = o.answer;
        if (r.op == "listDir") {   // every directory and link listed is there
            bool all = true;
            for (size_t pos = 0; pos < want.size();) {
                const size_t end = want.find(' ', pos);
                all = all && (" " + got).find(" " + want.substr(pos, end - pos) + " ") != std::string::npos;
                pos = end + 1;
            }
            if (all) got = want;
        }
        if (r.rc != o.rc || want != got)
            out.push_back(r.op + " " + r.subject + ": " + std::to_string(r.rc) + " " + want.substr(0, 80) +
                          " -> " + std::to_string(o.rc) + " " + got.substr(0, 80));
    }
    return out;
}

}  // namespace zotest
