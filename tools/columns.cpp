// SPDX-License-Identifier: LGPL-2.1-or-later
#include "columns.h"

#include "report.h"
#include "zodisk.h"

#include "ZoHost.h"

#include <sys/stat.h>

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

namespace zodisk {

namespace {

using Style = ValueStyle;
using Inv = ZoHostInventory;
using Fact = ZoInventoryOptions::Fact;

Json str(const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
}

const ZoBlockDevice& dev(const Inv& inv, size_t i) {
    return inv.at(i);
}

// A fact of the device itself, which lsblk leaves empty for a kernel
// partition (a partition map is a device-mapper device of its own).
Json own(const Inv& inv, size_t i, std::string ZoBlockDevice::*field) {
    const ZoBlockDevice& d = inv.at(i);
    return d.partition > 0 && d.dmUuid.empty() ? Json(nullptr) : str(d.*field);
}

// The map's own facts for the MAP and DM columns.
Json mapField(const Inv& inv, size_t i, bool kernelName) {
    size_t m = mapFor(inv, i);
    if (m == ZoBlockDevice::npos)
        return nullptr;
    const ZoBlockDevice& map = inv.at(m);
    return str(kernelName ? map.name : map.dmName);
}

Json pathField(const Inv& inv, size_t i, bool state) {
    const ZoMapPath* p = pathEntry(inv, i);
    if (!p)
        return nullptr;
    if (state)
        return str(p->dmState);
    return p->group > 0 ? Json(p->group) : Json(nullptr);
}

// Facts of the fabric endpoint of a SCSI path (or a partition of one).
const ZoIscsiSession* sessionOf(const Inv& inv, size_t i) {
    const ZoBlockDevice& d = inv.at(i);
    return d.iscsiSession == ZoFabric::npos ? nullptr : &inv.fabric().iscsiSessions[d.iscsiSession];
}
const ZoFcRemotePort* remotePortOf(const Inv& inv, size_t i) {
    const ZoBlockDevice& d = inv.at(i);
    return d.fcRemotePort == ZoFabric::npos ? nullptr : &inv.fabric().fcRemotePorts[d.fcRemotePort];
}

// One value per path of an NVMe namespace; null when it has no path or
// every value is empty.
Json perPath(const Inv& inv, size_t i, std::string (*of)(const Inv&, size_t)) {
    const ZoBlockDevice& d = inv.at(i);
    if (d.partition > 0 && d.dmUuid.empty())
        return nullptr;
    Json a = Json::array();
    bool any = false;
    for (size_t p : d.nvmePaths) {
        a.push_back(of(inv, p));
        any = any || !a.back().get<std::string>().empty();
    }
    return any ? a : Json(nullptr);
}

std::string ctrlField(const Inv& inv, size_t p, std::string ZoNvmeController::*field) {
    const ZoNvmeController* c = controllerOf(inv, p);
    return c ? c->*field : std::string();
}
std::string pathCtrl(const Inv& inv, size_t p) { return ctrlField(inv, p, &ZoNvmeController::name); }
std::string pathCtrlState(const Inv& inv, size_t p) { return ctrlField(inv, p, &ZoNvmeController::state); }
std::string pathAna(const Inv& inv, size_t p) { return inv.fabric().nvmePaths[p].anaState; }
std::string pathPortal(const Inv& inv, size_t p) {
    const ZoNvmeController* c = controllerOf(inv, p);
    return c ? portalOf(*c) : std::string();
}
// The subsystem NQN of a path's controller.
std::string pathNqn(const Inv& inv, size_t p) {
    const ZoNvmeController* c = controllerOf(inv, p);
    if (!c)
        return std::string();
    return c->subsystem != ZoFabric::npos ? inv.fabric().nvmeSubsystems[c->subsystem].nqn : c->subsysNqn;
}

// The endpoint's value of a SCSI path (iSCSI session or FC remote port),
// else the value of each path of an NVMe namespace.
Json endpoint(const Inv& inv, size_t i, std::string ZoIscsiSession::*session,
              std::string ZoFcRemotePort::*rport, std::string (*nvme)(const Inv&, size_t)) {
    const ZoBlockDevice& d = inv.at(i);
    if (d.partition > 0 && d.dmUuid.empty())
        return nullptr;
    if (const ZoIscsiSession* s = session ? sessionOf(inv, i) : nullptr)
        return str(s->*session);
    if (const ZoFcRemotePort* r = rport ? remotePortOf(inv, i) : nullptr)
        return str(r->*rport);
    return nvme ? perPath(inv, i, nvme) : Json(nullptr);
}

// The NQN of an NVMe namespace: one for all its paths.
Json nqnOf(const Inv& inv, size_t i) {
    Json all = perPath(inv, i, pathNqn);
    return all.is_array() ? str(all.front().get<std::string>()) : Json(nullptr);
}

Json pathStr(const Inv& inv, size_t p, std::string (*of)(const Inv&, size_t)) { return str(of(inv, p)); }

const unsigned kEndpoints = Fact::FC_PORTS | Fact::ISCSI_SESSIONS | Fact::NVME_PATHS;

const std::vector<Column> kColumns = {
    {"NAME", "device name (device-mapper name for maps)", false,
     [](const Inv& inv, size_t i, const Style&) {
         const ZoBlockDevice& d = dev(inv, i);
         return str(d.dmName.empty() ? d.name : d.dmName);
     },
     0, [](const Inv& inv, size_t p, const Style&) { return str(inv.fabric().nvmePaths[p].name); }},
    {"KNAME", "kernel name", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).name); }, 0,
     [](const Inv& inv, size_t p, const Style&) { return str(inv.fabric().nvmePaths[p].name); }},
    {"PATH", "device node path", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).path); }},
    {"KIND", "kind of disk of the library: scsi, mpath, xvd, nvme or other", false,
     [](const Inv& inv, size_t i, const Style&) { return Json(kindOf(dev(inv, i))); }},
    {"MAJ:MIN", "major:minor device number", false,
     [](const Inv& inv, size_t i, const Style& s) {
         const ZoBlockDevice& d = dev(inv, i);
         char buf[32];
         std::snprintf(buf, sizeof buf, s.parsable ? "%u:%u" : "%3u:%-3u", d.major, d.minor);
         return Json(buf);
     }},
    {"SIZE", "size of the device", true,
     [](const Inv& inv, size_t i, const Style& s) {
         uint64_t bytes = dev(inv, i).sectors * 512;
         return s.bytes ? Json(bytes) : Json(humanSize(bytes));
     }},
    {"RO", "read-only device", true,
     [](const Inv& inv, size_t i, const Style&) { return Json(dev(inv, i).readOnly); }},
    {"RM", "removable device", true,
     [](const Inv& inv, size_t i, const Style&) { return Json(dev(inv, i).removable); },
     Fact::REMOVABLE},
    {"TYPE", "device type: disk, part, mpath, dm, loop, ...; path for an NVMe path", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).typeName()); }, 0,
     [](const Inv&, size_t, const Style&) { return Json("path"); }},
    {"TRAN", "transport: fc, iscsi, sas, nvme, tcp, rdma, xen, virtio, ...", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).transportName()); }, 0,
     [](const Inv& inv, size_t p, const Style&) {
         const std::string t = ctrlField(inv, p, &ZoNvmeController::transport);
         return str(t == "pcie" ? "nvme" : t);
     }},
    {"DRIVER", "driver of the device: sd, virtio_blk, ...", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).driver); }},
    {"HCTL", "SCSI Host:Channel:Target:Lun", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::hctl); }},
    {"VENDOR", "vendor", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::vendor); },
     Fact::PRODUCT},
    {"MODEL", "model", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::model); },
     Fact::PRODUCT},
    {"REV", "revision", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::revision); },
     Fact::PRODUCT},
    {"SERIAL", "serial number", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::serial); },
     Fact::SERIAL},
    {"WWID", "WWID as multipath.conf names the disk", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).wwid); },
     Fact::IDENTITY},
    {"FSTYPE", "what udev found on the device: ext4, xfs, swap, LVM2_member, mpath_member, ...", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).fsType); }, Fact::FILESYSTEM},
    {"LABEL", "file system label", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).fsLabel); }, Fact::FILESYSTEM},
    {"UUID", "file system UUID", false,
     [](const Inv& inv, size_t i, const Style&) { return str(dev(inv, i).fsUuid); }, Fact::FILESYSTEM},
    {"MOUNTPOINTS", "where the device is mounted; [SWAP] for a swap area", false,
     [](const Inv& inv, size_t i, const Style&) {
         const ZoBlockDevice& d = dev(inv, i);
         return d.mountpoints.empty() ? Json(nullptr) : Json(d.mountpoints);
     },
     Fact::MOUNTS},
    {"STATE", "state of the device: running, offline, live, ...", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::state); },
     Fact::STATE, [](const Inv& inv, size_t p, const Style&) { return pathStr(inv, p, pathCtrlState); }},
    {"FCNODE", "Fibre Channel node name of the remote port", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::fcNodeName); },
     Fact::FC_NODE_NAME},
    {"VOLUME", "cloud volume id of an NVMe disk", false,
     [](const Inv& inv, size_t i, const Style&) { return own(inv, i, &ZoBlockDevice::nvmeVolumeId); },
     Fact::SERIAL},
    {"MAP", "multipath map: the map itself, or the one above the path or partition", false,
     [](const Inv& inv, size_t i, const Style&) { return mapField(inv, i, false); }},
    {"DM", "kernel name of that map (dm-N)", false,
     [](const Inv& inv, size_t i, const Style&) { return mapField(inv, i, true); }},
    {"PGROUP", "path group of a path in its map", true,
     [](const Inv& inv, size_t i, const Style&) { return pathField(inv, i, false); },
     Fact::MAP_STATE},
    {"PSTATE", "state of a path: device-mapper's (active, failed); an NVMe path's ANA state", false,
     [](const Inv& inv, size_t i, const Style&) { return pathField(inv, i, true); },
     Fact::MAP_STATE | Fact::NVME_PATHS,
     [](const Inv& inv, size_t p, const Style&) { return pathStr(inv, p, pathAna); }},
    {"CHECKER", "multipathd's checker state of a path: ready, faulty, shaky, ghost, ...", false,
     [](const Inv& inv, size_t i, const Style&) {
         const ZoPathHealth& h = dev(inv, i).health;
         return h.known ? str(h.checker) : Json(nullptr);
     },
     Fact::PATH_HEALTH},
    {"PRIO", "multipathd's priority of a path", true,
     [](const Inv& inv, size_t i, const Style&) {
         const ZoPathHealth& h = dev(inv, i).health;
         return h.known && h.priority >= 0 ? Json(h.priority) : Json(nullptr);
     },
     Fact::PATH_HEALTH},
    {"TARGET", "remote end: iSCSI target name, FC remote port WWPN, NVMe subsystem NQN", false,
     [](const Inv& inv, size_t i, const Style&) {
         Json v = endpoint(inv, i, &ZoIscsiSession::targetName, &ZoFcRemotePort::portName, nullptr);
         return v.is_null() ? nqnOf(inv, i) : v;
     },
     kEndpoints, [](const Inv& inv, size_t p, const Style&) { return pathStr(inv, p, pathNqn); }},
    {"PORTAL", "iSCSI portal (address:port); NVMe: each path's traddr:trsvcid", false,
     [](const Inv& inv, size_t i, const Style&) {
         return endpoint(inv, i, &ZoIscsiSession::portal, nullptr, pathPortal);
     },
     Fact::ISCSI_SESSIONS | Fact::NVME_PATHS,
     [](const Inv& inv, size_t p, const Style&) { return pathStr(inv, p, pathPortal); }},
    {"SESSION", "iSCSI session of a path", false,
     [](const Inv& inv, size_t i, const Style&) {
         return endpoint(inv, i, &ZoIscsiSession::name, nullptr, nullptr);
     },
     Fact::ISCSI_SESSIONS},
    {"RPORT", "Fibre Channel remote port of a path", false,
     [](const Inv& inv, size_t i, const Style&) {
         return endpoint(inv, i, nullptr, &ZoFcRemotePort::name, nullptr);
     },
     Fact::FC_PORTS},
    {"PORTSTATE", "state of the path's endpoint: iSCSI session, FC remote port; NVMe: each controller's", false,
     [](const Inv& inv, size_t i, const Style&) {
         return endpoint(inv, i, &ZoIscsiSession::state, &ZoFcRemotePort::portState, pathCtrlState);
     },
     kEndpoints, [](const Inv& inv, size_t p, const Style&) { return pathStr(inv, p, pathCtrlState); }},
    {"CTRL", "NVMe controllers a namespace is reached through", false,
     [](const Inv& inv, size_t i, const Style&) { return perPath(inv, i, pathCtrl); }, Fact::NVME_PATHS,
     [](const Inv& inv, size_t p, const Style&) { return pathStr(inv, p, pathCtrl); }},
    {"ANA", "ANA state of each path of an NVMe namespace: optimized, non-optimized, inaccessible, ...",
     false, [](const Inv& inv, size_t i, const Style&) { return perPath(inv, i, pathAna); },
     Fact::NVME_PATHS, [](const Inv& inv, size_t p, const Style&) { return pathStr(inv, p, pathAna); }},
    {"PROBLEMS", "facts that could not be read", false,
     [](const Inv& inv, size_t i, const Style&) {
         const ZoBlockDevice& d = dev(inv, i);
         return d.problems.empty() ? Json(nullptr) : Json(d.problems);
     },
     Fact::ALL_FACTS},  // every fact is tried, so that none unreadable goes untold
};

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// Length of the well-formed UTF-8 sequence at s[i], or 0.
size_t utf8Length(const std::string& s, size_t i) {
    unsigned char c = s[i];
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (c >= 0xF5 || i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    return n;
}

}  // namespace

