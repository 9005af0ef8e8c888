// SPDX-License-Identifier: LGPL-2.1-or-later
#include "host_view.h"

#include "columns.h"
#include "host_tree_check.h"

#include "ZoHost.h"
#include "ZoMultipathConfFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>

namespace zodisk {

namespace {

using Inv = ZoHostInventory;

using Value = std::optional<std::string>;

// A fact the device shows, or unknown when it shows none.
Value shown(const std::string& s) { return s.empty() ? Value() : Value(s); }

// A fact of a multipath map's table or status: unknown without them.
template <class F>
Value ofMap(const Inv& inv, size_t i, F f) {
    const ZoMapState& m = inv.at(i).map;
    return m.known ? Value(f(m)) : Value();
}

Value dmState(const Inv& inv, size_t i) {
    const ZoMapPath* p = pathEntry(inv, i);
    return p ? shown(p->dmState) : Value();
}

// The number of the path group device-mapper sends I/O to ("" none).
Value activeGroup(const Inv& inv, size_t i) {
    return ofMap(inv, i, [](const ZoMapState& m) {
        for (const ZoMapGroup& g : m.groups)
            if (g.state == "active")
                return std::to_string(g.number);
        return std::string();
    });
}

// What multipathd's checker says of a path; unknown without multipathd.
Value checkerState(const Inv& inv, size_t i) {
    const ZoPathHealth& h = inv.at(i).health;
    return h.known ? shown(h.checker) : Value();
}

std::string showSize(const std::string& sectors) {
    return humanSize(std::stoull(sectors) * 512);
}

std::string showYesNo(const std::string& flag) { return flag == "1" ? "yes" : "no"; }

const std::vector<ViewFact> kFacts = {
    {"dm_state", "device-mapper state", ON_PATH, dmState, "path-state", true, {"active", "failed"}},
    {"state", "state", ON_PATH | ON_MAP | ON_DISK,
     [](const Inv& inv, size_t i) { return shown(inv.at(i).state); }, "state", true},
    {"size", "size", ON_PATH | ON_MAP | ON_DISK,
     [](const Inv& inv, size_t i) { return Value(std::to_string(inv.at(i).sectors)); }, "size", false,
     {}, showSize},
    {"read_only", "read-only", ON_PATH | ON_MAP | ON_DISK,
     [](const Inv& inv, size_t i) { return Value(inv.at(i).readOnly ? "1" : "0"); }, "state", false, {},
     showYesNo},
    {"revision", "revision", ON_PATH | ON_DISK,
     [](const Inv& inv, size_t i) { return shown(inv.at(i).revision); }, "product"},
    {"fc_node_name", "Fibre Channel node name", ON_PATH | ON_DISK,
     [](const Inv& inv, size_t i) { return shown(inv.at(i).fcNodeName); }, "fabric"},
    {"queueing", "queueing", ON_MAP,
     [](const Inv& inv, size_t i) {
         return ofMap(inv, i, [](const ZoMapState& m) { return std::string(m.queueIfNoPath ? "on" : "off"); });
     },
     "state"},
    {"active_group", "active path group", ON_MAP, activeGroup, "state"},
    {"hardware_handler", "hardware handler", ON_MAP,
     [](const Inv& inv, size_t i) {
         return ofMap(inv, i, [](const ZoMapState& m) { return m.hardwareHandler; });
     },
     "state"},
    {"path_selector", "path selector", ON_MAP,
     [](const Inv& inv, size_t i) {
         return ofMap(inv, i, [](const ZoMapState& m) {
             return m.groups.empty() ? std::string() : m.groups.front().selector;
         });
     },
     "state"},
    {"checker_state", "multipathd checker state", ON_PATH, checkerState, "path-state", true, {"ready", "faulty"}},
    {"controller_state", "controller state", ON_NVME_PATH, nullptr, "path-state", true, {"live"}},
    {"ana_state", "ANA state", ON_NVME_PATH, nullptr, "path-state", true,
     {"optimized", "non-optimized", "inaccessible", "persistent-loss", "change"}},
    {"port_state", "port state", ON_ENDPOINT, nullptr, "fabric", true, {"Online"}},
    {"session_state", "session state", ON_ENDPOINT, nullptr, "fabric", true, {"LOGGED_IN", "FAILED", "FREE"}},
    {"connection_state", "connection state", ON_ENDPOINT, nullptr, "fabric", true, {"up", "down", "failed", "bound"}},
};

FactValues factsOf(const Inv& inv, size_t i, FactHolder holder) {
    FactValues values;
    for (const ViewFact& f : kFacts)
        if ((f.holders & holder) && f.value)
            if (Value v = f.value(inv, i))
                values[f.key] = *v;
    return values;
}

void addPartitions(const Inv& inv, size_t i, ViewUnit* unit) {
    for (size_t p : inv.at(i).partitions) {
        const ZoBlockDevice& d = inv.at(p);
        const uint64_t start = d.start == ZoBlockDevice::unknownStart ? 0 : d.start;
        unit->partitions.push_back({d.partition, start, d.sectors});
        unit->numbers.emplace_back(d.major, d.minor);
    }
    std::sort(unit->partitions.begin(), unit->partitions.end(),
              [](const ViewPartition& a, const ViewPartition& b) { return a.number < b.number; });
}

ViewUnit mapUnit(const Inv& inv, size_t m) {
    const ZoBlockDevice& d = inv.at(m);
    ViewUnit u;
    u.map = true;
    u.wwid = d.wwid;
    u.key = "map " + d.wwid;
    u.name = d.dmName.empty() ? d.name : d.dmName;
    u.kname = d.name;
    u.facts = factsOf(inv, m, ON_MAP);
    u.numbers.emplace_back(d.major, d.minor);
    for (size_t p : d.slaves) {
        const ZoBlockDevice& path = inv.at(p);
        u.paths.push_back({path.hctl.empty() ? path.name : path.hctl, path.name,
                           factsOf(inv, p, ON_PATH), ""});
        u.numbers.emplace_back(path.major, path.minor);
    }
    std::sort(u.paths.begin(), u.paths.end(),
              [](const ViewPath& a, const ViewPath& b) { return a.key < b.key; });
    addPartitions(inv, m, &u);
    return u;
}

// The transport endpoint of an NVMe controller: "tcp 10.0.0.5:4420", with
// the host address when one was asked for ("from 10.0.0.1"); the source
// address the kernel shows only while connected is no part of it.
std::string endpointOf(const ZoNvmeController& c) {
    std::string s = c.transport + " " + portalOf(c);
    const std::string key = ",host_traddr=";
    const std::string address = "," + c.address;
    const size_t at = address.find(key);
    if (at != std::string::npos) {
        const size_t from = at + key.size();
        s += " from " + address.substr(from, address.find(',', from) - from);
    }
    return s;
}

// The paths of an NVMe namespace reached through several controllers.
void addNvmePaths(const Inv& inv, size_t i, ViewUnit* unit) {
    for (size_t p : headPaths(inv, i)) {
        const ZoNvmePath& path = inv.fabric().nvmePaths[p];
        const ZoNvmeController* c = controllerOf(inv, p);
        ViewPath v{c ? endpointOf(*c) : path.name, path.name, {}, c ? c->name : ""};
        if (c && !c->state.empty())
            v.facts["controller_state"] = c->state;
        if (!path.anaState.empty())
            v.facts["ana_state"] = path.anaState;
        unit->paths.push_back(std::move(v));
    }
    std::sort(unit->paths.begin(), unit->paths.end(),
              [](const ViewPath& a, const ViewPath& b) { return a.key < b.key; });
}

ViewUnit diskUnit(const Inv& inv, size_t i) {
    const ZoBlockDevice& d = inv.at(i);
    ViewUnit u;
    u.wwid = d.wwid;
    u.place = d.hctl;
    if (!d.wwid.empty())
        u.key = "disk " + (d.hctl.empty() ? d.wwid : pathIdentity(d.wwid, d.hctl));
    else
        u.key = "disk " + (d.hctl.empty() ? d.name : "at " + d.hctl);
    u.name = u.kname = d.name;
    u.facts = factsOf(inv, i, ON_DISK);
    u.numbers.emplace_back(d.major, d.minor);
    addNvmePaths(inv, i, &u);
    addPartitions(inv, i, &u);
    return u;
}

void addEndpoint(HostView* view, ViewEndpoint e, const std::string& identity) {
    e.key = identity.empty() ? e.noun + " " + e.name : identity;
    if (view->endpoints.count(e.key))   // two of one identity: told apart by name
        e.key += " " + e.name;
    std::string key = e.key;
    view->endpoints.emplace(std::move(key), std::move(e));
}

void addEndpoints(const ZoFabric& f, HostView* view) {
    auto state = [](const char* key, const std::string& value) {
        return value.empty() ? FactValues() : FactValues{{key, value}};
    };
    for (const ZoFcHostPort& h : f.fcHosts)
        addEndpoint(view,
                    {"", h.name, "Fibre Channel port", h.portName, "zodisk_fc_host",
                     {{"host", h.name}, {"port_name", h.portName}}, state("port_state", h.portState)},
                    h.portName.empty() ? "" : "fc-host " + h.portName);
    for (const ZoFcRemotePort& r : f.fcRemotePorts) {
        const size_t h = f.fcHost(r.host);
        const std::string local = h == ZoFabric::npos ? r.host : f.fcHosts[h].portName;
        addEndpoint(view,
                    {"", r.name, "Fibre Channel remote port", r.portName + " via " + r.host, "zodisk_fc_remote",
                     {{"host", r.host}, {"rport", r.name}, {"port_name", r.portName}},
                     state("port_state", r.portState)},
                    r.portName.empty() ? "" : "fc-rport " + local + " " + r.portName);
    }
    for (const ZoIscsiSession& s : f.iscsiSessions) {
        const std::string portal = s.persistentPortal.empty() ? s.portal : s.persistentPortal;
        FactValues facts = state("session_state", s.state);
        if (!s.connectionState.empty())
            facts["connection_state"] = s.connectionState;
        addEndpoint(view,
                    {"", s.name, "iSCSI session", s.targetName + " at " + portal, "zodisk_iscsi",
                     {{"session", s.name}, {"target", s.targetName}, {"portal", portal}}, facts},
                    s.targetName.empty() ? "" : "iscsi " + s.targetName + " " + portal + " " + s.iface);
    }
}

// Makes a host tree the current host for the life of the object.
class HostSwitch {
public:
    explicit HostSwitch(const std::string& root) {
        if (!root.empty())
            m_previous = ZoHost::install(ZoHost::makeRooted(root));
    }
    ~HostSwitch() {
        if (m_previous)
            ZoHost::install(m_previous);
    }
    HostSwitch(const HostSwitch&) = delete;
    HostSwitch& operator=(const HostSwitch&) = delete;

private:
    std::shared_ptr<ZoHost> m_previous;
};

}  // namespace

const std::vector<ViewFact>& viewFacts() { return kFacts; }

const ViewFact& viewFact(const char* key) {
    for (const ViewFact& f : kFacts)
        if (std::strcmp(f.key, key) == 0)
            return f;
    throw std::logic_error(std::string("no fact ") + key);
}

std::string showFact(const ViewFact& fact, const std::string& value) {
    if (value.empty())
        return "none";
    return fact.show ? fact.show(value) : value;
}

size_t ViewUnit::activePaths() const {
    return std::count_if(paths.begin(), paths.end(), [](const ViewPath& p) {
        auto it = p.facts.find("dm_state");
        return it != p.facts.end() && it->second == "active";
    });
}

const ViewPath* ViewUnit::path(const std::string& k) const {
    for (const ViewPath& p : paths)
        if (p.key == k)
            return &p;
    return nullptr;
}

std::string pathIdentity(const std::string& wwid, const std::string& key) {
    return wwid + "@" + key;
}

HostView viewOf(const Inv& inv) {
    HostView view;
    for (size_t i = 0; i < inv.devices().size(); ++i) {
        const ZoBlockDevice& d = inv.at(i);
        if (d.whole != ZoBlockDevice::npos)
            continue;
        ViewUnit u;
        if (isMap(d))
            u = mapUnit(inv, i);
        else if (d.type == ZoBlockType::DISK && inv.mapOf(i) == ZoBlockDevice::npos)
            u = diskUnit(inv, i);
        else
            continue;
        for (const ViewPath& p : u.paths)
            if (u.map)
                view.pathOwners[pathIdentity(u.wwid, p.key)] = u.key;
        if (!u.map && !u.wwid.empty() && !u.place.empty())
            view.pathOwners[pathIdentity(u.wwid, u.place)] = u.key;
        std::string key = u.key;
        view.units.emplace(std::move(key), std::move(u));
    }
    addEndpoints(inv.fabric(), &view);
    return view;
}

std::vector<ConfigEntry> readConfigEntries(std::string* why) {
    std::vector<zo_mpconf::ConfFile> files;
    bool mainMissing = false;
    std::string failed;
    if (int rc = zo_mpconf::readAllConf(&files, &mainMissing, &failed))
        *why = failed + ": " + std::strerror(rc);
    std::vector<ConfigEntry> entries;
    for (const zo_mpconf::ConfEntryAt& e : zo_mpconf::allEntries(files))
        entries.push_back({e.entry.kind == zo_mpconf::ConfEntry::EXCEPTION ? "blacklist exception" : "multipath block",
                           e.entry.wwid, e.file->path});
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const ConfigEntry& a, const ConfigEntry& b) {
                                  return !(a < b) && !(b < a);
                              }),
                  entries.end());
    return entries;
}

bool readView(const std::string& root, HostView* view, std::string* why,
              std::vector<std::string>* warnings) {
    struct stat st;
    if (!root.empty() && ::stat(root.c_str(), &st) != 0) {
        *why = root + ": " + std::strerror(errno);
        return false;
    }
    if (!root.empty() && !S_ISDIR(st.st_mode)) {
        *why = root + ": not a directory";
        return false;
    }
    HostSwitch in(root);
    if (!root.empty()) {
        HostTreeFaults faults = checkHostTree(root);
        if (!faults.fatal.empty()) {
            *why = faults.fatal;
            return false;
        }
        warnings->insert(warnings->end(), faults.warnings.begin(), faults.warnings.end());
    }
    ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
    if (!inv) {
        *why = (root.empty() ? std::string("this host") : root) + ": cannot read the block devices: " +
               inv.error().AsString();
        return false;
    }
    *view = viewOf(*inv);
    std::string confWhy;
    view->config = readConfigEntries(&confWhy);
    if (!confWhy.empty()) {
        *why = confWhy;
        return false;
    }
    return true;
}

}  // namespace zodisk
