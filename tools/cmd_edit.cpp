// multipath add / multipath remove: the /etc/multipath.conf editor.
#include "output.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"
#include "ZoHost.h"

#include <map>

namespace zodisk {

namespace {

const char kConf[] = "/etc/multipath.conf";

std::string readConf() {
    std::string text;
    if (ZoHost::current()->readFile(kConf, &text) != 0)
        text.clear();
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// Lines removed ("- ") and added ("+ ") between two versions of the file.
// Past the lines both versions begin and end with, each removed line is
// listed in the order of the old version, then each added line in the
// order of the new one; a line present n times there in one version and m
// times in the other counts |n - m| times.
std::vector<std::string> changes(const std::string& before, const std::string& after) {
    std::vector<std::string> oldLines = lines(before), newLines = lines(after);
    size_t head = 0, tail = 0;
    while (head < oldLines.size() && head < newLines.size() && oldLines[head] == newLines[head])
        ++head;
    while (tail < oldLines.size() - head && tail < newLines.size() - head &&
           oldLines[oldLines.size() - 1 - tail] == newLines[newLines.size() - 1 - tail])
        ++tail;
    oldLines = std::vector<std::string>(oldLines.begin() + head, oldLines.end() - tail);
    newLines = std::vector<std::string>(newLines.begin() + head, newLines.end() - tail);
    std::map<std::string, int> balance;
    for (const std::string& l : newLines)
        ++balance[l];
    for (const std::string& l : oldLines)
        --balance[l];
    std::vector<std::string> out;
    std::map<std::string, int> removed = balance, added = balance;
    for (const std::string& l : oldLines)
        if (removed[l] < 0) {
            ++removed[l];
            out.push_back("- " + l);
        }
    for (const std::string& l : newLines)
        if (added[l] > 0) {
            --added[l];
            out.push_back("+ " + l);
        }
    return out;
}

struct EditResult {
    std::vector<std::string> changes;
    std::vector<std::string> errors;
};

EditResult collect(const std::string& before, const CLuError& err) {
    EditResult r;
    r.changes = changes(before, readConf());
    for (const CLuError::Entry& e : err.Entries())
        r.errors.push_back(e.message);
    if (err.IsError() && r.errors.empty())
        r.errors.push_back("failed with code " + std::to_string(err.GetCode()));
    return r;
}

void print(Output& out, bool json, const EditResult& r, Json doc) {
    for (const std::string& e : r.errors)
        Output::error(e);
    if (json) {
        doc["changes"] = r.changes;
        doc["errors"] = r.errors;
        out.json(doc);
        return;
    }
    std::string text;
    for (const std::string& c : r.changes)
        text += c + "\n";
    out.text(text);
}

}  // namespace

int runMultipathAdd(const Options& opts, Output& out) {
    Activity activity("multipath.conf update");
    std::string before = readConf();
    std::list<std::string> paths(opts.paths.begin(), opts.paths.end());
    CLuError err;
    std::list<SP<ZoDevice>> maps = ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err);
    EditResult r = collect(before, err);

    bool failed = err.IsError() || maps.size() != paths.size();
    Json added = Json::array();
    Table t({"PATH", "MAP"});
    auto map = maps.begin();
    for (const std::string& path : paths) {
        SP<ZoDevice> dev = map != maps.end() ? *map++ : SP<ZoDevice>();
        Json entry;
        entry["path"] = path;
        entry["map"] = dev ? Json(dev->getDevicePath()) : Json(nullptr);
        added.push_back(entry);
        t.add({path, dev ? dev->getDevicePath() : "-"});
        if (!dev && r.errors.empty())
            r.errors.push_back(path + ": no multipath map above it after the update");
        failed = failed || !dev;
    }
    Json doc;
    doc["devices"] = added;
    print(out, opts.json, r, doc);
    if (!opts.json && !maps.empty())
        out.text(t.render());
    return failed ? EXIT_FAILED : EXIT_OK;
}

int runMultipathRemove(const Options& opts, Output& out) {
    Activity activity("multipath.conf update");
    std::string before = readConf();
    std::list<std::string> paths(opts.paths.begin(), opts.paths.end());
    CLuError err;
    int rc = ZoDeviceTree::delMultipathBlacklistExceptions(paths, &err);
    EditResult r = collect(before, err);
    if (rc != 0 && r.errors.empty())
        r.errors.push_back("multipath.conf was not rewritten");
    print(out, opts.json, r, Json::object());
    return rc != 0 || err.IsError() ? EXIT_FAILED : EXIT_OK;
}

}  // namespace zodisk