const std::vector<Column>& allColumns() {
    return kColumns;
}

const Column* findColumn(const std::string& name) {
    for (const Column& c : kColumns)
        if (sameName(c.name, name))
            return &c;
    return nullptr;
}

std::string jsonKey(const Column& c) {
    std::string key = c.name;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char ch) { return std::tolower(ch); });
    return key;
}

std::string textOf(const Json& v) {
    if (v.is_null())
        return "";
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_boolean())
        return v.get<bool>() ? "1" : "0";
    if (v.is_array()) {
        std::string s;
        for (const Json& e : v)
            s += (s.empty() ? "" : "; ") + textOf(e);
        return s;
    }
    return v.dump();
}

std::string escape(const std::string& s, Escape how, bool utf8) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = s[i];
        bool hex = c < 0x20 || c == 0x7f;
        if (c >= 0x80) {
            size_t n = how == Escape::Table && utf8 ? utf8Length(s, i) : 0;
            if (n) {
                out.append(s, i, n);
                i += n - 1;
                continue;
            }
            hex = true;
        }
        if (how != Escape::Table && c == '\\')
            hex = true;
        if ((how == Escape::Raw && c == ' ') || (how == Escape::Pairs && c == '"'))
            hex = true;
        if (!hex) {
            out += static_cast<char>(c);
            continue;
        }
        char buf[5];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    }
    return out;
}

