// SPDX-License-Identifier: LGPL-2.1-or-later
// A two-path dm-multipath map over scsi_debug in a real kernel: kinds,
// children, parents, WWIDs, partition maps and queueing as the library
// answers them, against multipath -ll, lsblk, dmsetup and sysfs; then the
// configuration editor for real, and SCSI failover after a path is deleted.
#include "ZOSO.h"
#include "ZoDeviceTree.h"
#include "ZoMpioDiskDevice.h"
#include "kernel_support.h"

#include <cstring>
#include <map>

namespace {

struct DmMap {
    std::string name, uuid, majmin;
};

// Every device-mapper map as dmsetup lists it. dmsetup lists the maps and
// then asks for each, so a map removed in between (multipathd taking one
// down) fails the whole command ("Device does not exist"): asked again.
std::vector<DmMap> dmMaps() {
    const std::string info = "/usr/sbin/dmsetup info -c --noheadings --separator ' ' -o name,uuid,major,minor";
    int status = -1;
    std::string out;
    zk::waitFor([&] { out = zk::run(info, &status); return status == 0; });
    std::vector<DmMap> maps;
    for (const std::string& l : zk::lines(status == 0 ? out : zk::runOk(info))) {
        std::vector<std::string> w = zk::words(l);
        if (w.size() == 4) maps.push_back({w[0], w[1], w[2] + ":" + w[3]});
    }
    return maps;
}

// The name of the map with uuid, "" when there is none.
std::string mapWithUuid(const std::string& uuid) {
    for (const DmMap& m : dmMaps())
        if (m.uuid == uuid) return m.name;
    return "";
}

// The whole-disk multipath map of the scenario (uuid "mpath-<wwid>").
DmMap theMap() {
    for (const DmMap& m : dmMaps())
        if (m.uuid.compare(0, 6, "mpath-") == 0) return m;
    ADD_FAILURE() << "no multipath map: " << zk::run("/usr/sbin/dmsetup ls");
    return {};
}

// Path devices of map name in `multipath -ll`, by kernel name.
std::vector<std::string> multipathPaths(const std::string& name) {
    std::vector<std::string> paths;
    for (const auto& w : zk::multipathLl(name)) paths.push_back(w[1]);
    return paths;
}

SP<ZoDevice> device(const std::string& path) {
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
    EXPECT_TRUE(dev) << path << ": " << err.AsString();
    return dev;
}

TEST(KernelMultipath, KindOfEveryBlockDevice) {
    int maps = 0, partMaps = 0;
    for (const zk::LsblkRow& r : zk::compareKindsOfAllDevices()) {
        maps += r.type == "mpath";
        partMaps += r.type == "part" && r.kname.compare(0, 3, "dm-") == 0;
    }
    EXPECT_EQ(maps, 1);
    EXPECT_EQ(partMaps, 2);
    // A partition map by its /dev/mapper name: of no kind either.
    std::string part1 = "/dev/mapper/" + theMap().name + "-part1";
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(part1.c_str(), &err);
    EXPECT_TRUE(zk::same("kind of " + part1, "lsblk TYPE=part (partition map)", "NONE",
                         zk::kindName(dev ? dev->getType() : 0)));
}

TEST(KernelMultipath, AllMapsAndTheirChildrenMatchMultipath) {
    for (const SP<ZoDevice>& m : zk::compareAllDevices(ZoDevice::MPIO_DISK, "lsblk TYPE=mpath")) {
        std::string name = zk::readFile("/sys/class/block/" + zk::knameOf(m) + "/dm/name");
        EXPECT_TRUE(zk::same("paths of map " + name, "multipath -ll",
                             zk::joinSorted(multipathPaths(name)), zk::knames(m->getChildren())));
        for (const SP<ZoDevice>& c : m->getChildren())
            EXPECT_EQ(c->getType(), ZoDevice::SCSI_DISK) << c->getDevicePath();
    }
}

TEST(KernelMultipath, TreeParentOfEachPathIsItsMap) {
    DmMap map = theMap();
    std::string mapKname = zk::kernelName("/dev/mapper/" + map.name);
    std::vector<std::string> paths = multipathPaths(map.name);
    ASSERT_EQ(paths.size(), 2u);
    std::map<std::string, std::string> above;  // lsblk -s: the map's row above its paths'
    for (const zk::LsblkRow& r : zk::lsblk("-s /dev/mapper/" + map.name)) above[r.kname] = r.pkname;
    for (const std::string& p : paths) {
        CLuError err;
        SP<ZoDevice> parent = ZoDeviceTree::getParentDevice(("/dev/" + p).c_str(), &err);
        EXPECT_TRUE(zk::same("tree parent of /dev/" + p, "lsblk -s", above[p], zk::knameOf(parent)));
        EXPECT_EQ(above[p], mapKname);
        ASSERT_TRUE(parent) << err.AsString();
        EXPECT_EQ(parent->getType(), ZoDevice::MPIO_DISK);
    }
    CLuError err;
    SP<ZoDevice> self = ZoDeviceTree::getParentDevice(("/dev/mapper/" + map.name).c_str(), &err);
    EXPECT_TRUE(zk::same("tree parent of /dev/mapper/" + map.name, "lsblk (no holder)", mapKname,
                         zk::knameOf(self)));
}

// The map took the paths' partitions; the kernel keeps a claimed disk's
// table, so the library's re-read of a path fails as blockdev's does.
TEST(KernelMultipath, PathsPartitionsAreRefusedAsByTheKernel) {
    std::vector<std::string> paths = multipathPaths(theMap().name);
    ASSERT_EQ(paths.size(), 2u);
    for (const std::string& p : paths) {
        int status = 0;
        zk::run("/usr/sbin/blockdev --rereadpt /dev/" + p, &status);
        std::string err = zk::readFile("/tmp/zk-stderr");
        std::string peer = status != 0 && err.find("busy") != std::string::npos
                               ? "re-read refused" : "re-read done: " + err;
        std::string lib = zk::libraryParts("/dev/" + p, false);
        EXPECT_TRUE(zk::same("partitions of /dev/" + p + " (a path of the map)",
                             "blockdev --rereadpt", peer,
                             lib.find("Failed to re-read device partitions[/dev/" + p + "]") !=
                                     std::string::npos
                                 ? "re-read refused" : "listed: " + lib));
    }
}

TEST(KernelMultipath, MapWwidIsItsDmUuid) {
    DmMap map = theMap();
    std::string path = "/dev/mapper/" + map.name;
    std::string wwid;
    EXPECT_EQ(zk::wwidOf(path, &wwid), "");
    EXPECT_TRUE(zk::same("WWID of " + path, "dmsetup uuid", map.uuid.substr(6), wwid));
    for (const std::string& p : multipathPaths(map.name)) {
        std::string serial;
        EXPECT_TRUE(ZOSO::DetermineDeviceSerial(0, "/dev/" + p, serial));
        EXPECT_TRUE(zk::same("WWID of /dev/" + p, "scsi_id -g -u -d",
                             zo_str::trimmed(zk::runOk("/lib/udev/scsi_id -g -u -d /dev/" + p)), serial));
    }
}

// The map's partition maps ("partN-mpath-<wwid>", lsblk TYPE=part) are the
// map's partitions: getPartitions of the map lists them with their own
// numbers. They are of no kind of their own (getDevice gives none, see
// KindOfEveryBlockDevice); a partition map object built directly names the
// map as its whole disk.
TEST(KernelMultipath, PartitionMapsMatchDmsetup) {
    DmMap map = theMap();
    std::string wwid = map.uuid.substr(6);
    // dmsetup's view: "partN-mpath-<wwid>" maps, "linear <map> <start>".
    std::vector<std::pair<int, std::string>> items;
    std::map<std::string, std::string> pkname;  // lsblk's, by kernel name
    for (const zk::LsblkRow& r : zk::lsblk()) pkname[r.kname] = r.pkname;
    for (const DmMap& m : dmMaps()) {
        if (m.uuid.compare(0, 4, "part") != 0 || m.uuid.find("-mpath-" + wwid) == std::string::npos)
            continue;
        int n = std::atoi(m.uuid.c_str() + 4);
        std::vector<std::string> t =
            zk::words(zk::runOk("/usr/sbin/dmsetup table " + m.name));
        ASSERT_EQ(t.size(), 5u) << m.name;
        EXPECT_EQ(t[3], map.majmin) << m.name;
        items.emplace_back(n, std::to_string(n) + ":" + t[4] + "+" + t[1] + "@" + m.majmin + " " +
                                  zk::kernelName("/dev/mapper/" + m.name));
        // The partition map as an object of its own names the map as its disk.
        std::string pp = "/dev/mapper/" + m.name;
        SP<ZoDevice> dev(new ZoMpioDiskDevice(pp));
        auto* part = static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
        ASSERT_NE(part, nullptr) << pp;
        CLuError err;
        SP<ZoDevice> whole = part->getParentDevice(&err);
        EXPECT_TRUE(zk::same("whole disk of " + pp + " (built directly)", "lsblk PKNAME",
                             pkname.count(zk::kernelName(pp)) ? pkname[zk::kernelName(pp)]
                                                              : "(not listed)",
                             zk::knameOf(whole)))
            << err.AsString();
        if (whole) {
            EXPECT_EQ(whole->getType(), ZoDevice::MPIO_DISK) << pp;
        }
    }
    ASSERT_EQ(items.size(), 2u);
    EXPECT_TRUE(zk::same("partition maps of " + map.name, "dmsetup info/table",
                         zk::joinSecond(items), zk::libraryParts("/dev/mapper/" + map.name, false)));
}

TEST(KernelMultipath, SetFailIfNoPathTurnsQueueingOff) {
    DmMap map = theMap();
    zk::runOk("/usr/sbin/dmsetup message " + map.name + " 0 queue_if_no_path");
    std::string before = zk::runOk("/usr/sbin/dmsetup table " + map.name);
    ASSERT_NE(before.find("queue_if_no_path"), std::string::npos) << before;
    SP<ZoDevice> dev = device("/dev/mapper/" + map.name);
    ASSERT_TRUE(dev);
    auto* mpio = static_cast<ZoDeviceMpioIface*>(dev->getInterface("ZoDeviceMpioIface"));
    ASSERT_NE(mpio, nullptr);
    CLuError err;
    EXPECT_EQ(mpio->setFailIfNoPath(&err), 0) << err.AsString();
    std::string table = zk::runOk("/usr/sbin/dmsetup table " + map.name);
    std::string status = zk::runOk("/usr/sbin/dmsetup status " + map.name);
    EXPECT_TRUE(zk::same("queueing of " + map.name + " after setFailIfNoPath",
                         "dmsetup table", table.find("queue_if_no_path") == std::string::npos
                                              ? "off" : "on", "off"))
        << "table: " << table << "status: " << status;
    // Both paths stay usable: each "major:minor" is followed by "A".
    std::vector<std::string> sw = zk::words(status);
    int active = 0;
    for (size_t i = 0; i + 1 < sw.size(); ++i)
        active += sw[i].find(':') != std::string::npos && sw[i + 1] == "A";
    EXPECT_EQ(active, 2) << status;
}

TEST(KernelMultipathEditor, AddThenDelPutsABlacklistedDiskUnderMultipathAndBack) {
    // LU 1 is blacklisted: its paths are the scsi_debug disks no map holds.
    std::string lu1;
    for (const std::string& d : zk::scsiDebugDisks())
        if (zk::hctl(d).substr(zk::hctl(d).rfind(':')) == ":1") { lu1 = d; break; }
    ASSERT_FALSE(lu1.empty());
    std::string wwid = zo_str::trimmed(zk::runOk("/lib/udev/scsi_id -g -u -d /dev/" + lu1));
    std::string alias = "mpath_zo_" + wwid;
    ASSERT_FALSE(zk::exists("/dev/mapper/" + alias));

    std::list<std::string> paths{"/dev/" + lu1};
    CLuError err;
    std::list<SP<ZoDevice>> added = ZoDeviceTree::addMultipathBlacklistExceptions(paths, &err);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    std::string conf = zk::readFile("/etc/multipath.conf");
    std::printf("multipath.conf after add:\n%s\n", conf.c_str());
    EXPECT_NE(conf.find("alias \"" + alias + "\""), std::string::npos) << conf;
    std::string peerMap = mapWithUuid("mpath-" + wwid);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_TRUE(zk::same("map made for /dev/" + lu1, "dmsetup (map with uuid mpath-" + wwid + ")", peerMap,
                         added.front() ? zk::readFile("/sys/class/block/" + zk::knameOf(added.front()) + "/dm/name")
                                       : "(empty handle)"));
    EXPECT_EQ(peerMap, alias);
    EXPECT_EQ(added.front() ? added.front()->getType() : ZoDevice::NONE, ZoDevice::MPIO_DISK);
    // multipath's own parser reads the exception and the block the editor
    // wrote; adding again changes nothing and keeps the map's name.
    const std::string merged = zk::runOk("/usr/sbin/multipath -t");
    EXPECT_NE(merged.find("\twwid \"" + wwid + "\"\n"), std::string::npos) << merged;
    EXPECT_NE(merged.find("\t\talias \"" + alias + "\"\n"), std::string::npos) << merged;
    CLuError again;
    EXPECT_EQ(ZoDeviceTree::addMultipathBlacklistExceptions(paths, &again).size(), 1u);
    EXPECT_EQ(again.AsString(), "Blacklist exception already exists for " + wwid);
    EXPECT_EQ(zk::readFile("/etc/multipath.conf"), conf);
    EXPECT_EQ(mapWithUuid("mpath-" + wwid), alias);

    CLuError derr;
    EXPECT_EQ(ZoDeviceTree::delMultipathBlacklistExceptions(paths, &derr), 0) << derr.AsString();
    conf = zk::readFile("/etc/multipath.conf");
    EXPECT_EQ(conf.find(wwid), std::string::npos) << conf;
    zk::runOk("/usr/sbin/multipathd reconfigure");
    zk::runOk("/usr/bin/udevadm settle --timeout=60");
    bool gone = zk::waitFor([&] { return mapWithUuid("mpath-" + wwid).empty(); });
    EXPECT_TRUE(zk::same("map of /dev/" + lu1 + " after del and reconfigure", "dmsetup ls",
                         gone ? "gone" : "present", "gone"));
}

// remove refuses while a partition map of the map is mounted (the guest's
// set-up mounted the second one on /mnt/zodata) or held open by a process,
// naming it; unmounted and closed, the dry run shows the edit, so nothing
// else (multipathd, udev) keeps the map open in device-mapper's count.
TEST(KernelMultipathEditor, RemoveRefusesAMapInUse) {
    const std::string map = "/dev/mapper/" + theMap().name, part1 = map + "-part1", part2 = map + "-part2";
    int status = -1;
    // Both streams of a dry run, after the shell ran prefix.
    const auto remove = [&](const std::string& prefix) {
        const std::string out = zk::run(prefix + "/zo/bin/zodisk multipath remove --dry-run " + map, &status);
        return out + zk::readFile("/tmp/zk-stderr");
    };
    ASSERT_EQ(zk::run("mountpoint -q /mnt/zodata && echo mounted"), "mounted\n");
    std::string out = remove("");
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find(map + " is in use: " + part2 + " is mounted on /mnt/zodata. "), std::string::npos) << out;
    out = remove("exec 3<" + part1 + "; ");
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find(part1 + " is open once besides its mounts and the devices on it"), std::string::npos) << out;
    zk::runOk("umount /mnt/zodata");
    const bool free = zk::waitFor([&] { return remove(""), status == 0; });
    out = remove("");
    EXPECT_TRUE(free) << out;
    EXPECT_EQ(out.rfind("--- /etc/multipath.conf\n", 0), 0u) << out;
    zk::runOk("mount -t ext4 " + part2 + " /mnt/zodata");  // as the set-up left it
}

