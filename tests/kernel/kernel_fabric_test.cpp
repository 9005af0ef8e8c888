// SPDX-License-Identifier: LGPL-2.1-or-later
// The storage fabric in a real kernel (guest/fabric.sh): NVMe/TCP from the
// kernel's NVMe target under native NVMe multipath (namespace heads nvme0n1
// and nvme0n2, a path device per controller under each) and an iSCSI LU on
// two portals under a dm-multipath map. The second path of each fabric is
// taken down and brought back (zo-fabric down|up nvme|iscsi); in every state
// the library finds the devices and their kinds as lsblk does, gives the
// transports and SCSI states lsblk gives (a namespace head's transport
// nvme-cli's) and the path states multipath -ll gives, check names the lost
// iSCSI path, and a capture taken in that state answers as the machine does.
#include "kernel_support.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace {

using json = nlohmann::json;

std::string text(const json& v) {
    if (v.is_null()) return "-";
    return v.is_string() ? zk::trim(v.get<std::string>()) : v.dump();
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

// The transport of each NVMe subsystem's controllers as nvme-cli lists them
// ("nvme-subsys0" -> "tcp").
std::map<std::string, std::string> nvmeTransports() {
    std::map<std::string, std::string> out;
    json doc = json::parse(zk::runOk("nvme list-subsys -o json"), nullptr, false);
    for (const json& host : doc.is_array() ? doc : json::array())
        for (const json& s : host.value("Subsystems", json::array()))
            for (const json& p : s.value("Paths", json::array())) out[text(s["Name"])] = text(p["Transport"]);
    return out;
}

// One device as "kname tran=... state=...": the transport where the peer
// names one, the state of the SCSI devices (lsblk's STATE is the SCSI
// device's); peer is the peer's row, row the peer's or zodisk's.
std::string transportAndState(const json& peer, const json& row) {
    std::string out = text(peer["kname"]);
    if (!peer["tran"].is_null()) out += " tran=" + text(row["tran"]);
    if (!peer["hctl"].is_null()) out += " state=" + text(row["state"]);
    return out;
}

// Compares zodisk list's transports and states of every device lsblk lists
// with lsblk's; the transport of a namespace head is its controllers' as
// nvme-cli gives it (lsblk gives "nvme" for a head, whatever the fabric).
void compareTransportsAndStates(const std::string& phase) {
    const std::string columns = " -o KNAME,TRAN,STATE,HCTL";
    json peer = json::parse(zk::runOk("lsblk -J -l" + columns), nullptr, false);
    json ours = zk::zodiskJson("list" + columns);
    const std::map<std::string, std::string> nvme = nvmeTransports();
    std::map<std::string, json> byName;
    for (const json& d : ours["blockdevices"]) byName[text(d["kname"])] = d;
    std::vector<std::string> theirs, mine;
    std::set<std::string> seen;
    for (json p : peer["blockdevices"]) {
        const std::string kname = text(p["kname"]);
        if (!seen.insert(kname).second) continue;  // a map, under each path
        std::error_code ec;
        auto sub = nvme.find(std::filesystem::read_symlink("/sys/block/" + kname + "/device", ec).filename());
        if (kname.compare(0, 4, "nvme") == 0 && sub != nvme.end()) p["tran"] = sub->second;
        auto it = byName.find(kname);
        theirs.push_back(transportAndState(p, p));
        mine.push_back(it == byName.end() ? kname + " (not listed)" : transportAndState(p, it->second));
    }
    EXPECT_TRUE(zk::same("transports and states, " + phase, "lsblk -J -l, nvme list-subsys",
                         zk::joinSorted(theirs), zk::joinSorted(mine)));
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
    const std::vector<Step> steps = {
        {"every path up", "", false},
        {"second paths down", "zo-fabric down nvme && zo-fabric down iscsi", true},
        {"paths back", "zo-fabric up nvme && zo-fabric up iscsi", false}};
    const std::string map = iscsiMap();
    ASSERT_NE(map, "");
    for (const Step& step : steps) {
        SCOPED_TRACE(step.phase);
        if (!step.command.empty()) zk::runOk(step.command);
        std::vector<std::string> nvme = zk::words(zk::runOk("zo-fabric state nvme"));
        std::vector<std::string> iscsi = zk::words(zk::runOk("zo-fabric state iscsi"));
        ASSERT_EQ(nvme.size(), 2u);
        ASSERT_GE(iscsi.size(), 4u);
        ASSERT_EQ(nvme[1], step.down ? "connecting" : "live");
        ASSERT_EQ(iscsi[3], step.down ? "transport-offline" : "running");

        zk::compareKindsOfAllDevices();
        EXPECT_EQ(zk::knames(zk::compareAllDevices(ZoDevice::NVME_DISK, "lsblk (namespace heads)")),
                  "nvme0n1 nvme0n2");
        EXPECT_EQ(zk::compareAllDevices(ZoDevice::SCSI_DISK, "lsblk (iSCSI paths)").size(), 2u);
        EXPECT_EQ(zk::compareAllDevices(ZoDevice::MPIO_DISK, "lsblk (maps)").size(), 1u);
        compareTransportsAndStates(step.phase);
        EXPECT_TRUE(zk::same("paths of " + map + ", " + step.phase, "multipath -ll", zk::pathStates(map, true),
                             zk::pathStates(map, false)));
        // Down, check names the lost iSCSI path; up, it finds nothing (once
        // multipathd has taken the path back).
        int status = -1;
        if (step.down) {
            EXPECT_TRUE(zk::checkNames("/dev/" + iscsi[2], &status));
            EXPECT_EQ(status, 1);
        } else {
            EXPECT_TRUE(zk::waitFor([&] { return !zk::checkNames("/dev/" + iscsi[2], &status) && status == 0; }));
        }
        compareWithCapture(step.phase, map);
    }
}

}  // namespace
