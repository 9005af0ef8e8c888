// SPDX-License-Identifier: LGPL-2.1-or-later
// The storage fabric in a real kernel (guest/fabric.sh): NVMe/TCP from the
// kernel's NVMe target under native NVMe multipath (namespace heads nvme0n1
// and nvme0n2, a path device per controller under each) and an iSCSI LU on
// two portals under a dm-multipath map. The second path of each fabric is
// taken down and brought back (zo-fabric down|up nvme|iscsi). In every state
// the library finds the devices and their kinds as lsblk does; zodisk gives
// what the peers give, each asked once per state:
//   nvme list-subsys -o json  each controller's transport, address, host
//                             address, state and subsystem NQN (ports), a
//                             head's transport (list)
//   nvme list -v -o json      each path's controller, address and ANA state
//                             (show), a head's NQN, model, serial, firmware
//                             and its paths' controllers, portals, states
//                             and ANA states (list columns)
//   iscsiadm -m session -P3   each session's target, portal, state,
//                             initiator and disk (ports), a disk's target,
//                             portal, session and state (list), a path's
//                             SID, portal group, persistent portal, iface
//                             (show)
//   multipath -ll             each path's dm state, checker state and device
//                             state, an NVMe path's ANA and controller state
//   lsblk                     transports and SCSI states;
// check names the lost iSCSI path, and a capture taken with the paths down
// answers as the machine does.
#include "kernel_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace {

using json = nlohmann::json;

std::string text(const json& v) {
    if (v.is_null()) return "-";
    return v.is_string() ? zo_str::trimmed(v.get<std::string>()) : v.dump();
}

// The SCSI disks on iSCSI hosts, as kernel names.
std::vector<std::string> iscsiDisks() {
    std::vector<std::string> out;
    for (const std::string& d : zk::listDir("/sys/block")) {
        const std::string h = zk::hctl(d);
        if (d.compare(0, 2, "sd") == 0 && zk::exists("/sys/class/iscsi_host/host" + h.substr(0, h.find(':'))))
            out.push_back(d);
    }
    return out;
}

// The name of the map above the iSCSI disks ("" when there is none).
std::string iscsiMap() {
    std::vector<std::string> disks = iscsiDisks();
    std::vector<std::string> holders = disks.empty() ? disks : zk::listDir("/sys/block/" + disks[0] + "/holders");
    return holders.size() == 1 ? zk::readFile("/sys/block/" + holders[0] + "/dm/name") : "";
}

// The peers' answers and zodisk's in one state of the fabric, each asked
// once.
struct Answers {
    json subsys;             // nvme list-subsys -o json
    json listV;              // nvme list -v -o json
    std::string iscsiadm;    // iscsiadm -m session -P3
    std::string mpathLl;     // multipath -ll
    json lsblk;              // lsblk -J -l
    json ports, list, show;  // zodisk's
};

const char kListColumns[] =
    "KNAME,TRAN,STATE,HCTL,MODEL,SERIAL,REV,TARGET,"
    "PORTAL,SESSION,PORTSTATE,CTRL,ANA";

Answers answers(const std::string& map) {
    Answers a;
    a.subsys = json::parse(zk::runOk("nvme list-subsys -o json"), nullptr, false);
    a.listV = json::parse(zk::runOk("nvme list -v -o json"), nullptr, false);
    a.iscsiadm = zk::runOk("iscsiadm -m session -P3");
    a.mpathLl = zk::runOk("/usr/sbin/multipath -ll");
    a.lsblk = json::parse(zk::runOk("lsblk -J -l -o KNAME,TRAN,STATE,HCTL"), nullptr, false);
    a.ports = zk::zodiskJson("ports");
    a.list = zk::zodiskJson(std::string("list -o ") + kListColumns);
    a.show = zk::zodiskJson("show /dev/mapper/" + map + " /dev/nvme0n1 /dev/nvme0n2");
    return a;
}

