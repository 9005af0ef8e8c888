// SPDX-License-Identifier: LGPL-2.1-or-later
// The whole host as zodisk lists it from the inventory, in every scenario:
// each block device with lsblk's columns (what is on it and where it is
// mounted included), no process spawned by a listing,
// and its system calls per block device reported beside lsblk's.
#include "kernel_support.h"

#include <cctype>
#include <map>
#include <set>

namespace {

using json = nlohmann::json;

// lsblk's columns and the key of the same value in zodisk's JSON ("wwn"
// becomes zodisk's form of a WWID: "3" and the designator in lower case).
const std::vector<std::pair<std::string, std::string>> kColumns = {
    {"maj:min", "maj:min"}, {"size", "size"},     {"ro", "ro"},       {"type", "type"},
    {"hctl", "hctl"},       {"vendor", "vendor"}, {"model", "model"}, {"rev", "rev"},
    {"wwn", "wwid"},        {"fstype", "fstype"}, {"label", "label"}, {"uuid", "uuid"},
    {"mountpoints", "mountpoints"}};

// A value as text; a list (MOUNTPOINTS) its strings joined by ',' (lsblk
// lists an unmounted device's as [null]).
std::string text(const json& v) {
    if (v.is_array()) {
        std::string joined;
        for (const json& e : v)
            if (e.is_string()) joined += (joined.empty() ? "" : ",") + e.get<std::string>();
        return joined.empty() ? "-" : joined;
    }
    if (v.is_null()) return "-";
    return v.is_string() ? zo_str::trimmed(v.get<std::string>()) : v.dump();
}

// One device's columns as "key=value ..." from lsblk's row (peer) or
// zodisk's (row). Vendor, model and revision count for SCSI devices only
// (lsblk also shows a virtio disk's PCI vendor and an NVMe controller's
// model and firmware there);
// the WWID where lsblk knows a WWN.
std::string columns(const json& peer, const json& row) {
    std::string out;
    for (const auto& c : kColumns) {
        if ((c.first == "vendor" || c.first == "model" || c.first == "rev") && peer["hctl"].is_null()) continue;
        if (c.first == "wwn" && peer["wwn"].is_null()) continue;
        std::string v = text(&row == &peer ? peer[c.first] : row[c.second]);
        if (&row == &peer && c.first == "wwn" && v.rfind("0x", 0) == 0) v = "3" + v.substr(2);
        for (char& ch : v) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        out += (out.empty() ? "" : " ") + c.second + "=" + v;
    }
    return out;
}

TEST(KernelHost, EveryBlockDeviceWithLsblksColumns) {
    std::string list = "-o KNAME";
    for (const auto& c : kColumns) list += "," + c.first;
    json peer = json::parse(zk::runOk("lsblk -J -b -l " + list));
    int status = -1;
    json ours = zk::zodiskJson("-b -O list", &status);
    EXPECT_EQ(status, 0);
    std::map<std::string, json> byName;
    for (const json& d : ours["blockdevices"]) byName[d["kname"].get<std::string>()] = d;
    std::set<std::string> seen;
    for (const json& p : peer["blockdevices"]) {
        const std::string kname = p["kname"];
        if (!seen.insert(kname).second) continue;  // a map, listed under each of its paths
        auto it = byName.find(kname);
        EXPECT_TRUE(zk::same(kname, "lsblk -J -b -l", columns(p, p),
                             it == byName.end() ? "(not listed)" : columns(p, it->second)));
    }
    EXPECT_EQ(byName.size(), seen.size()) << "zodisk lists devices lsblk does not";
}

// Counts of strace -c -f's summary: total calls, and the calls that start a
// process (execve beyond the program's own, fork, vfork, clone, clone3).
struct Calls {
    long total = 0, spawns = 0;
};
Calls countCalls(const std::string& command) {
    zk::run("strace -f -c -o /tmp/zk-strace " + command + " >/dev/null");
    Calls calls;
    for (const std::string& l : zk::lines(zk::readFile("/tmp/zk-strace"))) {
        std::vector<std::string> w = zk::words(l);
        if (w.size() < 5 || !std::isdigit(static_cast<unsigned char>(w[0][0]))) continue;
        const std::string& name = w.back();
        long n = std::atol(w[3].c_str());
        if (name == "total") calls.total = n;
        if (name == "execve") calls.spawns += n - 1;
        if (name == "fork" || name == "vfork" || name == "clone" || name == "clone3")
            calls.spawns += n;
    }
    return calls;
}

// Per device: the calls beyond those of the same program printing its
// version (loading, start-up), divided by the number of block devices.
TEST(KernelHost, ListingsSpawnNothingAndTheirCostIsReported) {
    const double devices = static_cast<double>(zk::listDir("/sys/class/block").size());
    const long zodisk = countCalls("/zo/bin/zodisk --version").total;
    const long lsblk = countCalls("lsblk --version").total;
    for (const std::string cmd : {"/zo/bin/zodisk --json list", "/zo/bin/zodisk list", "/zo/bin/zodisk tree",
                                  "lsblk -J -o NAME,TYPE,MAJ:MIN,SIZE,WWN"}) {
        Calls c = countCalls(cmd);
        const long base = cmd[0] == 'l' ? lsblk : zodisk;
        char figures[128];
        std::snprintf(figures, sizeof figures,
                      "%ld system calls, %ld at start-up, %.1f per block device (%g)", c.total,
                      base, static_cast<double>(c.total - base) / devices, devices);
        zk::measure(cmd, figures);
        EXPECT_GT(c.total, 0) << cmd << ": " << zk::readFile("/tmp/zk-stderr");
        if (cmd.find("zodisk") != std::string::npos) {
            EXPECT_EQ(c.spawns, 0) << cmd << " started processes";
        }
    }
}

}  // namespace
