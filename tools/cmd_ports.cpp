// SPDX-License-Identifier: LGPL-2.1-or-later
// ports: the host's fabric endpoints in one table (Fibre Channel host and
// remote ports, iSCSI sessions, NVMe controllers), each with its state,
// its remote end and the disks it carries.
#include "columns.h"
#include "output.h"
#include "zodisk.h"

#include <map>
#include <set>

namespace zodisk {

namespace {

using Inv = ZoHostInventory;

struct PortRow {
    std::string port;        // "host3", "rport-3:0-2", "session1", "nvme0"
    std::string type;        // "fc-host", "fc-rport", "iscsi", "nvme"
    std::string transport;   // "fc", "iscsi", "tcp", "pcie", ...
    std::string state;
    std::string local;       // this host's end: WWPN, initiator name, host address
    std::string remote;      // the other end: WWPN, target name, subsystem NQN
    std::string address;     // port id, portal, transport address
    std::set<size_t> disks;  // whole devices, in inventory order
};

// Every endpoint, and the whole devices that go through each: a disk
// through its remote port, the host port that sees it, its session or
// the controllers of its paths.
std::vector<PortRow> portRows(const Inv& inv) {
    const ZoFabric& f = inv.fabric();
    std::vector<PortRow> rows;
    std::map<std::string, size_t> at;   // "type name" -> row
    auto add = [&](PortRow r) {
        at[r.type + " " + r.port] = rows.size();
        rows.push_back(std::move(r));
    };
    for (const ZoFcHostPort& h : f.fcHosts)
        add({h.name, "fc-host", "fc", h.portState, h.portName, h.fabricName, h.portId, {}});
    for (const ZoFcRemotePort& r : f.fcRemotePorts) {
        const size_t h = f.fcHost(r.host);
        add({r.name, "fc-rport", "fc", r.portState, h == ZoFabric::npos ? "" : f.fcHosts[h].portName,
             r.portName, r.portId, {}});
    }
    for (const ZoIscsiSession& s : f.iscsiSessions)
        add({s.name, "iscsi", "iscsi", s.state, s.initiatorName, s.targetName, s.portal, {}});
    for (const ZoNvmeController& c : f.nvmeControllers)
        add({c.name, "nvme", c.transport, c.state, c.hostTraddr,
             c.subsystem == ZoFabric::npos ? c.subsysNqn : f.nvmeSubsystems[c.subsystem].nqn, portalOf(c), {}});
    auto carry = [&](const std::string& key, size_t disk) {
        auto it = at.find(key);
        if (it != at.end())
            rows[it->second].disks.insert(disk);
    };
    for (size_t i = 0; i < inv.devices().size(); ++i) {
        const ZoBlockDevice& d = inv.at(i);
        if (d.partition > 0)
            continue;
        if (d.fcRemotePort != ZoFabric::npos)
            carry("fc-rport " + f.fcRemotePorts[d.fcRemotePort].name, i);
        if (d.fcHostPort != ZoFabric::npos)
            carry("fc-host " + f.fcHosts[d.fcHostPort].name, i);
        if (d.iscsiSession != ZoFabric::npos)
            carry("iscsi " + f.iscsiSessions[d.iscsiSession].name, i);
        for (size_t p : d.nvmePaths)
            if (const ZoNvmeController* c = controllerOf(inv, p))
                carry("nvme " + c->name, i);
    }
    return rows;
}

// The names of the disks and of the maps above them.
std::pair<std::vector<std::string>, std::vector<std::string>> carried(const Inv& inv, const PortRow& r) {
    std::vector<std::string> disks;
    std::set<std::string> maps;
    for (size_t i : r.disks) {
        disks.push_back(inv.at(i).name);
        const size_t m = inv.mapOf(i);
        if (m != ZoBlockDevice::npos)
            maps.insert(inv.at(m).dmName.empty() ? inv.at(m).name : inv.at(m).dmName);
    }
    return {disks, std::vector<std::string>(maps.begin(), maps.end())};
}

std::string joinedNames(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names)
        s += (s.empty() ? "" : ",") + n;
    return s;
}

Json orNull(const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
}

}  // namespace

int runPorts(const Options& opts, Output& out) {
    ZoHostInventory inv;
    if (!readInventory(&inv, ZoInventoryOptions::FC_PORTS | ZoInventoryOptions::ISCSI_SESSIONS |
                                 ZoInventoryOptions::NVME_PATHS))
        return EXIT_FAILED;
    const std::vector<PortRow> rows = portRows(inv);
    if (opts.json) {
        Json list = Json::array();
        for (const PortRow& r : rows) {
            auto [disks, maps] = carried(inv, r);
            list.push_back({{"port", r.port},
                            {"type", r.type},
                            {"transport", orNull(r.transport)},
                            {"state", orNull(r.state)},
                            {"local", orNull(r.local)},
                            {"remote", orNull(r.remote)},
                            {"address", orNull(r.address)},
                            {"disks", disks},
                            {"maps", maps}});
        }
        out.json(Json{{"ports", list}});
        return EXIT_OK;
    }
    const bool utf8 = localeIsUtf8();
    auto cell = [&](const std::string& v) { return v.empty() ? "-" : escape(v, Escape::Table, utf8); };
    Table t({"PORT", "TYPE", "TRAN", "STATE", "LOCAL", "REMOTE", "ADDRESS", "DISKS", "MAPS"});
    for (const PortRow& r : rows) {
        auto [disks, maps] = carried(inv, r);
        t.add({cell(r.port), r.type, cell(r.transport), cell(r.state), cell(r.local), cell(r.remote),
               cell(r.address), cell(joinedNames(disks)), cell(joinedNames(maps))});
    }
    out.text(rows.empty() ? "" : t.render());
    return EXIT_OK;
}

}  // namespace zodisk