// The member key of an object, null when v is no object or lacks it.
const json& at(const json& v, const char* key) {
    static const json null;
    if (!v.is_object()) return null;
    auto it = v.find(key);
    return it == v.end() ? null : *it;
}

// The first element of an array, null when there is none.
const json& first(const json& v) {
    static const json null;
    return v.is_array() && !v.empty() ? v[0] : null;
}

// The elements of a JSON array (none for anything else).
const json& items(const json& v) {
    static const json none = json::array();
    return v.is_array() ? v : none;
}

// The key=value fields of an NVMe controller's address ("traddr=127.0.0.1,
// trsvcid=4420,src_addr=127.0.0.1").
std::map<std::string, std::string> addressFields(const std::string& address) {
    std::map<std::string, std::string> out;
    std::stringstream in(address);
    for (std::string f; std::getline(in, f, ',');)
        if (f.find('=') != std::string::npos)
            out[zo_str::trimmed(f.substr(0, f.find('=')))] = zo_str::trimmed(f.substr(f.find('=') + 1));
    return out;
}

std::string field(const std::map<std::string, std::string>& m, const std::string& key) {
    auto it = m.find(key);
    return it == m.end() || it->second.empty() ? "-" : it->second;
}

// Each NVMe controller as "name transport traddr:trsvcid local state NQN",
// local being the host address the controller connects from.
std::vector<std::string> peerControllers(const json& subsys, std::map<std::string, std::string>* states) {
    std::vector<std::string> out;
    for (const json& host : items(subsys))
        for (const json& s : items(at(host, "Subsystems")))
            for (const json& p : items(at(s, "Paths"))) {
                auto a = addressFields(text(at(p, "Address")));
                const std::string local =
                    field(a, "host_traddr") != "-" ? field(a, "host_traddr") : field(a, "src_addr");
                out.push_back(text(at(p, "Name")) + " " + text(at(p, "Transport")) + " " + field(a, "traddr") + ":" +
                              field(a, "trsvcid") + " " + local + " " + text(at(p, "State")) + " " +
                              text(at(s, "NQN")));
                (*states)[text(at(p, "Name"))] = text(at(p, "State"));
            }
    return out;
}

std::vector<std::string> ourControllers(const json& ports) {
    std::vector<std::string> out;
    for (const json& p : items(at(ports, "ports")))
        if (at(p, "type") == "nvme")
            out.push_back(text(at(p, "port")) + " " + text(at(p, "transport")) + " " + text(at(p, "address")) + " " +
                          text(at(p, "local")) + " " + text(at(p, "state")) + " " + text(at(p, "remote")));
    return out;
}

// One NVMe path device as the peers give it.
struct NvmePath {
    std::string head, controller, address, ana, state;
};

// The path devices of each namespace head in multipath -ll's NVMe section
// ("uuid.... [nvme]:nvme0n1 ...", then "0:1:1 nvme0c1n1 0:0 n/a
// non-optimized live"), by path name.
std::map<std::string, std::string> headsOfPaths(const std::string& mpathLl) {
    std::map<std::string, std::string> out;
    std::string head;
    for (const std::string& l : zk::lines(mpathLl)) {
        const size_t tag = l.find("[nvme]:");
        if (tag != std::string::npos) head = zk::words(l.substr(tag + 7))[0];
        std::vector<std::string> w = zk::words(l.substr(std::min(l.find_first_of("0123456789"), l.size())));
        if (w.size() >= 2 && std::count(w[0].begin(), w[0].end(), ':') == 2 && w[1].compare(0, 4, "nvme") == 0)
            out[w[1]] = head;
    }
    return out;
}

