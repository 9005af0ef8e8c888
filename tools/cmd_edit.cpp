// SPDX-License-Identifier: LGPL-2.1-or-later
// multipath add / multipath remove: the /etc/multipath.conf editor, and its
// dry run.
#include "columns.h"
#include "edit_messages.h"
#include "in_use.h"
#include "output.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"
#include "ZoForwardingHost.h"
#include "ZoHost.h"
#include "ZoMultipathConfFiles.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <memory>

#include <unistd.h>

namespace zodisk {

namespace {

const char kConf[] = "/etc/multipath.conf";
const char kLock[] = "/etc/multipath.conf.zo_lock";
const char kStore[] = "/etc/quorvel/config.ini";
const char kAlreadyThere[] = "Blacklist exception already exists for ";
const char kSwitchedOff[] = "Registry key nConfigureBlacklistException not set.";
const char kSwitch[] = "nConfigureBlacklistException = 1 in section [Ferrovane] of /etc/quorvel/config.ini";

// A host on which an edit changes nothing: files written stay in memory and
// are what later reads of them see, renaming one of them records its
// contents as the edit's result, no lock file is made, nothing else is
// written, and once a file would have been replaced no command runs (the
// multipath maps are not reloaded). It can also stand in for a host whose
// /etc/multipath.conf exists (empty) and whose configuration store switches
// editing on, to show what an edit would do there.
class DryRunHost final : public ZoForwardingHost {
public:
    DryRunHost(std::shared_ptr<ZoHost> host, bool switchOn, bool createConf)
        : ZoForwardingHost(std::move(host)), m_switchOn(switchOn) {
        if (createConf) m_files[kConf] = "";
    }

    // The files the edit replaced, with the contents it gave them.
    const std::map<std::string, std::string>& replaced() const { return m_replaced; }

    int readFile(const std::string& path, std::string* contents, size_t maxBytes) override {
        auto it = m_files.find(path);
        if (it != m_files.end()) {
            *contents = it->second;
            return 0;
        }
        int rc = ZoForwardingHost::readFile(path, contents, maxBytes);
        if (path != kStore || m_switchOn) return rc;
        // The last value of a key counts.
        if (rc != 0) contents->clear();
        *contents += "\n[Ferrovane]\nnConfigureBlacklistException = 1\n";
        return 0;
    }
    int stat(const std::string& path, struct stat* st) override {
        return m_files.count(path) ? memoryStat(path, st) : ZoForwardingHost::stat(path, st);
    }
    int lstat(const std::string& path, struct stat* st) override {
        return m_files.count(path) ? memoryStat(path, st) : ZoForwardingHost::lstat(path, st);
    }
    int openForWrite(const std::string& path, mode_t, std::unique_ptr<ZoWritableFile>* file) override {
        file->reset(new MemoryFile(&m_files[path]));
        return 0;
    }
    int rename(const std::string& from, const std::string& to) override {
        auto it = m_files.find(from);
        if (it == m_files.end() || to.empty()) return fail(EROFS);
        m_replaced[to] = m_files[to] = it->second;
        m_files.erase(from);
        return 0;
    }
    int chmod(const std::string& path, mode_t) override { return written(path); }
    int chown(const std::string& path, uid_t, gid_t) override { return written(path); }
    int unlink(const std::string& path) override {
        return m_files.erase(path) ? 0 : fail(ENOENT);
    }
    int listXattrs(const std::string& path, std::vector<std::pair<std::string, std::string>>* attrs) override {
        if (!m_files.count(path)) return ZoForwardingHost::listXattrs(path, attrs);
        attrs->clear();
        return 0;
    }
    int setXattr(const std::string& path, const std::string&, const std::string&) override {
        return written(path);
    }
    int mkdir(const std::string&, mode_t) override { return fail(EROFS); }
    int symlink(const std::string&, const std::string&) override { return fail(EROFS); }
    int syncDir(const std::string&) override { return 0; }
    int rereadPartitions(const std::string&) override {
        fail(EROFS);
        return -1;
    }
    int lockFile(const std::string&, std::unique_ptr<ZoHostLock>* lock) override {
        lock->reset(new NoLock);
        return 0;
    }
    ZoCommandResult run(const std::string& command) override {
        return !m_replaced.empty() ? ZoCommandResult() : ZoForwardingHost::run(command);
    }

private:
    class MemoryFile final : public ZoWritableFile {
    public:
        explicit MemoryFile(std::string* contents) : m_contents(contents) { m_contents->clear(); }
        int append(const char* data, size_t len) override {
            m_contents->append(data, len);
            return 0;
        }
        int sync() override { return 0; }
        int close() override { return 0; }