std::string humanSize(uint64_t bytes) {
    int exp = 0;
    while (exp < 60 && bytes >= (1ULL << (exp + 10)))
        exp += 10;
    uint64_t whole = bytes >> exp;
    uint64_t frac = exp ? bytes & ((1ULL << exp) - 1) : 0;
    // One digit after the point, rounded half up; 0.95 and more carry over.
    unsigned tenth = 0;
    if (frac) {
        uint64_t thousandths = frac >= UINT64_MAX / 1000
                                   ? ((frac / 1024) * 1000) / (1ULL << (exp - 10))
                                   : (frac * 1000) / (1ULL << exp);
        tenth = static_cast<unsigned>((thousandths + 50) / 100);
        if (tenth == 10) {
            ++whole;
            tenth = 0;
        }
    }
    std::string s = std::to_string(whole);
    if (tenth)
        s += "." + std::to_string(tenth);
    return s + "BKMGTPE"[exp / 10];
}

bool readInventory(ZoHostInventory* inv, unsigned facts) {
    ZoInventoryOptions options;
    options.facts = facts;
    ZoResult<ZoHostInventory> read = ZoHostInventory::read(options);
    if (read) {
        *inv = std::move(*read);
        return true;
    }
    Output::error("cannot read the block devices: " + read.error().AsString());
    return false;
}