// Every NVMe path device: its head (multipath -ll), controller, address and
// ANA state (nvme list -v) and controller state (nvme list-subsys).
std::map<std::string, NvmePath> peerNvmePaths(const Answers& a, const std::map<std::string, std::string>& states) {
    std::map<std::string, NvmePath> out;
    const std::map<std::string, std::string> heads = headsOfPaths(a.mpathLl);
    for (const json& d : items(at(a.listV, "Devices")))
        for (const json& s : items(at(d, "Subsystems")))
            for (const json& c : items(at(s, "Controllers")))
                for (const json& p : items(at(c, "Paths"))) {
                    NvmePath& n = out[text(at(p, "Path"))];
                    n.controller = text(at(c, "Controller"));
                    n.address = text(at(c, "Address"));
                    n.ana = text(at(p, "ANAState"));
                    auto st = states.find(n.controller);
                    n.state = st == states.end() ? "-" : st->second;
                    auto h = heads.find(text(at(p, "Path")));
                    n.head = h == heads.end() ? "-" : h->second;
                }
    return out;
}

// A JSON array of texts joined by ",", or the text of anything else.
std::string joined(const json& v) {
    if (!v.is_array()) return text(v);
    std::string out;
    for (const json& e : v) out += (out.empty() ? "" : ",") + text(e);
    return out;
}

// Compares list's fabric columns and product of each namespace head with
// nvme list -v (subsystem NQN, model, serial, firmware of its controllers)
// and its paths as the peers give them (byHead, in path order).
void compareNvmeHeads(const Answers& a, const std::map<std::string, std::vector<const NvmePath*>>& byHead,
                      const std::string& phase) {
    std::map<std::string, std::string> product;  // head -> "NQN model serial firmware"
    for (const json& d : items(at(a.listV, "Devices")))
        for (const json& s : items(at(d, "Subsystems"))) {
            const json& c = items(at(s, "Controllers")).empty() ? json() : at(s, "Controllers")[0];
            for (const json& n : items(at(s, "Namespaces")))
                product[text(at(n, "NameSpace"))] = text(at(s, "SubsystemNQN")) + " " + text(at(c, "ModelNumber")) +
                                                    " " + text(at(c, "SerialNumber")) + " " + text(at(c, "Firmware"));
        }
    std::vector<std::string> theirs, mine;
    for (const auto& h : byHead) {
        std::string ctrl, portal, state, ana;
        for (const NvmePath* p : h.second) {
            auto addr = addressFields(p->address);
            const char* sep = ctrl.empty() ? "" : ",";
            ctrl += sep + p->controller;
            portal += sep + field(addr, "traddr") + ":" + field(addr, "trsvcid");
            state += sep + p->state;
            ana += sep + p->ana;
        }
        theirs.push_back(h.first + " " + product[h.first] + " ctrl=" + ctrl + " portal=" + portal +
                         " portstate=" + state + " ana=" + ana);
    }
    for (const json& d : items(at(a.list, "blockdevices")))
        if (byHead.count(text(at(d, "kname"))))
            mine.push_back(text(at(d, "kname")) + " " + text(at(d, "target")) + " " + text(at(d, "model")) + " " +
                           text(at(d, "serial")) + " " + text(at(d, "rev")) + " ctrl=" + joined(at(d, "ctrl")) +
                           " portal=" + joined(at(d, "portal")) + " portstate=" + joined(at(d, "portstate")) +
                           " ana=" + joined(at(d, "ana")));
    EXPECT_TRUE(zk::same("NVMe namespace heads (zodisk list), " + phase, "nvme list -v -o json, list-subsys",
                         zk::joinSorted(theirs), zk::joinSorted(mine)));
}