    private:
        std::string* m_contents;
    };
    struct NoLock final : ZoHostLock {
        void release() override {}
    };

    static int fail(int err) {
        errno = err;
        return err;
    }
    int written(const std::string& path) const { return m_files.count(path) ? 0 : fail(EROFS); }
    // A file in memory: regular, 0644, root's, one link.
    int memoryStat(const std::string& path, struct stat* st) const {
        *st = {};
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(m_files.at(path).size());
        return 0;
    }

    bool m_switchOn;
    std::map<std::string, std::string> m_files;
    std::map<std::string, std::string> m_replaced;
};

// Installs a DryRunHost over the current host for its lifetime.
class DryRun {
public:
    DryRun(bool switchOn, bool createConf)
        : m_host(std::make_shared<DryRunHost>(ZoHost::current(), switchOn, createConf)),
          m_previous(ZoHost::install(m_host)) {}
    ~DryRun() { ZoHost::install(m_previous); }
    DryRun(const DryRun&) = delete;
    DryRun& operator=(const DryRun&) = delete;
    const DryRunHost& host() const { return *m_host; }

private:
    std::shared_ptr<DryRunHost> m_host;
    std::shared_ptr<ZoHost> m_previous;
};

std::string readConf() {
    std::string text;
    if (ZoHost::current()->readFile(kConf, &text) != 0) text.clear();
    return text;
}

// The lines of text, each with its newline (the last one may lack it).
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        out.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

// One step of an edit script: a line both versions keep (' '), one the old
// version loses ('-') or one the new version gains ('+').
struct Step {
    char op;
    const std::string* line;
};

// A shortest edit script from a to b (Myers' difference algorithm).
std::vector<Step> editScript(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    const int n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
    const int offset = n + m + 1;
    std::vector<int> v(2 * offset + 1, 0);  // furthest x on each diagonal k = x - y
    std::vector<std::vector<int>> rounds;   // v before each round d, diagonals -d..d
    int d = 0;
    for (bool done = false; !done; ++d) {
        rounds.emplace_back(v.begin() + offset - d, v.begin() + offset + d + 1);
        for (int k = -d; k <= d && !done; k += 2) {
            int x = (k == -d || (k != d && v[offset + k - 1] < v[offset + k + 1])) ? v[offset + k + 1]
                                                                                   : v[offset + k - 1] + 1;
            int y = x - k;
            while (x < n && y < m && a[x] == b[y]) ++x, ++y;
            v[offset + k] = x;
            done = x >= n && y >= m;
        }
    }
    std::vector<Step> steps;
    int x = n, y = m;
    for (--d; d > 0; --d) {
        const std::vector<int>& before = rounds[d];  // index k + d
        const int k = x - y;
        const bool down = k == -d || (k != d && before[k - 1 + d] < before[k + 1 + d]);
        const int prevK = down ? k + 1 : k - 1, prevX = before[prevK + d], prevY = prevX - prevK;
        for (; x > prevX && y > prevY; --x, --y) steps.push_back({' ', &a[x - 1]});
        if (down) {
            steps.push_back({'+', &b[--y]});
        } else {
            steps.push_back({'-', &a[--x]});
        }
    }
    for (; x > 0 && y > 0; --x, --y) steps.push_back({' ', &a[x - 1]});
    return std::vector<Step>(steps.rbegin(), steps.rend());
}

// "start,count" of a hunk's range as diff -u writes it.
std::string range(size_t before, size_t count) {
    if (count == 1) return std::to_string(before + 1);
    return std::to_string(count ? before + 1 : before) + "," + std::to_string(count);
}

// The differences between two versions of the file at path in the unified
// format of diff -u (three lines of context; a file created is compared
// with /dev/null); "" when they are the same.
std::string unifiedDiff(const std::string& before, const std::string& after, const std::string& path,
                        bool created) {
    const std::vector<std::string> a = lines(before), b = lines(after);
    const std::vector<Step> steps = editScript(a, b);
    std::string out;
    size_t oldLine = 0, newLine = 0;  // lines of each version before steps[i]
    for (size_t i = 0; i < steps.size();) {
        size_t change = i;
        while (change < steps.size() && steps[change].op == ' ') ++change;
        if (change == steps.size()) break;
        const size_t start = change - std::min<size_t>(3, change - i);
        for (; i < start; ++i) ++oldLine, ++newLine;
        // The hunk runs on while the next change is at most six kept lines on.
        size_t end = change;
        for (;;) {
            while (end < steps.size() && steps[end].op != ' ') ++end;
            size_t next = end;
            while (next < steps.size() && steps[next].op == ' ' && next - end <= 6) ++next;
            if (next < steps.size() && steps[next].op != ' ' && next - end <= 6) {
                end = next;
                continue;
            }
            end = std::min(steps.size(), end + 3);
            break;
        }
        std::string body;
        size_t oldCount = 0, newCount = 0;
        for (size_t s = start; s < end; ++s) {
            body += steps[s].op + *steps[s].line;
            if (body.back() != '\n') body += "\n\\ No newline at end of file\n";
            oldCount += steps[s].op != '+';
            newCount += steps[s].op != '-';
        }
        out += "@@ -" + range(oldLine, oldCount) + " +" + range(newLine, newCount) + " @@\n" + body;
        oldLine += oldCount;
        newLine += newCount;
        i = end;
    }
    if (out.empty()) return out;
    return "--- " + (created ? std::string("/dev/null") : path) + "\n+++ " + path + "\n" + out;
}

// How an edit runs: on a dry-run host or for real, with editing switched on
// in the configuration store or not, and whether /etc/multipath.conf is to
// be made first (it is missing and disks are added).
struct Edit {
    bool dryRun = false;
    bool switchOn = true;
    bool createConf = false;
};

// What an edit did to the files and what the library said about it.
struct EditResult {
    struct File {
        std::string path;
        bool created;
        std::string diff;
    };
    std::vector<File> files;
    std::vector<std::string> notices;  // disks that were there already, files made
    std::vector<std::string> errors;
};

// Returns true iff the configuration store switches editing on: the
// removal of no disk fails only when it does not.
bool editingSwitchedOn() {
    std::list<std::string> none;
    CLuError err;
    ZoDeviceTree::delMultipathBlacklistExceptions(none, &err);
    return !err.IsError();
}

// Makes /etc/multipath.conf, empty (mode 0644, root's when zodisk runs as
// root), unless something is there by then, under the editor's lock.
// Returns 0 or the errno of the failure; *made: whether it made it.
int makeConf(bool* made) {
    ZoHost& host = *ZoHost::current();
    std::unique_ptr<ZoHostLock> lock;
    if (int rc = host.lockFile(kLock, &lock)) return rc;
    struct stat st;
    int rc = host.lstat(kConf, &st);
    if (rc != ENOENT) return rc;
    if ((rc = host.writeFileAtomic(kConf, "", 0644)) == 0) rc = host.chmod(kConf, 0644);
    if (rc == 0 && ::geteuid() == 0) rc = host.chown(kConf, 0, 0);
    *made = rc == 0;
    return rc;
}

// The library's notice about a WWID that has an exception, with where it is.
std::string present(const std::string& message, const std::vector<zo_mpconf::ConfFile>& files) {
    const std::string wwid = message.substr(sizeof kAlreadyThere - 1);
    for (const zo_mpconf::ConfEntryAt& e : zo_mpconf::allEntries(files)) {
        if (e.entry.kind == zo_mpconf::ConfEntry::EXCEPTION && e.entry.wwid == wwid)
            return e.file->path + " line " + std::to_string(e.entry.line) + " holds a blacklist exception for " +
                   wwid + ", so nothing is added for it (" + message + ")";
    }
    return message;
}

void collectMessages(const CLuError& err, EditResult* r) {
    std::vector<zo_mpconf::ConfFile> files;
    bool missing = false;
    std::string failed;
    zo_mpconf::readAllConf(&files, &missing, &failed);
    for (const CLuError::Entry& e : err.Entries()) {
        if (e.message.rfind(kAlreadyThere, 0) == 0) {
            r->notices.push_back(present(e.message, files));
        } else if (e.message == kSwitchedOff) {
            r->errors.push_back(std::string("editing is switched off: set ") + kSwitch + " to allow it (" +
                                e.message + ")");
        } else {
            r->errors.push_back(e.message);
        }
    }
    if (err.IsError() && r->errors.empty() && r->notices.empty())
        r->errors.push_back("failed with code " + std::to_string(err.GetCode()));
}

void print(Output& out, bool json, const EditResult& r, Json doc) {
    for (const std::string& n : r.notices)
        Output::error("notice: " + n);
    for (const std::string& e : r.errors)
        Output::error(e);
    std::string diffs;
    Json changes = Json::array(), files = Json::array();
    for (const EditResult::File& f : r.files) {
        diffs += f.diff;
        // The diff's lines past its two header lines that add or remove one.
        Json fileChanges = Json::array();
        const std::vector<std::string> diff = lines(f.diff);
        for (size_t i = 2; i < diff.size(); ++i)
            if (diff[i][0] == '+' || diff[i][0] == '-')
                fileChanges.push_back(diff[i].substr(0, 1) + " " + diff[i].substr(1, diff[i].find('\n') - 1));
        changes.insert(changes.end(), fileChanges.begin(), fileChanges.end());
        files.push_back(Json{{"path", f.path}, {"created", f.created}, {"changes", fileChanges}});
    }
    if (!json) {
        out.text(diffs);
        return;
    }
    doc["changes"] = changes;
    doc["files"] = files;
    doc["notices"] = r.notices;
    doc["errors"] = r.errors;
    out.json(doc);
}

// Runs edit as how says; returns what it did to each file.
template <class F>
EditResult run(const Edit& how, F edit) {
    EditResult r;
    const std::string before = readConf();
    bool made = false;
    if (how.createConf && !how.dryRun) {
        if (int rc = makeConf(&made)) {
            r.errors.push_back(std::string("cannot make ") + kConf + ": " + std::strerror(rc));
            return r;
        }
    }
    if (how.createConf)
        r.notices.push_back(std::string(kConf) + (how.dryRun ? " does not exist: it would be made" : " did not exist: made it") +
                            " empty (mode 0644, owner root), which multipath reads as it reads no file");
    if (!how.switchOn && how.dryRun)
        r.notices.push_back(std::string("editing is switched off (set ") + kSwitch +
                            " to switch it on): this is what the edit would do");
    CLuError err;
    std::map<std::string, std::string> changed;
    if (how.dryRun) {
        DryRun dry(how.switchOn, how.createConf);
        edit(&err);
        changed = dry.host().replaced();
    } else {
        edit(&err);
        changed[kConf] = readConf();
    }
    collectMessages(err, &r);
    for (const auto& [path, after] : changed) {
        std::string old;
        const bool created = ZoHost::current()->readFile(path, &old) == ENOENT || (made && path == kConf);
        const std::string diff = unifiedDiff(path == kConf && !how.dryRun ? before : old, after, path, created);
        if (!diff.empty()) r.files.push_back({path, created, diff});
    }
    return r;
}

// Why removing the disks at paths would take away a multipath map in use,
// a sentence per map; none when no map of theirs is used (or the block
// devices cannot be read: the edit then says what is wrong).
std::vector<std::string> mapsInUse(const std::vector<std::string>& paths) {
    ZoInventoryOptions options;
    options.facts = kUseFacts;
    std::vector<std::string> refusals;
    ZoResult<ZoHostInventory> read = ZoHostInventory::read(options);
    if (!read)
        return refusals;
    const ZoHostInventory& inv = *read;
    std::vector<size_t> maps;
    for (const std::string& path : paths) {
        std::string why;
        const size_t i = findNamed(inv, path, &why);
        const size_t m = i == ZoBlockDevice::npos ? i : mapFor(inv, i);
        if (m == ZoBlockDevice::npos || std::find(maps.begin(), maps.end(), m) != maps.end())
            continue;
        maps.push_back(m);
        const std::vector<std::string> uses = usesOf(inv, m);
        if (uses.empty())
            continue;
        std::string text = m == i ? path + " is in use: " : path + ": its multipath map " + inv.at(m).path +
                                                                 " is in use: ";
        for (size_t u = 0; u < uses.size(); ++u)
            text += (u ? "; " : "") + uses[u];
        refusals.push_back(text + ". Without its blacklist exception the next reload of multipath would take "
                                  "the map away, so nothing was changed (--force removes it all the same)");
    }
    return refusals;
}

}  // namespace

void editArgs(CLI::App& app, Options& opts) {
    pathsArg(app, opts);
    app.add_flag("--dry-run", opts.dryRun,
                 "print the change to /etc/multipath.conf as a unified diff\n"
                 "and change nothing");
}

void removeArgs(CLI::App& app, Options& opts) {
    editArgs(app, opts);
    app.add_flag("--force", opts.force,
                 "remove the entries also when a disk's map, or a partition\n"
                 "map of it, is mounted, held or open");
}

int runMultipathAdd(const Options& opts, Output& out) {
    Activity activity("multipath.conf update");
    std::list<std::string> paths(opts.paths.begin(), opts.paths.end());
    std::list<SP<ZoDevice>> maps;
    Edit how;
    how.dryRun = opts.dryRun;
    how.switchOn = editingSwitchedOn();
    struct stat st;
    how.createConf = (how.switchOn || how.dryRun) && ZoHost::current()->lstat(kConf, &st) == ENOENT;
    EditResult r = run(how, [&](CLuError* err) {
        maps = ZoDeviceTree::addMultipathBlacklistExceptions(paths, err);
    });
    r.errors = explainEditErrors(opts.paths, r.errors);
    // A dry run reloads no map, so the maps it finds tell nothing.
    bool failed = !r.errors.empty() || (!opts.dryRun && maps.size() != paths.size());
    Json added = Json::array();
    Table t({"PATH", "MAP"});
    auto map = maps.begin();
    for (const std::string& path : paths) {
        SP<ZoDevice> dev = map != maps.end() ? *map++ : SP<ZoDevice>();
        if (opts.dryRun) continue;
        added.push_back(Json{{"path", path}, {"map", dev ? Json(dev->getDevicePath()) : Json(nullptr)}});
        t.add({path, dev ? dev->getDevicePath() : "-"});
        if (!dev && r.errors.empty())
            r.errors.push_back(path + ": no multipath map above it after the update");
        failed = failed || !dev;
    }
    print(out, opts.json, r, Json{{"devices", added}});
    if (!opts.json && !opts.dryRun && !maps.empty())
        out.text(t.render());
    return failed ? EXIT_FAILED : EXIT_OK;
}

int runMultipathRemove(const Options& opts, Output& out) {
    Activity activity("multipath.conf update");
    if (!opts.force) {
        EditResult refused;
        refused.errors = mapsInUse(opts.paths);
        if (!refused.errors.empty()) {
            print(out, opts.json, refused, Json::object());
            return EXIT_FAILED;
        }
    }
    std::list<std::string> paths(opts.paths.begin(), opts.paths.end());
    int rc = -1;
    Edit how;
    how.dryRun = opts.dryRun;
    how.switchOn = editingSwitchedOn();
    EditResult r = run(how, [&](CLuError* err) {
        rc = ZoDeviceTree::delMultipathBlacklistExceptions(paths, err);
    });
    r.errors = explainEditErrors(opts.paths, r.errors);
    if (rc != 0 && r.errors.empty())
        r.errors.push_back("multipath.conf was not rewritten");
    print(out, opts.json, r, Json::object());
    return r.errors.empty() ? EXIT_OK : EXIT_FAILED;
}

}  // namespace zodisk
