// multipath add / multipath remove: the /etc/multipath.conf editor, and its
// dry run.
#include "edit_messages.h"
#include "forwarding_host.h"
#include "output.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"
#include "ZoHost.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <list>
#include <map>
#include <memory>

namespace zodisk {

namespace {

const char kConf[] = "/etc/multipath.conf";
const char kAlreadyThere[] = "Blacklist exception already exists for ";

// A host on which an edit changes nothing: files written stay in memory,
// renaming one of them records its contents as the edit's result, no lock
// file is made, nothing else is written, and once the file would have been
// replaced no command runs (the multipath maps are not reloaded).
class DryRunHost final : public ForwardingHost {
public:
    using ForwardingHost::ForwardingHost;

    // The contents the edit gave the file it replaced. Returns false when it
    // replaced none.
    bool replaced(std::string* text) const {
        if (!m_replaced) return false;
        *text = m_result;
        return true;
    }

    int openForWrite(const std::string& path, mode_t, std::unique_ptr<ZoWritableFile>* file) override {
        file->reset(new MemoryFile(&m_files[path]));
        return 0;
    }
    int rename(const std::string& from, const std::string& to) override {
        auto it = m_files.find(from);
        if (it == m_files.end() || to.empty()) return fail(EROFS);
        m_result = it->second;
        m_replaced = true;
        m_files.erase(it);
        return 0;
    }
    int chmod(const std::string& path, mode_t) override { return written(path); }
    int chown(const std::string& path, uid_t, gid_t) override { return written(path); }
    int unlink(const std::string& path) override {
        return m_files.erase(path) ? 0 : fail(ENOENT);
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
        return m_replaced ? ZoCommandResult() : ForwardingHost::run(command);
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

    std::map<std::string, std::string> m_files;
    bool m_replaced = false;
    std::string m_result;
};

// Installs a DryRunHost over the current host for its lifetime.
class DryRun {
public:
    DryRun()
        : m_host(std::make_shared<DryRunHost>(ZoHost::current())),
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

// The differences between two versions of the file in the unified format of
// diff -u (three lines of context); "" when they are the same.
std::string unifiedDiff(const std::string& before, const std::string& after) {
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
    return out.empty() ? out : std::string("--- ") + kConf + "\n+++ " + kConf + "\n" + out;
}

// What an edit did to the file and what the library said about it.
struct EditResult {
    std::string diff;
    std::vector<std::string> notices;  // disks that were there already
    std::vector<std::string> errors;
};

EditResult collect(const std::string& before, const std::string& after, const CLuError& err) {
    EditResult r;
    r.diff = unifiedDiff(before, after);
    for (const CLuError::Entry& e : err.Entries())
        (e.message.rfind(kAlreadyThere, 0) == 0 ? r.notices : r.errors).push_back(e.message);
    if (err.IsError() && r.errors.empty() && r.notices.empty())
        r.errors.push_back("failed with code " + std::to_string(err.GetCode()));
    return r;
}

void print(Output& out, bool json, const EditResult& r, Json doc) {
    for (const std::string& n : r.notices)
        Output::error("notice: " + n);
    for (const std::string& e : r.errors)
        Output::error(e);
    if (!json) {
        out.text(r.diff);
        return;
    }
    // The diff's lines past its two header lines that add or remove one.
    Json changes = Json::array();
    const std::vector<std::string> diff = lines(r.diff);
    for (size_t i = 2; i < diff.size(); ++i)
        if (diff[i][0] == '+' || diff[i][0] == '-')
            changes.push_back(diff[i].substr(0, 1) + " " + diff[i].substr(1, diff[i].find('\n') - 1));
    doc["changes"] = changes;
    doc["notices"] = r.notices;
    doc["errors"] = r.errors;
    out.json(doc);
}

// Runs edit, on a dry-run host when dryRun is set; returns what it did.
template <class F>
EditResult run(bool dryRun, F edit) {
    const std::string before = readConf();
    CLuError err;
    std::string after;
    if (dryRun) {
        DryRun dry;
        edit(&err);
        if (!dry.host().replaced(&after)) after = before;
    } else {
        edit(&err);
        after = readConf();
    }
    return collect(before, after, err);
}

}  // namespace

void editArgs(CLI::App& app, Options& opts) {
    app.add_option("PATH", opts.paths, "device paths, e.g. /dev/sdb /dev/mapper/mpatha")
        ->required()
        ->type_name("");
    app.add_flag("--dry-run", opts.dryRun,
                 "print the change to /etc/multipath.conf as a unified diff\n"
                 "and change nothing");
}

int runMultipathAdd(const Options& opts, Output& out) {
    Activity activity("multipath.conf update");
    std::list<std::string> paths(opts.paths.begin(), opts.paths.end());
    std::list<SP<ZoDevice>> maps;
    EditResult r = run(opts.dryRun, [&](CLuError* err) {
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
    std::list<std::string> paths(opts.paths.begin(), opts.paths.end());
    int rc = -1;
    EditResult r = run(opts.dryRun, [&](CLuError* err) {
        rc = ZoDeviceTree::delMultipathBlacklistExceptions(paths, err);
    });
    r.errors = explainEditErrors(opts.paths, r.errors);
    if (rc != 0 && r.errors.empty())
        r.errors.push_back("multipath.conf was not rewritten");
    print(out, opts.json, r, Json::object());
    return r.errors.empty() ? EXIT_OK : EXIT_FAILED;
}

}  // namespace zodisk
