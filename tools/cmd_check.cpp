// SPDX-License-Identifier: LGPL-2.1-or-later
// check: is this host's multipathing sound? One pass over the host
// inventory and /etc/multipath.conf; every finding is one line naming the
// devices involved. Exit 0 when nothing needs attention, 1 otherwise.
#include "check.h"
#include "columns.h"
#include "output.h"
#include "zodisk.h"

#include "ZoHost.h"
#include "ZoMultipathConf.h"
#include "ZoMultipathConfFiles.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace zodisk {

namespace {

using Inv = ZoHostInventory;

class Checker {
public:
    explicit Checker(const Inv& inv) : m_inv(inv) {}

    std::vector<Finding> run() {
        readConf();
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
        checkFabric();
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

    // The fabric under the disks: endpoints not working, NVMe namespaces
    // short of paths, paths multipathd finds faulty.
    void checkFabric() {
        const ZoFabric& f = m_inv.fabric();
        std::map<std::string, std::vector<size_t>> carried;   // "kind name" -> whole devices
        for (size_t i = 0; i < m_inv.devices().size(); ++i) {
            const ZoBlockDevice& d = m_inv.at(i);
            if (d.partition > 0)
                continue;
            if (d.fcRemotePort != ZoFabric::npos)
                carried["rport " + f.fcRemotePorts[d.fcRemotePort].name].push_back(i);
            if (d.fcHostPort != ZoFabric::npos)
                carried["host " + f.fcHosts[d.fcHostPort].name].push_back(i);
            if (d.iscsiSession != ZoFabric::npos)
                carried["session " + f.iscsiSessions[d.iscsiSession].name].push_back(i);
            for (size_t p : d.nvmePaths)
                if (const ZoNvmeController* c = controllerOf(m_inv, p))
                    carried["nvme " + c->name].push_back(i);
            checkHealth(i);
            if (!headPaths(m_inv, i).empty())
                checkNamespace(i);
        }
        auto endpoint = [&](const char* check, const std::string& what, const std::string& key,
                            const std::string& state, const std::vector<std::string>& problems) {
            const std::vector<size_t>& disks = carried[key];
            const std::string on = disks.empty() ? "" : "; disks: " + names(disks);
            if (!state.empty())
                add("error", check, what + " is " + state + on, disks);
            for (const std::string& p : problems)
                add("info", "endpoint-problem", what + ": " + p, disks);
        };
        for (const ZoFcHostPort& h : f.fcHosts)
            endpoint("fc-port-state", "Fibre Channel port " + h.name + " (" + h.portName + ")", "host " + h.name,
                     h.portState == "Online" ? "" : h.portState, h.problems);
        for (const ZoFcRemotePort& r : f.fcRemotePorts)
            endpoint("fc-remote-port-state", "Fibre Channel remote port " + r.name + " (" + r.portName + ")",
                     "rport " + r.name, r.portState == "Online" ? "" : r.portState, r.problems);
        for (const ZoIscsiSession& s : f.iscsiSessions)
            endpoint("iscsi-session-state", "iSCSI session " + s.name + " to " + s.targetName + " at " + s.portal,
                     "session " + s.name, s.state == "LOGGED_IN" ? "" : s.state, s.problems);
        for (const ZoNvmeController& c : f.nvmeControllers)
            endpoint("nvme-controller-state",
                     "NVMe controller " + c.name + " (" + c.transport + " " + c.address + ")", "nvme " + c.name,
                     c.state == "live" ? "" : c.state, c.problems);
    }

    // A path multipathd finds faulty (or shaky).
    void checkHealth(size_t i) {
        const ZoBlockDevice& d = m_inv.at(i);
        const size_t m = m_inv.mapOf(i);
        if (!d.health.known || m == ZoBlockDevice::npos)
            return;
        const ZoBlockDevice& map = m_inv.at(m);
        const std::string label = "map " + map.dmName + " (" + map.name + "): multipathd's checker finds path " + d.name;
        if (d.health.checker == "faulty")
            add("error", "multipathd-faulty", label + " faulty", {m, i}, map.wwid);
        else if (d.health.checker == "shaky")
            add("warning", "multipathd-shaky", label + " shaky", {m, i}, map.wwid);
    }

    // A namespace of several NVMe controllers: fewer than two live paths, no
    // optimized path, paths in an ANA state that serves no I/O.
    void checkNamespace(size_t i) {
        const ZoBlockDevice& d = m_inv.at(i);
        const ZoFabric& f = m_inv.fabric();
        std::vector<std::string> live;
        bool ana = false, optimized = false, unknown = false;
        const std::string label = "NVMe namespace " + d.name;
        for (size_t p : d.nvmePaths) {
            const ZoNvmePath& path = f.nvmePaths[p];
            const ZoNvmeController* c = controllerOf(m_inv, p);
            const bool up = c && c->state == "live";
            unknown = unknown || !c || c->state.empty();
            if (up)
                live.push_back(path.name);
            ana = ana || !path.anaState.empty();
            optimized = optimized || (up && path.anaState == "optimized");
            const std::string where = label + ": path " + path.name + (c ? " (controller " + c->name + ")" : "");
            if (path.anaState == "inaccessible" || path.anaState == "persistent-loss")
                add(path.anaState == "persistent-loss" ? "error" : "warning", "ana-state",
                    where + " is ANA " + path.anaState, {i});
            else if (path.anaState == "change")
                add("info", "ana-change", where + " is in ANA change (check again if it stays)", {i});
        }
        std::string liveNames;
        for (const std::string& n : live)
            liveNames += (liveNames.empty() ? "" : " ") + n;
        if (live.size() < 2 && !unknown)   // a capture may not tell the states
            add("warning", "nvme-few-paths",
                label + " has " + std::to_string(live.size()) + " live " + (live.size() == 1 ? "path" : "paths") +
                    " of " + std::to_string(d.nvmePaths.size()) + (liveNames.empty() ? "" : ": " + liveNames),
                {i}, d.wwid);
        if (ana && !optimized && !live.empty())
            add("warning", "nvme-no-optimized-path", label + " has no optimized path", {i}, d.wwid);
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
                    " paths that no multipath map holds: " + names(outside) + whyUnmapped(wwid, outside),
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

    // Reads the files multipath-tools reads; one it cannot read, or one
    // the editor would refuse, is a finding.
    void readConf() {
        std::string failed;
        int rc = zo_mpconf::readAllConf(&m_files, &m_confMissing, &failed);
        m_confRead = rc == 0;
        if (rc != 0)
            add("warning", "conf-unreadable", failed + ": " + std::strerror(rc), {});
        for (const zo_mpconf::ConfFile& f : m_files) {
            const zo_mpconf::ConfFault& fault = f.reading.fault;
            if (fault.line == 0)
                continue;
            const bool rejected = fault.why.find("rejects") != std::string::npos;
            add(rejected ? "error" : "warning", rejected ? "conf-rejected" : "conf-layout",
                f.path + ": " + fault.why + "; zodisk multipath add and remove refuse to edit " +
                    zo_mpconf::kMainConf + " until it is mended",
                {});
        }
    }

    // Why no map holds the LUN's paths, and what would put it under
    // multipath control ("" when the configuration could not be read).
    std::string whyUnmapped(const std::string& wwid, const std::vector<size_t>& paths) const {
        if (!m_confRead)
            return "";
        const ZoBlockDevice& d = m_inv.at(paths.front());
        const zo_mpconf::BlacklistVerdict v =
            zo_mpconf::blacklistVerdict(m_files, {d.name, wwid, d.vendor, d.model});
        if (!v.blacklisted)
            return "; the configuration does not blacklist it, so multipath has not built its map yet "
                   "(multipathd, or running multipath, builds it)";
        std::string why = "; blacklisted by " + v.entry + " on " + v.where;
        if (v.criterion != "wwid")
            return why + ", which an exception for its WWID does not override; an exception for its " +
                   v.criterion + " in blacklist_exceptions would put it under multipath control";
        why += ", and no exception names it";
        if (!zo_mpconf::plainWwidFault(wwid).empty())
            return why;
        return why + "; zodisk multipath add " + d.path + " would add one";
    }

    // Entries of the configuration that name a WWID no disk has.
    void checkConf() {
        for (size_t i = 0; i < m_inv.devices().size(); ++i)
            if (!m_inv.at(i).wwid.empty())
                m_wwids.insert(m_inv.at(i).wwid);
        std::set<std::pair<std::string, bool>> told;
        for (const zo_mpconf::ConfEntryAt& e : zo_mpconf::allEntries(m_files)) {
            const bool block = e.entry.kind == zo_mpconf::ConfEntry::BLOCK;
            const std::string& wwid = e.entry.wwid;
            if (isPlainWwid(wwid) && !m_wwids.count(wwid) && told.insert({wwid, block}).second)
                add("warning", block ? "stale-conf-multipath" : "stale-conf-exception",
                    e.file->path + " line " + std::to_string(e.entry.line) + ": " +
                        (block ? "multipath block" : "blacklist exception") + " for " + wwid +
                        ", which no disk has",
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
    std::vector<zo_mpconf::ConfFile> m_files;   // what multipath-tools reads
    bool m_confMissing = false, m_confRead = false;
};

}  // namespace

std::vector<Finding> checkFindings(const ZoHostInventory& inv) {
    return Checker(inv).run();
}

int runCheck(const Options& opts, Output& out) {
    ZoHostInventory inv;
    // Every fact: a fact that cannot be read is a finding too.
    if (!readInventory(&inv))
        return EXIT_FAILED;
    std::vector<Finding> findings = checkFindings(inv);
    size_t maps = 0, paths = 0, namespaces = 0, nvmePaths = 0;
    for (size_t i = 0; i < inv.devices().size(); ++i) {
        const ZoBlockDevice& d = inv.at(i);
        if (isMap(d) && d.whole == ZoBlockDevice::npos) {
            ++maps;
            paths += d.slaves.size();
        }
        const size_t n = headPaths(inv, i).size();
        namespaces += n > 0;
        nvmePaths += n;
    }
    bool healthy = true;
    for (const Finding& f : findings)
        healthy = healthy && std::strcmp(f.severity, "info") == 0;
    std::string summary = std::to_string(maps) + (maps == 1 ? " map" : " maps") + " with " +
                          std::to_string(paths) + (paths == 1 ? " path" : " paths") + ", " +
                          (namespaces == 0 ? std::string()
                                           : std::to_string(namespaces) + " multipath NVMe " +
                                                 (namespaces == 1 ? "namespace" : "namespaces") + " with " +
                                                 std::to_string(nvmePaths) + (nvmePaths == 1 ? " path, " : " paths, ")) +
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
                      {"nvme_namespaces", namespaces},
                      {"nvme_paths", nvmePaths},
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
