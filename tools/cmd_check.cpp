// check: is this host's multipathing sound? One pass over the host
// inventory and /etc/multipath.conf; every finding is one line naming the
// devices involved. Exit 0 when nothing needs attention, 1 otherwise.
#include "columns.h"
#include "output.h"
#include "zodisk.h"

#include "ZoHost.h"
#include "ZoMultipathConf.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace zodisk {

namespace {

using Inv = ZoHostInventory;

struct Finding {
    const char* severity;   // "error", "warning" or "info" (info needs no attention)
    const char* check;      // stable identifier of the kind of finding
    std::string message;
    std::vector<std::string> devices;
    std::string wwid;
};

class Checker {
public:
    explicit Checker(const Inv& inv) : m_inv(inv) {}

    std::vector<Finding> run() {
        std::map<std::string, std::vector<size_t>> disksByWwid;   // SCSI disks
        for (size_t i = 0; i < m_inv.devices().size(); ++i) {
            const ZoBlockDevice& d = m_inv.at(i);
            for (const std::string& p : d.problems)
                add("info", "device-problem", d.name + ": " + p, {i});
            if (isMap(d) && d.whole == ZoBlockDevice::npos)
                checkMap(i);
            else if (d.whole == ZoBlockDevice::npos && !d.hctl.empty() && !d.wwid.empty())
                disksByWwid[d.wwid].push_back(i);
        }
        for (const auto& [wwid, disks] : disksByWwid)
            checkLun(wwid, disks);
        checkConf();
        return std::move(m_findings);
    }

private:
    void add(const char* severity, const char* check, const std::string& message,
             const std::vector<size_t>& devices, const std::string& wwid = "") {
        Finding f{severity, check, message, {}, wwid};
        for (size_t i : devices)
            f.devices.push_back(m_inv.at(i).path);
        m_findings.push_back(std::move(f));
    }

    std::string names(const std::vector<size_t>& devices) const {
        std::string s;
        for (size_t i : devices)
            s += (s.empty() ? "" : " ") + m_inv.at(i).name;
        return s;
    }

    void checkMap(size_t m) {
        const ZoBlockDevice& map = m_inv.at(m);
        std::string label = "map " + map.dmName + " (" + map.name + ")";
        if (map.slaves.size() < 2)
            add("warning", "single-path-map",
                label + " has " + std::to_string(map.slaves.size()) +
                    (map.slaves.size() == 1 ? " path: " + names(map.slaves) : " paths"),
                {m}, map.wwid);
        std::vector<size_t> failed, offline;
        std::set<std::string> nodes;
        for (size_t p : map.slaves) {
            const ZoMapPath* e = pathEntry(m_inv, p);
            if (e && e->dmState == "failed")
                failed.push_back(p);
            const std::string& state = m_inv.at(p).state;
            if (!state.empty() && state != "running" && state != "live")
                offline.push_back(p);
            if (!m_inv.at(p).fcNodeName.empty())
                nodes.insert(m_inv.at(p).fcNodeName);
        }
        std::vector<size_t> all = {m};
        if (!failed.empty()) {
            all.insert(all.end(), failed.begin(), failed.end());
            add("error", "failed-path",
                label + ": device-mapper reports " +
                    (failed.size() == map.slaves.size() ? "every path" : "paths") +
                    " failed: " + names(failed),
                all, map.wwid);
        }
        for (size_t p : offline)
            add("error", "offline-path",
                label + ": path " + m_inv.at(p).name + " is " + m_inv.at(p).state, {m, p},
                map.wwid);
        if (!map.map.known)
            add("info", "map-state-unknown",
                label + ": no device-mapper status, path states unknown", {m}, map.wwid);
        if (nodes.size() > 1)
            add("info", "fc-node-mismatch",
                label + ": paths lead to " + std::to_string(nodes.size()) +
                    " different Fibre Channel node names: " + names(map.slaves),
                {m}, map.wwid);
    }