size_t findNamed(const ZoHostInventory& inv, const std::string& name, std::string* why) {
    size_t i = ZoBlockDevice::npos;
    if (name.empty()) {
        *why = "not a block device";
        return i;
    }
    if (name.find('/') == std::string::npos) {
        i = inv.byName(name);
        for (size_t k = 0; i == ZoBlockDevice::npos && k < inv.devices().size(); ++k)
            if (inv.at(k).dmName == name)
                i = k;
        if (i != ZoBlockDevice::npos)
            return i;
    }
    std::string path = name.find('/') == std::string::npos ? "/dev/" + name : name;
    i = inv.find(path);
    if (i != ZoBlockDevice::npos)
        return i;
    struct stat st;
    int rc = ZoHost::current()->stat(path, &st);
    if (rc == ENOENT || rc == ENOTDIR)
        *why = "no such device";
    else if (rc != 0)
        *why = std::strerror(rc);
    else if (!S_ISBLK(st.st_mode))
        *why = "not a block device";
    else
        *why = "block device " + std::to_string(major(st.st_rdev)) + ":" +
               std::to_string(minor(st.st_rdev)) + " is not in the kernel's list";
    return ZoBlockDevice::npos;
}

int namedStatus(size_t named, size_t missing) {
    return missing == 0 ? EXIT_OK : missing < named ? EXIT_SOME_FOUND : EXIT_NONE_FOUND;
}