// Runs last: it deletes a path.
TEST(KernelMultipathFailover, SendScsiCdbFailsOverWhenAPathIsDeleted) {
    DmMap map = theMap();
    SP<ZoDevice> dev = device("/dev/mapper/" + map.name);
    ASSERT_TRUE(dev);
    std::list<SP<ZoDevice>> children = dev->getChildren();
    ASSERT_EQ(children.size(), 2u);
    std::string gone = zk::knameOf(children.front()), kept = zk::knameOf(children.back());
    ASSERT_TRUE(zk::writeFile("/sys/block/" + gone + "/device/delete", "1"));
    zk::runOk("/usr/bin/udevadm settle --timeout=60");
    ASSERT_FALSE(zk::exists("/sys/block/" + gone));

    auto* scsi = static_cast<ZoDeviceScsiIface*>(dev->getInterface("ZoDeviceScsiIface"));
    ASSERT_NE(scsi, nullptr);
    unsigned char cdb[6] = {0x12, 0, 0, 0, 96, 0};  // standard INQUIRY
    unsigned char data[96] = {};
    CLuError err;
    int rc = scsi->sendScsiCDB(cdb, 6, data, sizeof data, false, true, nullptr, 0, 10, &err);
    EXPECT_EQ(rc, 0) << err.AsString();
    std::string vendor = zo_str::trimmed(std::string(reinterpret_cast<char*>(data) + 8, 8));
    std::string product = zo_str::trimmed(std::string(reinterpret_cast<char*>(data) + 16, 16));
    std::string peer;
    for (const std::string& l : zk::lines(zk::runOk("/usr/bin/sg_inq /dev/" + kept))) {
        std::string t = zo_str::trimmed(l);
        for (const char* key : {"Vendor identification:", "Product identification:"})
            if (t.rfind(key, 0) == 0) peer += (peer.empty() ? "" : "/") + zo_str::trimmed(t.substr(strlen(key)));
    }
    EXPECT_TRUE(zk::same("INQUIRY through " + map.name + " with " + gone + " deleted",
                         "sg_inq /dev/" + kept, peer, vendor + "/" + product));
}

}  // namespace