    // The SCSI disks of one WWID.
    void checkLun(const std::string& wwid, const std::vector<size_t>& disks) {
        m_wwids.insert(wwid);
        std::vector<size_t> outside;
        size_t map = ZoBlockDevice::npos;
        for (size_t d : disks) {
            size_t m = m_inv.mapOf(d);
            if (m == ZoBlockDevice::npos)
                outside.push_back(d);
            else
                map = m;
        }
        if (map == ZoBlockDevice::npos && outside.size() >= 2)
            add("warning", "unmapped-lun",
                "LUN " + wwid + " is seen on " + std::to_string(outside.size()) +
                    " paths that no multipath map holds: " + names(outside),
                outside, wwid);
        else if (map != ZoBlockDevice::npos && !outside.empty())
            add("warning", "path-outside-map",
                "LUN " + wwid + " of map " + m_inv.at(map).dmName +
                    " is also seen on paths the map does not hold: " + names(outside),
                outside, wwid);
        std::set<uint64_t> sizes;
        for (size_t d : disks)
            sizes.insert(m_inv.at(d).sectors);
        if (sizes.size() > 1) {
            std::string detail;
            for (size_t d : disks)
                detail += (detail.empty() ? "" : ", ") + m_inv.at(d).name + " " +
                          std::to_string(m_inv.at(d).sectors * 512);
            add("error", "size-mismatch",
                "LUN " + wwid + ": its paths disagree on its size in bytes: " + detail, disks,
                wwid);
        }
    }

    // Entries of /etc/multipath.conf that name a WWID no disk has.
    void checkConf() {
        for (size_t i = 0; i < m_inv.devices().size(); ++i)
            if (!m_inv.at(i).wwid.empty())
                m_wwids.insert(m_inv.at(i).wwid);
        std::string text;
        int rc = ZoHost::current()->readFile("/etc/multipath.conf", &text);
        if (rc == ENOENT)
            return;
        if (rc != 0) {
            add("warning", "conf-unreadable",
                std::string("/etc/multipath.conf: ") + std::strerror(rc), {});
            return;
        }
        zo_mpconf::SectionTracker tracker;
        std::set<std::pair<std::string, bool>> told;
        int number = 0;
        for (std::string_view line : zo_mpconf::splitLines(text)) {
            ++number;
            zo_mpconf::LineView v = tracker.next(line);
            for (bool block : {false, true})
                for (const std::string& wwid : block ? v.blockWwids : v.exceptionWwids)
                    if (isPlainWwid(wwid) && !m_wwids.count(wwid) && told.insert({wwid, block}).second)
                        add("warning", block ? "stale-conf-multipath" : "stale-conf-exception",
                            "/etc/multipath.conf line " + std::to_string(number) + ": " +
                                (block ? "multipath block" : "blacklist exception") + " for " +
                                wwid + ", which no disk has",
                            {}, wwid);
        }
    }

    // A WWID written out, not a pattern for several.
    static bool isPlainWwid(const std::string& w) {
        return !w.empty() && w.find_first_of(".*?[]^$|()\\+{}") == std::string::npos;
    }

    const Inv& m_inv;
    std::vector<Finding> m_findings;
    std::set<std::string> m_wwids;   // of every disk and map
};

}  // namespace

int runCheck(const Options& opts, Output& out) {
    ZoHostInventory inv;
    // Every fact: a fact that cannot be read is a finding too.
    if (!readInventory(&inv))
        return EXIT_FAILED;
    std::vector<Finding> findings = Checker(inv).run();
    size_t maps = 0, paths = 0;
    for (const ZoBlockDevice& d : inv.devices())
        if (isMap(d) && d.whole == ZoBlockDevice::npos) {
            ++maps;
            paths += d.slaves.size();
        }
    bool healthy = true;
    for (const Finding& f : findings)
        healthy = healthy && std::strcmp(f.severity, "info") == 0;
    std::string summary = std::to_string(maps) + (maps == 1 ? " map" : " maps") + " with " +
                          std::to_string(paths) + (paths == 1 ? " path" : " paths") + ", " +
                          std::to_string(inv.devices().size()) + " block devices";
    if (opts.json) {
        Json list = Json::array();
        for (const Finding& f : findings)
            list.push_back({{"severity", f.severity},
                            {"check", f.check},
                            {"message", f.message},
                            {"devices", f.devices},
                            {"wwid", f.wwid.empty() ? Json(nullptr) : Json(f.wwid)}});
        out.json(Json{{"healthy", healthy},
                      {"maps", maps},
                      {"paths", paths},
                      {"devices", inv.devices().size()},
                      {"findings", list}});
    } else {
        std::string text;
        bool utf8 = localeIsUtf8();
        for (const Finding& f : findings)
            text += std::string(f.severity) + ": " + escape(f.message, Escape::Table, utf8) + "\n";
        text += (healthy ? "healthy: " : "needs attention: ") + summary + "\n";
        out.text(text);
    }
    return healthy ? EXIT_OK : EXIT_FAILED;
}

}  // namespace zodisk