std::string kindOf(const ZoBlockDevice& d) {
    return kindName(d.kind, "other");
}

std::string deviceInWords(const ZoBlockDevice& d) {
    switch (d.kind) {
    case ZoDevice::NVME_DISK:
        return "an NVMe namespace";
    case ZoDevice::XVD_DISK:
        return "a Xen virtual disk";
    case ZoDevice::SCSI_DISK:
        return "a SCSI disk";
    case ZoDevice::MPIO_DISK:
        return "a multipath map";
    default:
        return d.type == ZoBlockType::DISK && !d.driver.empty() ? "a " + d.driver + " disk"
                                                                : "a " + d.typeName() + " device";
    }
}

bool isMap(const ZoBlockDevice& d) {
    return d.type == ZoBlockType::MPATH;
}

size_t mapFor(const ZoHostInventory& inv, size_t index) {
    const ZoBlockDevice& d = inv.at(index);
    if (isMap(d))
        return index;
    if (d.whole != ZoBlockDevice::npos && isMap(inv.at(d.whole)))
        return d.whole;
    return inv.mapOf(index);
}

const ZoMapPath* pathEntry(const ZoHostInventory& inv, size_t index) {
    size_t m = inv.mapOf(index);
    if (m == ZoBlockDevice::npos)
        return nullptr;
    const ZoBlockDevice& d = inv.at(index);
    for (const ZoMapPath& p : inv.at(m).map.paths)
        if (p.major == d.major && p.minor == d.minor)
            return &p;
    return nullptr;
}

const ZoNvmeController* controllerOf(const ZoHostInventory& inv, size_t path) {
    const size_t c = inv.fabric().nvmePaths.at(path).controller;
    return c == ZoFabric::npos ? nullptr : &inv.fabric().nvmeControllers[c];
}

std::string portalOf(const ZoNvmeController& c) {
    if (c.trsvcid.empty())
        return c.traddr;
    return (c.traddr.find(':') != std::string::npos ? "[" + c.traddr + "]" : c.traddr) + ":" + c.trsvcid;
}

std::vector<size_t> headPaths(const ZoHostInventory& inv, size_t index) {
    const ZoBlockDevice& d = inv.at(index);
    for (size_t p : d.nvmePaths)
        if (d.partition == 0 && inv.fabric().nvmePaths[p].name != d.name)
            return d.nvmePaths;
    return {};
}

const ZoMapGroup* groupOf(const ZoMapState& map, int number) {
    for (const ZoMapGroup& g : map.groups)
        if (g.number == number)
            return &g;
    return nullptr;
}