// Compares zodisk ports' NVMe controllers with nvme list-subsys, show's
// paths of each namespace head with nvme list -v, list-subsys and multipath
// -ll, list's fabric columns of each head with the same, and each head's
// subsystem, model, serial and firmware with nvme list -v. Returns how many
// controllers and paths were compared.
std::pair<size_t, size_t> compareNvme(const Answers& a, const std::string& phase) {
    std::map<std::string, std::string> states;
    std::vector<std::string> controllers = peerControllers(a.subsys, &states);
    EXPECT_TRUE(zk::same("NVMe controllers, " + phase, "nvme list-subsys -o json", zk::joinSorted(controllers),
                         zk::joinSorted(ourControllers(a.ports))));
    const std::map<std::string, NvmePath> paths = peerNvmePaths(a, states);
    std::vector<std::string> theirs, mine;
    std::map<std::string, std::vector<const NvmePath*>> byHead;
    for (const auto& p : paths) {
        theirs.push_back(p.second.head + ":" + p.first + " " + p.second.controller + " " + p.second.address + " " +
                         p.second.ana + " " + p.second.state);
        byHead[p.second.head].push_back(&p.second);
    }
    for (const json& d : items(at(a.show, "devices")))
        for (const json& p : items(at(at(d, "nvme"), "paths")))
            mine.push_back(text(at(d, "kname")) + ":" + text(at(p, "name")) + " " + text(at(p, "controller")) + " " +
                           text(at(p, "address")) + " " + text(at(p, "ana_state")) + " " + text(at(p, "state")));
    EXPECT_TRUE(zk::same("NVMe paths (zodisk show), " + phase, "nvme list -v -o json, list-subsys, multipath -ll",
                         zk::joinSorted(theirs), zk::joinSorted(mine)));
    compareNvmeHeads(a, byHead, phase);
    return {controllers.size(), paths.size()};
}
// One device as "kname tran=... state=...": the transport where the peer
// names one, the state of the SCSI devices (lsblk's STATE is the SCSI
// device's); peer is the peer's row, row the peer's or zodisk's.
std::string transportAndState(const json& peer, const json& row) {
    std::string out = text(at(peer, "kname"));
    if (!at(peer, "tran").is_null()) out += " tran=" + text(at(row, "tran"));
    if (!at(peer, "hctl").is_null()) out += " state=" + text(at(row, "state"));
    return out;
}

// Compares list's transports and states of every device lsblk lists with
// lsblk's; the transport of a namespace head is its controllers' as nvme
// list-subsys gives it (lsblk gives "nvme" for a head, whatever the
// fabric). Returns how many devices were compared.
size_t compareTransportsAndStates(const Answers& a, const std::string& phase) {
    std::map<std::string, std::string> nvme;  // "nvme-subsys0" -> "tcp"
    for (const json& host : items(a.subsys))
        for (const json& s : items(at(host, "Subsystems")))
            for (const json& p : items(at(s, "Paths"))) nvme[text(at(s, "Name"))] = text(at(p, "Transport"));
    std::map<std::string, json> byName;
    for (const json& d : items(at(a.list, "blockdevices"))) byName[text(at(d, "kname"))] = d;
    std::vector<std::string> theirs, mine;
    std::set<std::string> seen;
    for (json p : items(at(a.lsblk, "blockdevices"))) {
        const std::string kname = text(at(p, "kname"));
        if (!seen.insert(kname).second) continue;  // a map, under each path
        std::error_code ec;
        auto sub = nvme.find(std::filesystem::read_symlink("/sys/block/" + kname + "/device", ec).filename());
        if (kname.compare(0, 4, "nvme") == 0 && sub != nvme.end()) p.at("tran") = sub->second;
        auto it = byName.find(kname);
        theirs.push_back(transportAndState(p, p));
        mine.push_back(it == byName.end() ? kname + " (not listed)" : transportAndState(p, it->second));
    }
    EXPECT_TRUE(zk::same("transports and states, " + phase, "lsblk -J -l, nvme list-subsys", zk::joinSorted(theirs),
                         zk::joinSorted(mine)));
    return theirs.size();
}

// One iSCSI session of iscsiadm -m session -P3.
struct IscsiSession {
    std::string target, portal, tpgt, persistent, iface, initiator, sid, state, disk, diskState;
};

