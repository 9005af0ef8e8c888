// SPDX-License-Identifier: LGPL-2.1-or-later
// show: everything the host inventory knows of each device, a map's paths
// with their states included; with --reread, the library's own partition
// discovery as well.
#include "columns.h"
#include "output.h"
#include "report.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"

#include <algorithm>

namespace zodisk {

namespace {

using Inv = ZoHostInventory;

std::string numbers(const ZoBlockDevice& d) {
    return std::to_string(d.major) + ":" + std::to_string(d.minor);
}

// A partition's first sector; a partition map whose table the host does not
// give has none to show.
std::string startText(const ZoBlockDevice& d) {
    return d.start == ZoBlockDevice::unknownStart ? "unknown" : std::to_string(d.start);
}

Json startJson(const ZoBlockDevice& d) {
    return d.start == ZoBlockDevice::unknownStart ? Json(nullptr) : Json(d.start);
}

std::string pathsOf(const Inv& inv, const std::vector<size_t>& list) {
    std::string s;
    for (size_t i : list)
        s += (s.empty() ? "" : ", ") + inv.at(i).path;
    return s;
}

Json pathList(const Inv& inv, const std::vector<size_t>& list) {
    Json a = Json::array();
    for (size_t i : list)
        a.push_back(inv.at(i).path);
    return a;
}

// What the library's partition discovery found, asked with a re-read.
struct Discovery {
    std::vector<PartitionReport> partitions;
    std::string error;
};

Discovery discover(const std::string& path) {
    Activity activity("partitions of " + path);
    Discovery d;
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
    auto* part = dev ? static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"))
                     : nullptr;
    if (!part) {
        d.error = dev ? kindName(dev->getType()) + " devices have no partitions"
                      : err.IsError() ? err.AsString() : "no device of the library's kinds";
        return d;
    }
    std::list<ZoPartInfo> parts;
    if (part->getPartitions(parts, &err, true) < 0) {
        d.error = err.IsError() ? err.AsString() : "partition discovery failed";
        return d;
    }
    for (const ZoPartInfo& p : parts)
        d.partitions.push_back({std::string(p.partName, strnlen(p.partName, sizeof p.partName)),
                                p.partNumber, p.startSector, p.numSectors, p.sectorSize, p.major,
                                p.minor});
    return d;
}

// The paths of a map: those device-mapper reports, in table order, then
// any other device the map is built on (all of them when the map's state is
// not known).
struct PathRow {
    const ZoMapPath* entry;   // null when device-mapper does not report it
    size_t index;             // npos when the inventory has no such device
};

std::vector<PathRow> pathRows(const Inv& inv, const ZoBlockDevice& map) {
    std::vector<PathRow> rows;
    for (const ZoMapPath& p : map.map.paths)
        rows.push_back({&p, inv.byNumber(p.major, p.minor)});
    for (size_t s : map.slaves)
        if (std::none_of(rows.begin(), rows.end(), [&](const PathRow& r) { return r.index == s; }))
            rows.push_back({nullptr, s});
    return rows;
}

Json orNull(const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
}

Json healthJson(const ZoPathHealth& h) {
    if (!h.known)
        return nullptr;
    return {{"checker", orNull(h.checker)},
            {"priority", h.priority >= 0 ? Json(h.priority) : Json(nullptr)},
            {"dm_state", orNull(h.dmState)}};
}

Json remotePortJson(const Inv& inv, const ZoBlockDevice& d) {
    if (d.fcRemotePort == ZoFabric::npos && d.fcHostPort == ZoFabric::npos)
        return nullptr;
    Json o = Json::object();
    if (d.fcRemotePort != ZoFabric::npos) {
        const ZoFcRemotePort& r = inv.fabric().fcRemotePorts[d.fcRemotePort];
        o["remote_port"] = {{"name", r.name},          {"port_name", orNull(r.portName)},
                            {"node_name", orNull(r.nodeName)}, {"port_state", orNull(r.portState)},
                            {"roles", orNull(r.roles)},      {"port_id", orNull(r.portId)}};
    }
    if (d.fcHostPort != ZoFabric::npos) {
        const ZoFcHostPort& h = inv.fabric().fcHosts[d.fcHostPort];
        o["host_port"] = {{"name", h.name},           {"port_name", orNull(h.portName)},
                          {"node_name", orNull(h.nodeName)}, {"port_state", orNull(h.portState)},
                          {"speed", orNull(h.speed)},      {"fabric_name", orNull(h.fabricName)}};
    }
    return o;
}

Json sessionJson(const Inv& inv, const ZoBlockDevice& d) {
    if (d.iscsiSession == ZoFabric::npos)
        return nullptr;
    const ZoIscsiSession& s = inv.fabric().iscsiSessions[d.iscsiSession];
    return {{"session", s.name},
            {"sid", s.sid},
            {"target", orNull(s.targetName)},
            {"portal", orNull(s.portal)},
            {"persistent_portal", orNull(s.persistentPortal)},
            {"tpgt", orNull(s.tpgt)},
            {"state", orNull(s.state)},
            {"connection_state", orNull(s.connectionState)},
            {"initiator", orNull(s.initiatorName)},
            {"iface", orNull(s.iface)}};
}

// An NVMe namespace's subsystem and paths.
Json nvmeJson(const Inv& inv, const ZoBlockDevice& d) {
    if (d.nvmePaths.empty() || (d.partition > 0 && d.dmUuid.empty()))
        return nullptr;
    const ZoFabric& f = inv.fabric();
    Json paths = Json::array();
    const ZoNvmeSubsystem* sub = nullptr;
    for (size_t p : d.nvmePaths) {
        const ZoNvmeController* c = controllerOf(inv, p);
        if (c && c->subsystem != ZoFabric::npos)
            sub = &f.nvmeSubsystems[c->subsystem];
        paths.push_back({{"name", f.nvmePaths[p].name},
                         {"controller", c ? Json(c->name) : Json(nullptr)},
                         {"transport", c ? orNull(c->transport) : Json(nullptr)},
                         {"address", c ? orNull(c->address) : Json(nullptr)},
                         {"ana_state", orNull(f.nvmePaths[p].anaState)},
                         {"state", c ? orNull(c->state) : Json(nullptr)}});
    }
    Json subsystem = nullptr;
    if (sub)
        subsystem = {{"name", sub->name}, {"nqn", orNull(sub->nqn)}, {"iopolicy", orNull(sub->iopolicy)}};
    return {{"subsystem", subsystem}, {"paths", paths}};
}

Json mapJson(const Inv& inv, const ZoBlockDevice& map) {
    Json groups = Json::array();
    for (const ZoMapGroup& g : map.map.groups)
        groups.push_back(
            {{"number", g.number}, {"state", orNull(g.state)}, {"selector", orNull(g.selector)}});
    Json paths = Json::array();
    for (const PathRow& r : pathRows(inv, map)) {
        const ZoBlockDevice* d = r.index == ZoBlockDevice::npos ? nullptr : &inv.at(r.index);
        const ZoMapPath* e = r.entry;
        paths.push_back(
            {{"name", d ? Json(d->name) : Json(nullptr)},
             {"maj:min", e ? std::to_string(e->major) + ":" + std::to_string(e->minor)
                           : numbers(*d)},
             {"group", e ? Json(e->group) : Json(nullptr)},
             {"dm_state", e ? orNull(e->dmState) : Json(nullptr)},
             {"fail_count", e ? Json(e->failCount) : Json(nullptr)},
             {"state", d ? orNull(d->state) : Json(nullptr)},
             {"fcnode", d ? orNull(d->fcNodeName) : Json(nullptr)},
             {"multipathd", d ? healthJson(d->health) : Json(nullptr)},
             {"fc", d ? remotePortJson(inv, *d) : Json(nullptr)},
             {"iscsi", d ? sessionJson(inv, *d) : Json(nullptr)},
             {"problems", d ? Json(d->problems) : Json::array()}});
    }
    return {{"known", map.map.known},
            {"queue_if_no_path", map.map.queueIfNoPath},
            {"features", orNull(map.map.features)},
            {"hardware_handler", orNull(map.map.hardwareHandler)},
            {"groups", groups},
            {"paths", paths}};
}

Json showJson(const Printer& all, const Inv& inv, size_t i, const Discovery* found) {
    const ZoBlockDevice& d = inv.at(i);
    Json o = all.object(inv, i);
    o["unclaimed"] = d.unclaimedReason.empty() ? Json(nullptr) : Json(d.unclaimedReason);
    o["whole_disk"] = d.whole == ZoBlockDevice::npos ? Json(nullptr) : Json(inv.at(d.whole).path);
    o["partition"] = d.partition;
    o["start"] = startJson(d);
    Json parts = Json::array();
    for (size_t p : d.partitions)
        parts.push_back({{"path", inv.at(p).path},
                         {"number", inv.at(p).partition},
                         {"start", startJson(inv.at(p))},
                         {"sectors", inv.at(p).sectors},
                         {"maj:min", numbers(inv.at(p))}});
    o["partitions"] = parts;
    o["holders"] = pathList(inv, d.holders);
    o["slaves"] = pathList(inv, d.slaves);
    o["multipath"] = isMap(d) ? mapJson(inv, d) : Json(nullptr);
    o["multipathd"] = healthJson(d.health);
    o["fc"] = remotePortJson(inv, d);
    o["iscsi"] = sessionJson(inv, d);
    o["nvme"] = nvmeJson(inv, d);
    if (found) {
        Json disc = Json::array();
        for (const PartitionReport& p : found->partitions)
            disc.push_back({{"path", p.path},
                            {"number", p.number},
                            {"start", p.start},
                            {"sectors", p.sectors},
                            {"maj:min", std::to_string(p.major) + ":" + std::to_string(p.minor)}});
        o["discovered_partitions"] = found->error.empty() ? disc : Json(nullptr);
        o["discovery_error"] = found->error.empty() ? Json(nullptr) : Json(found->error);
    }
    return o;
}

// "show" text: "label: value" lines, the values lined up.
class Block {
public:
    explicit Block(bool utf8) : m_utf8(utf8) {}
    void add(const std::string& label, const std::string& value) {
        if (value.empty())
            return;
        std::string head = "  " + label + ":";
        head.resize(std::max<size_t>(head.size() + 1, 20), ' ');
        m_text += head + escape(value, Escape::Table, m_utf8) + "\n";
    }
    const std::string& text() const { return m_text; }

private:
    bool m_utf8;
    std::string m_text;
};

std::string joined(std::initializer_list<std::string> parts, const char* sep = ", ") {
    std::string s;
    for (const std::string& p : parts)
        if (!p.empty())
            s += (s.empty() ? "" : sep) + p;
    return s;
}

// The endpoint a SCSI path is reached through, and multipathd's view of it.
void addFabric(Block& b, const Inv& inv, const ZoBlockDevice& d) {
    const ZoFabric& f = inv.fabric();
    if (d.fcRemotePort != ZoFabric::npos) {
        const ZoFcRemotePort& r = f.fcRemotePorts[d.fcRemotePort];
        b.add("fc remote port", joined({r.name, r.portName.empty() ? "" : "WWPN " + r.portName,
                                        r.nodeName.empty() ? "" : "WWNN " + r.nodeName, r.portState, r.roles}));
    }
    if (d.fcHostPort != ZoFabric::npos) {
        const ZoFcHostPort& h = f.fcHosts[d.fcHostPort];
        b.add("fc host port", joined({h.name, h.portName.empty() ? "" : "WWPN " + h.portName, h.portState,
                                      h.speed, h.fabricName.empty() ? "" : "fabric " + h.fabricName}));
    }
    if (d.iscsiSession != ZoFabric::npos) {
        const ZoIscsiSession& s = f.iscsiSessions[d.iscsiSession];
        b.add("iscsi session", joined({s.name + " (sid " + std::to_string(s.sid) + ")", s.state,
                                       s.connectionState.empty() ? "" : "connection " + s.connectionState}));
        b.add("iscsi target", joined({s.targetName, s.portal.empty() ? "" : "portal " + s.portal,
                                      s.tpgt.empty() ? "" : "tpgt " + s.tpgt}));
        b.add("iscsi initiator", joined({s.initiatorName, s.iface.empty() ? "" : "iface " + s.iface}));
    }
    if (d.health.known)
        b.add("multipathd", joined({d.health.checker, d.health.priority >= 0
                                                          ? "priority " + std::to_string(d.health.priority)
                                                          : "",
                                    d.health.dmState.empty() ? "" : "dm " + d.health.dmState}));
    if (!d.nvmePaths.empty()) {
        const ZoNvmeController* c = controllerOf(inv, d.nvmePaths.front());
        if (c && c->subsystem != ZoFabric::npos) {
            const ZoNvmeSubsystem& s = f.nvmeSubsystems[c->subsystem];
            b.add("nvme subsystem", joined({s.name, s.nqn, s.iopolicy.empty() ? "" : "iopolicy " + s.iopolicy}));
        }
        // A namespace of one controller: that controller (a multipath
        // namespace lists its paths in a table).
        if (c && d.nvmePaths.size() == 1 && f.nvmePaths[d.nvmePaths.front()].name == d.name)
            b.add("nvme controller", joined({c->name, c->transport, c->address, c->state}));
    }
}

// An NVMe namespace's paths: path device, controller, transport, address,
// ANA state and the controller's state.
std::string nvmePathTable(const Inv& inv, const ZoBlockDevice& d, bool utf8) {
    Table t({"    PATH", "CONTROLLER", "TRANSPORT", "ADDRESS", "ANA", "STATE"});
    auto cell = [&](const std::string& v) { return v.empty() ? "-" : escape(v, Escape::Table, utf8); };
    for (size_t p : d.nvmePaths) {
        const ZoNvmePath& path = inv.fabric().nvmePaths[p];
        const ZoNvmeController* c = controllerOf(inv, p);
        t.add({"    " + cell(path.name), c ? cell(c->name) : "-", c ? cell(c->transport) : "-",
               c ? cell(c->address) : "-", cell(path.anaState), c ? cell(c->state) : "-"});
    }
    return t.render();
}

// The name of the endpoint of a path and its state.
std::pair<std::string, std::string> endpointOf(const Inv& inv, const ZoBlockDevice& d) {
    if (d.iscsiSession != ZoFabric::npos) {
        const ZoIscsiSession& s = inv.fabric().iscsiSessions[d.iscsiSession];
        return {s.name, s.state};
    }
    if (d.fcRemotePort != ZoFabric::npos) {
        const ZoFcRemotePort& r = inv.fabric().fcRemotePorts[d.fcRemotePort];
        return {r.name, r.portState};
    }
    return {};
}

// A map's groups, then its paths as a table.
void addMap(Block& b, const ZoBlockDevice& map) {
    b.add("queueing", !map.map.known ? "unknown (no device-mapper status)"
                      : map.map.queueIfNoPath ? "queue_if_no_path"
                                              : "fail when no path is left");
    b.add("features", map.map.features);
    b.add("hardware handler", map.map.hardwareHandler);
    for (const ZoMapGroup& g : map.map.groups)
        b.add("path group " + std::to_string(g.number), joined({g.state, g.selector}));
}

// What could not be read of a path stands beside it, in a last column.
std::string pathTable(const Inv& inv, const ZoBlockDevice& map, bool utf8) {
    std::vector<PathRow> rows = pathRows(inv, map);
    bool problems = std::any_of(rows.begin(), rows.end(), [&](const PathRow& r) {
        return r.index != ZoBlockDevice::npos && !inv.at(r.index).problems.empty();
    });
    // Columns of facts no path has are left out.
    bool endpoints = false, health = false;
    for (const PathRow& r : rows) {
        if (r.index == ZoBlockDevice::npos)
            continue;
        endpoints = endpoints || !endpointOf(inv, inv.at(r.index)).first.empty();
        health = health || inv.at(r.index).health.known;
    }
    std::vector<std::string> header = {"    PATH", "GROUP", "MAJ:MIN", "DM-STATE", "STATE", "HCTL", "FCNODE"};
    if (endpoints)
        header.insert(header.end(), {"ENDPOINT", "PORTSTATE"});
    if (health)
        header.insert(header.end(), {"CHECKER", "PRIO"});
    header.push_back(problems ? "PROBLEMS" : "");
    Table t(header);
    auto cell = [&](const std::string& v) { return v.empty() ? "-" : escape(v, Escape::Table, utf8); };
    for (const PathRow& r : rows) {
        const ZoBlockDevice* d = r.index == ZoBlockDevice::npos ? nullptr : &inv.at(r.index);
        const ZoMapPath* e = r.entry;
        std::string why;
        for (const std::string& p : d ? d->problems : std::vector<std::string>())
            why += (why.empty() ? "" : "; ") + p;
        std::vector<std::string> row = {
            "    " + (d ? cell(d->path) : "(unknown)"), e ? std::to_string(e->group) : "-",
            e ? std::to_string(e->major) + ":" + std::to_string(e->minor) : numbers(*d),
            e ? cell(e->dmState) : "-", d ? cell(d->state) : "-", d ? cell(d->hctl) : "-",
            d ? cell(d->fcNodeName) : "-"};
        if (endpoints) {
            auto ep = d ? endpointOf(inv, *d) : std::pair<std::string, std::string>();
            row.insert(row.end(), {cell(ep.first), cell(ep.second)});
        }
        if (health) {
            const bool known = d && d->health.known;
            row.insert(row.end(), {known ? cell(d->health.checker) : "-",
                                   known && d->health.priority >= 0 ? std::to_string(d->health.priority) : "-"});
        }
        row.push_back(escape(why, Escape::Table, utf8));
        t.add(row);
    }
    return t.render();
}

std::string showText(const Inv& inv, size_t i, const Discovery* found, bool utf8) {
    const ZoBlockDevice& d = inv.at(i);
    Block b(utf8);
    b.add("name", joined({d.dmName, d.name, numbers(d)}));
    b.add("kind", joined({kindOf(d), d.unclaimedReason}, ": "));
    b.add("type", d.typeName());
    b.add("size", humanSize(d.sectors * 512) + " (" + std::to_string(d.sectors * 512) +
                      " bytes)" + (d.readOnly ? ", read-only" : "") +
                      (d.removable ? ", removable" : ""));
    b.add("driver", d.driver);
    b.add("transport", d.transportName());
    // A kernel partition's disk facts are told by its disk.
    bool own = d.partition == 0 || !d.dmUuid.empty();
    b.add("hctl", own ? d.hctl : "");
    b.add("vendor", own ? d.vendor : "");
    b.add("model", own ? d.model : "");
    b.add("revision", own ? d.revision : "");
    b.add("serial", own ? d.serial : "");
    b.add("wwid", d.wwid);
    b.add("volume id", own ? d.nvmeVolumeId : "");
    b.add("state", own ? d.state : "");
    b.add("fc node name", own ? d.fcNodeName : "");
    b.add("contents", joined({d.fsType, d.fsLabel.empty() ? "" : "label \"" + d.fsLabel + "\"",
                              d.fsUuid.empty() ? "" : "UUID " + d.fsUuid}));
    std::string mounts, swap;
    for (const std::string& m : d.mountpoints)
        (m == "[SWAP]" ? swap : mounts) += (m == "[SWAP]" ? "in use" : (mounts.empty() ? "" : ", ") + m);
    b.add("mounted on", mounts);
    b.add("swap", swap);
    if (own)
        addFabric(b, inv, d);
    if (d.whole != ZoBlockDevice::npos)
        b.add("partition", std::to_string(d.partition) + " of " + inv.at(d.whole).path +
                               ", from sector " + startText(d));
    if (size_t m = inv.mapOf(i); m != ZoBlockDevice::npos) {
        const ZoBlockDevice& map = inv.at(m);
        const ZoMapPath* p = pathEntry(inv, i);
        const ZoMapGroup* g = p ? groupOf(map.map, p->group) : nullptr;
        std::string group = p ? "path group " + std::to_string(p->group) : "";
        if (g && !g->state.empty())
            group += " (" + g->state + ")";
        b.add("path of", joined({map.path + " (" + map.name + ")", group,
                                 p && !p->dmState.empty() ? "path " + p->dmState : ""}));
    }
    b.add("held by", pathsOf(inv, d.holders));
    if (isMap(d))
        addMap(b, d);
    else
        b.add("built on", pathsOf(inv, d.slaves));
    for (const std::string& p : d.problems)
        b.add("problem", p);
    if (found && !found->error.empty())
        b.add("discovery", found->error);
    else if (found && found->partitions.empty())
        b.add("discovered", "no partitions");
    std::string out = escape(d.path, Escape::Table, utf8) + "\n" + b.text();
    if (isMap(d))
        out += pathTable(inv, d, utf8);
    else if (own && !headPaths(inv, i).empty())
        out += nvmePathTable(inv, d, utf8);
    if (!d.partitions.empty()) {
        Table t({"    PARTITION", "NR", "START", "SECTORS", "MAJ:MIN"});
        for (size_t p : d.partitions)
            t.add({"    " + escape(inv.at(p).path, Escape::Table, utf8),
                   std::to_string(inv.at(p).partition), startText(inv.at(p)),
                   std::to_string(inv.at(p).sectors), numbers(inv.at(p))});
        out += t.render();
    }
    if (found && !found->partitions.empty()) {
        Table t({"    DISCOVERED", "NR", "START", "SECTORS", "MAJ:MIN"});
        for (const PartitionReport& p : found->partitions)
            t.add({"    " + p.path, std::to_string(p.number), std::to_string(p.start),
                   std::to_string(p.sectors),
                   std::to_string(p.major) + ":" + std::to_string(p.minor)});
        out += t.render();
    }
    return out;
}

}  // namespace

int runShow(const Options& opts, Output& out) {
    // Discovery may re-read partition tables: it runs before the inventory
    // is taken, so that the inventory shows the outcome.
    std::vector<Discovery> found;
    if (opts.reread)
        for (const std::string& path : opts.paths)
            found.push_back(discover(path));
    ZoHostInventory inv;
    if (!readInventory(&inv))
        return EXIT_FAILED;
    Printer all;
    Options every = opts;
    every.allColumns = true;
    every.json = true;
    std::string unused;
    all.configure(every, {}, &unused);
    size_t missing = 0;
    Json devices = Json::array();
    std::string text;
    for (size_t k = 0; k < opts.paths.size(); ++k) {
        const std::string& path = opts.paths[k];
        const Discovery* f = opts.reread ? &found[k] : nullptr;
        std::string why;
        size_t i = findNamed(inv, path, &why);
        if (i == ZoBlockDevice::npos) {
            ++missing;
            Output::error(path + ": " + why);
            devices.push_back({{"path", path}, {"error", why}});
            Block b(all.utf8);
            b.add("error", why);
            text += (text.empty() ? "" : "\n") + escape(path, Escape::Table, all.utf8) + "\n" +
                    b.text();
            continue;
        }
        devices.push_back(showJson(all, inv, i, f));
        text += (text.empty() ? "" : "\n") + showText(inv, i, f, all.utf8);
    }
    if (opts.json)
        out.json(Json{{"devices", devices}});
    else
        out.text(text);
    return namedStatus(opts.paths.size(), missing);
}

}  // namespace zodisk