bool Printer::configure(const Options& opts, const std::vector<const char*>& defaults,
                        std::string* error) {
    mode = opts.json ? JSON : opts.pairs ? PAIRS : opts.raw ? RAW : TABLE;
    headings = !opts.noHeadings;
    utf8 = localeIsUtf8();
    asciiTree = opts.ascii || !utf8;
    style.bytes = opts.bytes;
    style.parsable = mode != TABLE;
    columns.clear();
    std::string list = opts.columns;
    if (opts.allColumns || (mode == JSON && !opts.columnsGiven)) {
        for (const Column& c : kColumns)
            columns.push_back(&c);
        return true;
    }
    if (!opts.columnsGiven || list[0] == '+') {
        for (const char* name : defaults)
            columns.push_back(findColumn(name));
        if (!list.empty())
            list.erase(0, 1);
    }
    if (!opts.columnsGiven)
        return true;
    // Every name between commas must be a column, as lsblk has it: an empty
    // list or an empty name is refused, not read as the defaults.
    for (size_t pos = 0;;) {
        size_t comma = std::min(list.find(',', pos), list.size());
        std::string name = list.substr(pos, comma - pos);
        const Column* c = name.empty() ? nullptr : findColumn(name);
        if (!c) {
            *error = name.empty() ? "-o '" + opts.columns + "': empty column name"
                                  : "unknown column: " + name;
            return false;
        }
        columns.push_back(c);
        if (comma == list.size())
            return true;
        pos = comma + 1;
    }
}

unsigned Printer::facts() const {
    unsigned facts = 0;
    for (const Column* c : columns)
        facts |= c->facts;
    return facts;
}

namespace {

// The JSON key of each chosen column, a column chosen twice once, at its
// first place (where assigning each key in turn leaves it).
std::vector<std::pair<std::string, const Column*>> keysOf(const std::vector<const Column*>& columns) {
    std::vector<std::pair<std::string, const Column*>> keys;
    for (const Column* c : columns) {
        std::string key = jsonKey(*c);
        if (std::none_of(keys.begin(), keys.end(), [&](const auto& k) { return k.first == key; }))
            keys.emplace_back(std::move(key), c);
    }
    return keys;
}

// An object of the keys' values, value(column) each. The members are
// appended, not looked up one by one: an object of every column is built in
// time linear in the columns.
template <class Value>
Json objectOf(const std::vector<std::pair<std::string, const Column*>>& keys, Value value) {
    Json o = Json::object();
    Json::object_t& members = o.get_ref<Json::object_t&>();
    members.reserve(keys.size());
    for (const auto& k : keys)
        members.emplace_back(k.first, value(*k.second));
    return o;
}

}  // namespace

Json Printer::object(const ZoHostInventory& inv, size_t index) const {
    return objectOf(keysOf(columns), [&](const Column& c) { return c.value(inv, index, style); });
}

Json Printer::cell(const ZoHostInventory& inv, const Node& n, const Column& c) const {
    if (n.nvmePath == ZoFabric::npos)
        return c.value(inv, n.index, style);
    return c.pathValue ? c.pathValue(inv, n.nvmePath, style) : Json(nullptr);
}

namespace {

// JSON text as Output::json prints it (indented by two, invalid UTF-8
// replaced), written piece by piece: a listing of thousands of devices is
// never held as one document.
class JsonWriter {
public:
    explicit JsonWriter(std::string* out) : m_out(*out) {}
    void indent(size_t level) { m_out.append(2 * level, ' '); }
    void raw(const char* text) { m_out += text; }
    // A member's key and value at level, the value's own lines indented to
    // match.
    void member(const std::string& quotedKey, const Json& value, size_t level) {
        indent(level);
        m_out += quotedKey;
        m_out += ": ";
        if (!value.is_structured()) {
            scalar(value);
            return;
        }
        // A string's line breaks are escaped: every break in the text
        // starts one of the value's lines.
        for (char c : value.dump(2, ' ', false, Json::error_handler_t::replace)) {
            m_out += c;
            if (c == '\n')
                indent(level);
        }
    }
    // A scalar as Json::dump gives it; printable ASCII text, numbers,
    // booleans and null are written here, the rest by dump.
    void scalar(const Json& value) {
        switch (value.type()) {
        case Json::value_t::null: m_out += "null"; return;
        case Json::value_t::boolean: m_out += value.get<bool>() ? "true" : "false"; return;
        case Json::value_t::number_unsigned: m_out += std::to_string(value.get<uint64_t>()); return;
        case Json::value_t::number_integer: m_out += std::to_string(value.get<int64_t>()); return;
        case Json::value_t::string: {
            const std::string& text = value.get_ref<const std::string&>();
            if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; })) {
                m_out += '"';
                m_out += text;
                m_out += '"';
                return;
            }
            break;
        }
        default: break;
        }
        m_out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    static std::string quoted(const std::string& key) {
        return Json(key).dump(-1, ' ', false, Json::error_handler_t::replace);
    }