// The sessions of iscsiadm -m session -P3, by "session<SID>".
std::map<std::string, IscsiSession> peerSessions(const std::string& p3) {
    std::map<std::string, IscsiSession> out;
    std::vector<IscsiSession> all;
    std::string target;
    for (const std::string& line : zk::lines(p3)) {
        const std::string l = zo_str::trimmed(line);
        const size_t colon = l.find(": ");
        const std::string key = colon == std::string::npos ? l : l.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : zo_str::trimmed(l.substr(colon + 2));
        if (key == "Target") target = zk::words(value)[0];
        if (key == "Current Portal") {  // a new session: "127.0.0.1:3261,2"
            all.emplace_back();
            all.back().target = target;
            all.back().portal = value.substr(0, value.rfind(','));
            all.back().tpgt = value.substr(value.rfind(',') + 1);
        }
        if (all.empty()) continue;
        IscsiSession& s = all.back();
        if (key == "Persistent Portal") s.persistent = value.substr(0, value.rfind(','));
        if (key == "Iface Name") s.iface = value;
        if (key == "Iface Initiatorname") s.initiator = value;
        if (key == "SID") s.sid = value;
        if (key == "iSCSI Session State") s.state = value;
        if (l.compare(0, 19, "Attached scsi disk ") == 0) {  // "Attached scsi disk sdb  State: running"
            std::vector<std::string> w = zk::words(l);
            s.disk = w.size() > 3 ? w[3] : "-";
            s.diskState = w.size() > 5 ? w[5] : "-";
        }
    }
    for (const IscsiSession& s : all) out["session" + s.sid] = s;
    return out;
}

// Compares zodisk ports' iSCSI sessions, list's iSCSI columns of their
// disks and show's iSCSI facts of the map's paths with iscsiadm -m session
// -P3. Returns how many sessions were compared.
size_t compareIscsi(const Answers& a, const std::string& phase) {
    const std::map<std::string, IscsiSession> sessions = peerSessions(a.iscsiadm);
    std::map<std::string, std::string> diskStates;
    for (const json& d : items(at(a.list, "blockdevices"))) diskStates[text(at(d, "kname"))] = text(at(d, "state"));
    std::vector<std::string> peerPorts, ourPorts, peerList, ourList, peerShow, ourShow;
    for (const auto& e : sessions) {
        const IscsiSession& s = e.second;
        peerPorts.push_back(e.first + " " + s.target + " " + s.portal + " " + s.state + " " + s.initiator + " " +
                            s.disk + ":" + s.diskState);
        peerList.push_back(s.disk + " " + s.target + " " + s.portal + " " + e.first + " " + s.state + " " +
                           s.diskState);
        peerShow.push_back(s.disk + " " + e.first + " sid=" + s.sid + " tpgt=" + s.tpgt +
                           " persistent=" + s.persistent + " iface=" + s.iface + " " + s.state);
    }
    for (const json& p : items(at(a.ports, "ports"))) {
        if (at(p, "type") != "iscsi") continue;
        std::string disks;
        for (const json& d : items(at(p, "disks")))
            disks += (disks.empty() ? "" : ",") + text(d) + ":" + diskStates[text(d)];
        ourPorts.push_back(text(at(p, "port")) + " " + text(at(p, "remote")) + " " + text(at(p, "address")) + " " +
                           text(at(p, "state")) + " " + text(at(p, "local")) + " " + disks);
    }
    for (const json& d : items(at(a.list, "blockdevices")))
        if (at(d, "tran") == "iscsi")
            ourList.push_back(text(at(d, "kname")) + " " + text(at(d, "target")) + " " + text(at(d, "portal")) + " " +
                              text(at(d, "session")) + " " + text(at(d, "portstate")) + " " + text(at(d, "state")));
    for (const json& p : items(at(at(first(at(a.show, "devices")), "multipath"), "paths"))) {
        const json& i = at(p, "iscsi");
        ourShow.push_back(text(at(p, "name")) + " " + text(at(i, "session")) + " sid=" + text(at(i, "sid")) +
                          " tpgt=" + text(at(i, "tpgt")) + " persistent=" + text(at(i, "persistent_portal")) +
                          " iface=" + text(at(i, "iface")) + " " + text(at(i, "state")));
    }
    const std::string peer = "iscsiadm -m session -P3";
    EXPECT_TRUE(
        zk::same("iSCSI sessions (zodisk ports), " + phase, peer, zk::joinSorted(peerPorts), zk::joinSorted(ourPorts)));
    EXPECT_TRUE(
        zk::same("iSCSI disks (zodisk list), " + phase, peer, zk::joinSorted(peerList), zk::joinSorted(ourList)));
    EXPECT_TRUE(
        zk::same("iSCSI paths (zodisk show), " + phase, peer, zk::joinSorted(peerShow), zk::joinSorted(ourShow)));
    return sessions.size();
}

