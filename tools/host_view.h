// SPDX-License-Identifier: LGPL-2.1-or-later
// A host as it is compared over time: its multipath maps and the disks no
// map holds, the fabric endpoints under them, each under its identity rather
// than its kernel name (kernel names move between boots), with the facts a
// person follows between two moments, and the configuration entries
// multipath reads.
//
// Identity: a map is its WWID; a path is its map's WWID and its place
// (H:C:T:L, or the kernel name when it has none); a disk no map holds is
// its WWID and H:C:T:L, its WWID, or its kernel name, whichever it has
// first; a path of an NVMe namespace reached through several controllers
// is the namespace's WWID and the controller's transport endpoint. A Fibre
// Channel host port is its WWPN, a remote port its WWPN and its host port's,
// an iSCSI session its target, persistent portal and interface. Kernel
// minor numbers, the order of sysfs entries and times are no part of a
// view, so they never show as a change.
//
// The facts compared, printed as metrics and watched are one table
// (viewFacts()): a new fact of the inventory is one row there.
#pragma once

#include "ZoHostInventory.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace zodisk {

// What a fact belongs to (bits).
enum FactHolder : unsigned {
    ON_PATH = 1,        // a path of a multipath map
    ON_MAP = 2,
    ON_DISK = 4,        // a disk no map holds
    ON_NVME_PATH = 8,   // a path of an NVMe namespace (through one controller)
    ON_ENDPOINT = 16,   // a Fibre Channel port or an iSCSI session
};

struct ViewFact {
    const char* key;     // JSON key and metric name part: "dm_state"
    const char* words;   // in messages: "device-mapper state"
    unsigned holders;    // FactHolder bits
    // The fact of the device at index; none when it is not known (a
    // capture without the map's status, an attribute the kernel lacks).
    // An unknown fact is no change. Null for the facts of NVMe paths and
    // endpoints, which viewOf() takes from the fabric.
    std::optional<std::string> (*value)(const ZoHostInventory& inv, size_t index);
    // The change kind a difference of this fact is reported as.
    const char* change;
    // Exported as a state set, zodisk_path_<key>{state="..."} for a path of
    // a map, zodisk_nvme_path_<key> for a path of an NVMe namespace, the
    // endpoint's family for an endpoint: the values listed always (0 or 1),
    // any other value when it is the holder's (1). No metric when false.
    bool metric = false;
    std::vector<const char*> states = {};
    // The value as a person reads it; null: as it is ("none" when empty).
    std::string (*show)(const std::string& value) = nullptr;
};

// Every fact, in the order messages and metrics name them.
const std::vector<ViewFact>& viewFacts();
// The fact with this key; it must exist.
const ViewFact& viewFact(const char* key);
// The value of a fact as a person reads it.
std::string showFact(const ViewFact& fact, const std::string& value);

// The known facts by key.
using FactValues = std::map<std::string, std::string>;

struct ViewPath {
    std::string key;    // H:C:T:L (or the kernel name); NVMe: the controller's endpoint
    std::string name;   // kernel name, "sdc", "nvme0c1n1"
    FactValues facts;
    std::string controller;   // NVMe: the controller's kernel name, "nvme1"
};

struct ViewPartition {
    int number = 0;
    uint64_t start = 0;     // in 512-byte sectors; 0 when not known
    uint64_t sectors = 0;
};

// A multipath map with its paths, or a disk no map holds (an NVMe namespace
// of several controllers with its paths).
struct ViewUnit {
    bool map = false;
    std::string key;        // identity (see above)
    std::string name;       // a map's device-mapper name, a disk's kernel name
    std::string kname;      // kernel name: "dm-0", "sdb"
    std::string wwid;
    std::string place;      // a disk's H:C:T:L
    FactValues facts;
    std::vector<ViewPath> paths;            // by key
    std::vector<ViewPartition> partitions;  // by number
    // The device numbers of the unit, its paths and partitions.
    std::vector<std::pair<unsigned, unsigned>> numbers;

    // Paths whose device-mapper state is "active".
    size_t activePaths() const;
    const ViewPath* path(const std::string& key) const;
};

// One entry of the multipath configuration.
struct ConfigEntry {
    std::string what;   // "blacklist exception" or "multipath block"
    std::string wwid;
    std::string file;   // "/etc/multipath.conf", "/etc/multipath/conf.d/site.conf"
    bool operator<(const ConfigEntry& o) const {
        return std::tie(what, wwid, file) < std::tie(o.what, o.wwid, o.file);
    }
};

// A Fibre Channel host or remote port, or an iSCSI session.
struct ViewEndpoint {
    std::string key;        // identity (see above)
    std::string name;       // kernel name: "host3", "rport-3:0-0", "session1"
    std::string noun;       // "Fibre Channel port", "Fibre Channel remote port", "iSCSI session"
    std::string identity;   // as a person reads it: a WWPN, "TARGET at PORTAL"
    std::string metric;     // its metrics' prefix: "zodisk_fc_host", "zodisk_iscsi"
    std::vector<std::pair<std::string, std::string>> labels;   // its metrics' labels
    FactValues facts;
};

struct HostView {
    std::map<std::string, ViewUnit> units;   // by key
    std::map<std::string, ViewEndpoint> endpoints;   // by key
    std::vector<ConfigEntry> config;          // sorted, each once
    // The identities of every path ("<wwid>@<key>"), and of every disk no
    // map holds that has a WWID and a place: a device that moves into a map
    // or out of it keeps its identity.
    std::map<std::string, std::string> pathOwners;   // identity -> unit key
};

// The units of an inventory: every multipath map, and every disk (type
// "disk") that no map holds, with their partitions; and the endpoints of
// its fabric (those the inventory read). Loop devices, optical drives and
// device-mapper devices that are no multipath map are left out.
HostView viewOf(const ZoHostInventory& inv);

// The configuration entries multipath reads on the current host:
// /etc/multipath.conf and the *.conf files of its configuration
// directories (zo_mpconf::readAllConf). A file that is missing gives none;
// *why is set when a file exists but cannot be read.
std::vector<ConfigEntry> readConfigEntries(std::string* why);

// The identity of a path or of a disk with a WWID and a place.
std::string pathIdentity(const std::string& wwid, const std::string& key);

// Reads the view of the host in root (a host tree), or of the current host
// when root is empty, with its configuration. The current host is the same
// afterwards. What a tree lacks (checkHostTree) is added to *warnings. On
// failure (a tree that stands for no machine, an unreadable block layer or
// configuration) returns false and sets *why.
bool readView(const std::string& root, HostView* view, std::string* why,
              std::vector<std::string>* warnings);

}  // namespace zodisk