private:
    std::string& m_out;
};

}  // namespace

void Printer::writeJson(const ZoHostInventory& inv, const std::vector<Node>& nodes, Output& out) const {
    std::vector<std::pair<std::string, const Column*>> keys = keysOf(columns);
    for (auto& k : keys)
        k.first = JsonWriter::quoted(k.first);
    const std::string children = JsonWriter::quoted("children");
    std::string text;
    JsonWriter w(&text);
    std::function<void(const Node&, size_t)> one = [&](const Node& n, size_t level) {
        w.indent(level);
        if (keys.empty() && n.children.empty())
            return w.raw("{}");
        w.raw("{\n");
        for (size_t i = 0; i < keys.size(); ++i) {
            w.member(keys[i].first, cell(inv, n, *keys[i].second), level + 1);
            w.raw(i + 1 < keys.size() || !n.children.empty() ? ",\n" : "\n");
        }
        if (!n.children.empty()) {
            w.indent(level + 1);
            text += children;
            w.raw(": [\n");
            for (size_t i = 0; i < n.children.size(); ++i) {
                one(n.children[i], level + 2);
                w.raw(i + 1 < n.children.size() ? ",\n" : "\n");
            }
            w.indent(level + 1);
            w.raw("]\n");
        }
        w.indent(level);
        w.raw("}");
    };
    // Written out a piece at a time, not held whole.
    const size_t kPiece = 1 << 16;
    w.raw("{\n  \"blockdevices\": [");
    for (size_t i = 0; i < nodes.size(); ++i) {
        w.raw(i ? ",\n" : "\n");
        one(nodes[i], 2);
        if (text.size() >= kPiece) {
            out.text(text);
            text.clear();
        }
    }
    w.raw(nodes.empty() ? "]\n}\n" : "\n  ]\n}\n");
    out.text(text);
}

std::string Printer::text(const ZoHostInventory& inv, const std::vector<Node>& nodes) const {
    // No device, no header either (as lsblk).
    if (nodes.empty())
        return "";
    // Each line's escaped cells, the first with its tree prefix.
    std::vector<std::vector<std::string>> rows;
    if (headings && mode != PAIRS) {
        rows.emplace_back();
        for (const Column* c : columns)
            rows.back().push_back(c->name);
    }
    Escape how = mode == RAW ? Escape::Raw : mode == PAIRS ? Escape::Pairs : Escape::Table;
    const char* branch = asciiTree ? "|-" : "├─";
    const char* lastBranch = asciiTree ? "`-" : "└─";
    const char* through = asciiTree ? "| " : "│ ";
    std::function<void(const Node&, const std::string&, const std::string&)> add =
        [&](const Node& n, const std::string& prefix, const std::string& mark) {
            rows.emplace_back();
            for (const Column* c : columns) {
                std::string cell = escape(textOf(this->cell(inv, n, *c)), how, utf8);
                if (mode == PAIRS)
                    cell = std::string(c->name) + "=\"" + cell + "\"";
                else if (mode == TABLE && rows.back().empty())
                    cell = prefix + mark + cell;
                rows.back().push_back(cell);
            }
            std::string inner = prefix + (mark.empty() ? "" : mark == lastBranch ? "  " : through);
            for (size_t k = 0; k < n.children.size(); ++k)
                add(n.children[k], inner, k + 1 == n.children.size() ? lastBranch : branch);
        };
    for (const Node& n : nodes)
        add(n, "", "");

    std::vector<size_t> widths(columns.size(), 0);
    if (mode == TABLE)
        for (const auto& row : rows)
            for (size_t k = 0; k < row.size(); ++k)
                widths[k] = std::max(widths[k], displayWidth(row[k]));
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t k = 0; k < row.size(); ++k) {
            std::string pad(widths[k] - std::min(widths[k], displayWidth(row[k])), ' ');
            line += (k ? " " : "") + (columns[k]->right ? pad + row[k] : row[k] + pad);
        }
        if (mode == TABLE)
            line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

}  // namespace zodisk