// Each path of multipath -ll, dm-multipath's and the NVMe section's alike,
// as "dev dm-state checker-state device-state" ("sdb failed faulty running",
// "nvme0c1n1 n/a non-optimized connecting"), and zodisk show's: the map's
// paths (device-state given as multipath -ll gives it: "offline", else
// "running"), and the heads' paths (ANA state and controller state, as
// multipath -ll gives an NVMe path's). Returns how many paths.
size_t compareMultipathLl(const Answers& a, const std::string& phase) {
    std::vector<std::string> theirs, mine;
    for (const std::string& l : zk::lines(a.mpathLl)) {
        std::vector<std::string> w = zk::words(l.substr(std::min(l.find_first_of("0123456789"), l.size())));
        const long colons = w.empty() ? 0 : std::count(w[0].begin(), w[0].end(), ':');
        if ((colons == 2 || colons == 3) && w.size() >= 6)
            theirs.push_back(w[1] + " " + w[3] + " " + w[4] + " " + w[5]);
    }
    for (const json& d : items(at(a.show, "devices"))) {
        for (const json& p : items(at(at(d, "multipath"), "paths"))) {
            std::string state = text(at(p, "state"));
            if (state != "offline" && state != "-") state = "running";
            mine.push_back(text(at(p, "name")) + " " + text(at(p, "dm_state")) + " " +
                           text(at(at(p, "multipathd"), "checker")) + " " + state);
        }
        for (const json& p : items(at(at(d, "nvme"), "paths")))
            mine.push_back(text(at(p, "name")) + " n/a " + text(at(p, "ana_state")) + " " + text(at(p, "state")));
    }
    EXPECT_TRUE(
        zk::same("multipath -ll paths, " + phase, "multipath -ll", zk::joinSorted(theirs), zk::joinSorted(mine)));
    return theirs.size();
}

// zodisk's JSON with the order of device lists and findings left out.
json ordered(json doc) {
    for (const char* list : {"blockdevices", "findings"}) {
        if (!doc.contains(list)) continue;
        std::vector<json> items(doc[list].begin(), doc[list].end());
        std::sort(items.begin(), items.end(), [](const json& a, const json& b) { return a.dump() < b.dump(); });
        doc[list] = items;
    }
    return doc;
}

// Captures the machine with zodisk snapshot and compares zodisk's answers
// from the capture with its answers from the machine.
void compareWithCapture(const std::string& phase, const std::string& map) {
    const std::string dir = "/tmp/zk-capture";
    zk::runOk("rm -rf " + dir + " && /zo/bin/zodisk snapshot " + dir);
    for (const std::string& args :
         std::vector<std::string>{"-O list", "check", "show /dev/mapper/" + map + " /dev/nvme0n1 /dev/nvme0n2"}) {
        int live = -1, captured = -2;
        json machine = ordered(zk::zodiskJson(args, &live));
        json capture = ordered(zk::zodiskJson("--sysroot " + dir + " " + args, &captured));
        EXPECT_EQ(live, captured) << phase << ": zodisk " << args;
        EXPECT_EQ(machine.dump(1), capture.dump(1)) << phase << ": zodisk " << args << ", machine and capture";
    }
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string tenths(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", seconds);
    return buf;
}

// The host has what the scenario builds: native NVMe multipath with two
// controllers, and two iSCSI paths under one map.
TEST(KernelFabric, ScenarioHasBothFabricsOnTwoPaths) {
    EXPECT_EQ(zk::readFile("/sys/module/nvme_core/parameters/multipath"), "Y");
    EXPECT_EQ(zk::listDir("/sys/class/nvme").size(), 2u);
    for (const char* path : {"nvme0c0n1", "nvme0c1n1", "nvme0c0n2", "nvme0c1n2"})
        EXPECT_TRUE(zk::exists("/sys/block/" + std::string(path))) << path;
    EXPECT_EQ(iscsiDisks().size(), 2u);
    EXPECT_NE(iscsiMap(), "");
}

// Each state of the fabric: every path up, the second path of each fabric
// down (its NVMe controller connecting, its iSCSI session lost and the disk
// transport-offline), and both back.
TEST(KernelFabric, EachStateAnsweredAsThePeersAndACaptureDo) {
    struct Step {
        std::string phase, command;
        bool down;
    };
    const std::vector<Step> steps = {{"every path up", "", false},
                                     {"second paths down", "zo-fabric down nvme && zo-fabric down iscsi", true},
                                     {"paths back", "zo-fabric up nvme && zo-fabric up iscsi", false}};
    const std::string map = iscsiMap();
    ASSERT_NE(map, "");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.phase);
        const auto start = std::chrono::steady_clock::now();
        if (!step.command.empty()) zk::runOk(step.command);
        const double changed = seconds(start);
        std::vector<std::string> nvme = zk::words(zk::runOk("zo-fabric state nvme"));
        std::vector<std::string> iscsi = zk::words(zk::runOk("zo-fabric state iscsi"));
        ASSERT_EQ(nvme.size(), 2u);
        ASSERT_GE(iscsi.size(), 4u);
        ASSERT_EQ(nvme[1], step.down ? "connecting" : "live");
        ASSERT_EQ(iscsi[3], step.down ? "transport-offline" : "running");

        zk::compareKindsOfAllDevices();
        EXPECT_EQ(zk::knames(zk::compareAllDevices(ZoDevice::NVME_DISK, "lsblk (namespace heads)")), "nvme0n1 nvme0n2");
        EXPECT_EQ(zk::compareAllDevices(ZoDevice::SCSI_DISK, "lsblk (iSCSI paths)").size(), 2u);
        EXPECT_EQ(zk::compareAllDevices(ZoDevice::MPIO_DISK, "lsblk (maps)").size(), 1u);
        // Down, check names the lost iSCSI path; up, it finds nothing (once
        // multipathd has taken the path back: its checker says ready).
        int status = -1;
        if (step.down) {
            EXPECT_TRUE(zk::checkNames("/dev/" + iscsi[2], &status));
            EXPECT_EQ(status, 1);
        } else {
            EXPECT_TRUE(zk::waitFor([&] { return !zk::checkNames("/dev/" + iscsi[2], &status) && status == 0; }));
        }
        const Answers a = answers(map);
        const size_t devices = compareTransportsAndStates(a, step.phase);
        const std::pair<size_t, size_t> nvmeCounts = compareNvme(a, step.phase);
        const size_t sessions = compareIscsi(a, step.phase);
        const size_t mpathPaths = compareMultipathLl(a, step.phase);
        EXPECT_EQ(nvmeCounts, std::make_pair(size_t{2}, size_t{4}));
        EXPECT_EQ(sessions, 2u);
        EXPECT_EQ(mpathPaths, 6u);
        // The state with every path up is answered from a capture by the
        // suite's own round trip; the lost paths are what a capture must
        // keep here.
        const double compared = seconds(start);
        if (step.down) compareWithCapture(step.phase, map);
        zk::measure("fabric, " + step.phase,
                    std::to_string(devices) + " block devices (lsblk), " + std::to_string(nvmeCounts.first) +
                        " NVMe controllers, " + std::to_string(nvmeCounts.second) + " NVMe paths, " +
                        std::to_string(sessions) + " iSCSI sessions, " + std::to_string(mpathPaths) +
                        " multipath -ll paths compared; seconds: " + tenths(changed) + " to change, " +
                        tenths(compared - changed) + " to compare, " + tenths(seconds(start) - compared) +
                        " for the capture");
    }
}

}  // namespace
