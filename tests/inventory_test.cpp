// SPDX-License-Identifier: LGPL-2.1-or-later
// The host inventory on every shipped host tree and on unit trees, checked
// against the tree's own sysfs (read here with std::filesystem) and against
// the device tree's answers for each node; its parsers on kernel lines.
#include "test.h"

#include "ZoHostInventory.h"
#include "ZoInventoryParse.h"
#include "ZoKinds.h"
#include "ZoSysfs.h"
#include "san_tree.h"

#include <map>

namespace {

std::string slurp(const fs::path& p) {
    std::string s = zotest::slurp(p.string());
    return s.substr(0, s.find_last_not_of("\n ") + 1);
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        out.insert(it->path().filename().string());
    return out;
}

std::string joined(const std::set<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += " " + n;
    return out;
}

// Every block device of the tree at root, in /sys/block name order with each
// disk's partitions after it in number order, as "name MAJ:MIN sectors
// [N@start of disk] holders... slaves...". Devices without a number (hidden
// paths of NVMe multipath namespaces) are none.
std::vector<std::string> sysfsOf(const std::string& root) {
    std::vector<std::string> out;
    auto describe = [](const fs::path& dir, const std::string& disk) {
        return dir.filename().string() + " " + slurp(dir / "dev") + " " + slurp(dir / "size") +
               (disk.empty() ? "" : " " + slurp(dir / "partition") + "@" + slurp(dir / "start") + " of " + disk) +
               " holders" + joined(entries(dir / "holders")) + " slaves" + joined(entries(dir / "slaves"));
    };
    for (const std::string& name : entries(root + "/sys/block")) {
        const fs::path dir = fs::canonical(root + "/sys/block/" + name);
        if (!fs::exists(dir / "dev")) continue;
        out.push_back(describe(dir, ""));
        std::map<int, std::string> parts;
        for (const std::string& e : entries(dir))
            if (fs::exists(dir / e / "partition")) parts[std::stoi(slurp(dir / e / "partition"))] = describe(dir / e, name);
        for (auto& p : parts) out.push_back(p.second);
    }
    return out;
}

// The same of the inventory's devices.
std::vector<std::string> describe(const ZoHostInventory& inv) {
    std::vector<std::string> out;
    auto names = [&](const std::vector<size_t>& indexes) {
        std::set<std::string> set;
        for (size_t i : indexes) set.insert(inv.at(i).name);
        return joined(set);
    };
    for (const ZoBlockDevice& d : inv.devices()) {
        const bool kernelPartition = d.partition && d.dmUuid.empty();
        out.push_back(d.name + " " + std::to_string(d.major) + ":" + std::to_string(d.minor) + " " +
                      std::to_string(d.sectors) +
                      (kernelPartition ? " " + std::to_string(d.partition) + "@" + std::to_string(d.start) + " of " +
                                             inv.at(d.whole).name
                                       : "") +
                      " holders" + names(d.holders) + " slaves" + names(d.slaves));
    }
    return out;
}

// Runs check on every tree shipped under examples/hosts and on the unit and
// driverless trees of tests/data/hosts, installed behind a FaultHost with the
// library's process state reset.
void forEachTree(const std::function<void(const std::string& name, const std::string& root,
                                          zotest::FaultHost& host)>& check) {
    std::vector<std::string> roots;
    for (const std::string& name : entries(ZODEVICE_SOURCE_DIR "/examples/hosts"))
        roots.push_back(ZODEVICE_SOURCE_DIR "/examples/hosts/" + name);
    ASSERT_GE(roots.size(), 3u);
    for (const char* name : {"unit", "driverless"}) roots.push_back(zotest::dataTree(name));
    for (const std::string& root : roots) {
        zotest::FaultyInstall installed(root);
        check(root.substr(root.rfind('/') + 1), root, *installed.fault);
    }
}

TEST(Inventory, MatchesTheTreesSysfsAndTheKindsOfEveryNode) {
    zotest::LogCapture quiet;  // the node-name lookups log their misses
    forEachTree([](const std::string& treeName, const std::string& root, zotest::FaultHost& host) {
        ZoResult<ZoHostInventory> read = ZoHostInventory::read();
        ASSERT_TRUE(read) << treeName << ": " << read.error().AsString();
        const ZoHostInventory& inv = *read;
        for (const char* op : {"run", "rereadPartitions", "scsiCommand", "probeOpen", "sleepMs"})
            EXPECT_EQ(0, host.count(op)) << treeName << ": " << op;  // reading is not touching
        std::vector<std::string> listed = describe(inv);
        std::sort(listed.begin(), listed.end());  // the order is the kernel's naming order
        EXPECT_EQ(sysfsOf(root), listed) << treeName;

        const std::vector<size_t> roots = inv.roots();
        for (size_t i = 0; i < inv.devices().size(); ++i) {
            const ZoBlockDevice& d = inv.at(i);
            const std::string what = treeName + " " + d.name;
            EXPECT_TRUE(i == inv.byName(d.name) && i == inv.byNumber(d.major, d.minor) && i == inv.find(d.path)) << what;
            // Partitions (kernel ones and partition maps) are their whole's.
            const std::vector<size_t> none, &siblings = d.partition ? inv.at(d.whole).partitions : none;
            EXPECT_EQ(d.partition ? 1 : 0, std::count(siblings.begin(), siblings.end(), i)) << what;
            const bool onlyOwnPartitionsHold =
                std::all_of(d.holders.begin(), d.holders.end(), [&](size_t h) { return inv.at(h).whole == i; });
            EXPECT_EQ(onlyOwnPartitionsHold && !d.partition, std::count(roots.begin(), roots.end(), i) == 1) << what;
            EXPECT_TRUE(d.problems.empty()) << what << ": " << d.problems.front();

            // The facts are what the kinds' own operations find.
            SP<ZoDevice> dev = ZoDeviceTree::getDevice(d.path.c_str(), nullptr);
            std::string wwid, node;
            if (d.kind == ZoDevice::SCSI_DISK) {
                auto* info = static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface"));
                if (info->GetDeviceWwid(d.path, wwid).IsError()) wwid = d.wwid;  // no page to send
                info->GetArrayInitiatorId(d.path, node, false);  // node stays empty on failure
                EXPECT_EQ(wwid + " " + node, d.wwid + " " + d.fcNodeName) << what;
            }
            if (d.kind == ZoDevice::NVME_DISK && d.partition == 0) {
                EXPECT_EQ(ZoNVMEDiskDevice::convertNVMEtoAWSVol(d.path, nullptr), d.nvmeVolumeId) << what;
            }
            std::vector<size_t> paths;  // the paths device-mapper reports are the slaves
            for (const ZoMapPath& p : d.map.paths) paths.push_back(inv.byNumber(p.major, p.minor));
            EXPECT_TRUE(!d.map.known || std::is_permutation(paths.begin(), paths.end(), d.slaves.begin(), d.slaves.end()))
                << what;
            if (d.kind == ZoDevice::MPIO_DISK && fs::exists(root + "/.zohost/dm")) {
                std::list<ZoPartInfo> parts;  // partition maps as the kind lists them (from dmsetup's answers)
                static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"))->getPartitions(parts, nullptr, false);
                std::string want, got;
                for (const ZoPartInfo& p : parts) want += " " + std::to_string(p.partNumber) + "@" + std::to_string(p.startSector);
                for (size_t p : d.partitions) got += " " + std::to_string(inv.at(p).partition) + "@" + std::to_string(inv.at(p).start);
                EXPECT_EQ(want, got) << what;
            }
        }
    });
    // A host without /sys/dev/block is read from /sys/block to the same devices and kinds.
    zotest::HostTree tree(zotest::dataTree("unit"));
    tree.write("/sys/class/msr/msr0/dev", "8:16\n");  // a character node with a disk's numbers
    std::vector<std::string> seen[2];
    for (std::vector<std::string>& s : seen) {
        zotest::FaultyInstall installed(tree);
        ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
        ASSERT_TRUE(inv);
        EXPECT_EQ(ZoBlockDevice::npos, inv->find("/dev/msr0"));
        s = describe(*inv);
        for (size_t i = 0; i < s.size(); ++i) s[i] += " " + inv->at(i).typeName() + " " + std::to_string(inv->at(i).kind);
        tree.remove("/sys/dev/block");
    }
    EXPECT_EQ(seen[0], seen[1]);
}

// Every shipped tree (of a capture with its peers' answers beside it, the
// tree in its snapshot/) and a generated SAN: device by device, the
// inventory's kind is what ZoDeviceTree::getDevice builds for the device's
// node (NONE when it builds nothing), and only an unclaimed device says why.
TEST(Inventory, KindIsWhatTheDeviceTreeBuildsOnEveryTree) {
    zotest::LogCapture quiet;
    zotest::HostTree san;
    zobench::addSan(san, 16, 2);
    std::vector<std::string> roots = zotest::shippedTrees();
    roots.push_back(san.root());
    ASSERT_GE(roots.size(), 9u);
    std::map<int, int> kinds;  // devices of each kind over all trees
    for (const std::string& root : roots) {
        zotest::FaultyInstall installed(root);
        ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
        ASSERT_TRUE(inv) << root << ": " << inv.error().AsString();
        for (const ZoBlockDevice& d : inv->devices()) {
            SP<ZoDevice> dev = ZoDeviceTree::getDevice(d.path.c_str(), nullptr);
            EXPECT_EQ(dev ? dev->getType() : ZoDevice::NONE, d.kind) << root << " " << d.path;
            EXPECT_EQ(d.kind == ZoDevice::NONE, !d.unclaimedReason.empty()) << root << " " << d.path;
            ++kinds[d.kind];
        }
    }
    for (int kind : {ZoDevice::NONE, ZoDevice::SCSI_DISK, ZoDevice::MPIO_DISK, ZoDevice::XVD_DISK, ZoDevice::NVME_DISK})
        EXPECT_GE(kinds[kind], 2) << "kind " << kind;
}

// The inventory answers find() from the host it was read from, whatever host
// is current later; a host without a block layer gives the error.
TEST(Inventory, FindAsksTheHostReadAndReadFailsWithoutBlockDevices) {
    auto mixed = std::make_unique<zotest::FaultyInstall>(zotest::dataTree("mixed"));
    const ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
    mixed.reset();
    ASSERT_TRUE(inv);
    zotest::HostTree empty;
    empty.write("/proc/partitions", "");
    zotest::FaultyInstall other(empty);
    EXPECT_EQ("sdb", inv->at(inv->find("/dev/sdb")).name);
    EXPECT_EQ("dm-3", inv->at(inv->find("/dev/mapper/data")).name);
    EXPECT_EQ(ZoBlockDevice::npos, ZoHostInventory().find("/dev/sdb"));

    const ZoResult<ZoHostInventory> none = ZoHostInventory::read();
    EXPECT_FALSE(none);
    EXPECT_EQ(ENOENT, none.error().GetCode());
    EXPECT_EQ(std::string("Unable to list /sys/block: ") + std::strerror(ENOENT), none.error().AsString());
}

// A block device without its size file went away while it was read and is
// left out; one whose size cannot be read stays, with the problem named.
TEST(Inventory, ADeviceWithoutItsSizeIsGoneOneWithAnUnreadableSizeStays) {
    zotest::HostTree tree;
    for (const auto& [name, seed] : {std::make_pair("sdb", 1), std::make_pair("sdc", 2), std::make_pair("sdd", 3)})
        zotest::addScsiDisk(tree, zotest::ScsiDiskSpec(name, 16 * seed, 0, static_cast<uint64_t>(seed)));
    tree.remove("/sys/class/block/sdc/size");
    tree.remove("/sys/class/block/sdd/size");
    tree.mkdir("/sys/class/block/sdd/size");
    auto installed = tree.install();
    const ZoResult<ZoHostInventory> inv = ZoHostInventory::read();
    ASSERT_TRUE(inv);
    EXPECT_NE(ZoBlockDevice::npos, inv->byName("sdb"));
    EXPECT_EQ(ZoBlockDevice::npos, inv->byName("sdc"));
    ASSERT_NE(ZoBlockDevice::npos, inv->byName("sdd"));
    const ZoBlockDevice& sdd = inv->at(inv->byName("sdd"));
    EXPECT_EQ(0u, sdd.sectors);
    EXPECT_EQ(std::vector<std::string>{std::string("size: ") + std::strerror(EISDIR)}, sdd.problems);
}

// Rows: what is missing, the options, the problem entry (empty: none), the
// facts asked for. A fact is read (its files once each) and filled iff asked for.
TEST(Inventory, FactsComeFromTheKernelAndAnInquiryOnlyWhenAsked) {
    // A host that answers page 0x83 itself, records the time-out it got and
    // counts the reads of each file name.
    struct InquiringHost : zotest::FaultHost {
        using FaultHost::FaultHost;
        using ZoHost::readFile;
        int readFile(const std::string& p, std::string* text, size_t max) override {
            ++reads[p.substr(p.rfind('/') + 1)];
            return FaultHost::readFile(p, text, max);
        }
        std::map<std::string, int> reads;
        int scsiCommand(const std::string& node, const ZoScsiCommand& c, ZoScsiStatus* st) override {
            timeoutMs = c.timeoutMs;
            if (int rc = FaultHost::scsiCommand(node, c, st)) return rc;
            const std::string page = zotest::makeVpdPg83(7);
            std::memcpy(c.data, page.data(), std::min<size_t>(page.size(), c.dataLength));
            *st = ZoScsiStatus();
            return 0;
        }
        unsigned timeoutMs = 0;
    };
    using Fact = ZoInventoryOptions::Fact;
    const struct { std::vector<const char*> removed; bool inquire; int fault; std::string wwid, problem; uint64_t seed = 1;
                   unsigned facts = Fact::ALL_FACTS; } cases[] = {
        {{}, true, 0, zotest::wwidOfSeed(1), ""},
        {{"vpd_pg83"}, true, 0, zotest::wwidOfSeed(1), ""},  // the wwid attribute
        {{"inquiry"}, true, 0, zotest::wwidOfSeed(1), ""},   // vendor, model and rev instead
        {{"vpd_pg83", "wwid"}, false, 0, "", ""},
        {{"vpd_pg83", "wwid"}, true, 0, zotest::wwidOfSeed(7), ""},
        {{"vpd_pg83", "wwid"}, true, ETIMEDOUT, "", "wwid: INQUIRY of page 0x83 failed: timed out after 7 s"},
        {{"vpd_pg83", "wwid"}, true, ENXIO, "",
         std::string("wwid: INQUIRY of page 0x83 failed: ") + std::strerror(ENXIO)},
        {{"wwid"}, false, 0, zotest::wwidOfSeed(61), "", 61},  // a page whose last byte is a newline
        {{"vpd_pg83", "wwid"}, true, 0, "", "", 1, ~0u & ~Fact::IDENTITY},
        {{}, false, 0, zotest::wwidOfSeed(1), "", 1, Fact::IDENTITY | Fact::PRODUCT},
        {{}, false, 0, "", "", 1, Fact::STATE | Fact::SERIAL | Fact::MAP_STATE | Fact::PARTITION_START},
        {{}, false, 0, "", "", 1, 0},
    };
    const std::string dir = "/sys/devices/platform/host0/target0:0:0/0:0:0:0/";
    const std::pair<const char*, unsigned> files[] = {{"inquiry", Fact::PRODUCT}, {"state", Fact::STATE},
        {"suspended", Fact::STATE}, {"vpd_pg83", Fact::IDENTITY}, {"vpd_pg80", Fact::SERIAL},
        {"removable", Fact::REMOVABLE}, {"node_name", Fact::FC_NODE_NAME}, {"start", Fact::PARTITION_START}};
    for (const auto& c : cases) {
        zotest::HostTree tree;
        zotest::ScsiDiskSpec disk("sdb", 16, 0, c.seed);
        disk.fcNodeName = "0x50060e8000c3a1b2";
        zotest::addScsiDisk(tree, disk);
        tree.write(dir + "state", "running\n");
        tree.write(dir + "vpd_pg80", std::string("\0\x80\0\x02" "SN", 6));
        zotest::addMultipathMap(tree, {"m", 0, "", {"sdb"}});
        zotest::addScsiPartition(tree, disk, 1, 2048, 1024);
        for (const char* attr : c.removed) tree.remove(dir + attr);
        auto installed = tree.install();
        auto host = std::make_shared<InquiringHost>(installed.shared());
        zotest::HostTree::Installed guard(host, ZoHost::install(host));
        if (c.fault) host->failAll("scsiCommand", c.fault);
        ZoInventoryOptions options;
        options.inquireMissingIdentity = c.inquire;
        options.inquiryTimeoutMs = 1234;
        options.facts = c.facts;
        ZoResult<ZoHostInventory> read = ZoHostInventory::read(options);
        ASSERT_TRUE(read);
        const ZoHostInventory& inv = *read;
        const std::string what = std::to_string(c.removed.size()) + " removed, inquire " + std::to_string(c.inquire) +
                                 ", facts " + std::to_string(c.facts);
        const ZoBlockDevice& d = inv.at(inv.byName("sdb")), &m = inv.at(inv.byName("dm-0"));
        for (const auto& f : files) EXPECT_EQ(c.facts & f.second ? 1 : 0, host->reads[f.first]) << what << ": " << f.first;
        const bool attributes = (c.facts & Fact::PRODUCT) && c.removed.size() == 1 && c.removed[0] == std::string("inquiry");
        for (const char* name : {"vendor", "model", "rev"}) EXPECT_EQ(attributes ? 1 : 0, host->reads[name]) << what << ": " << name;
        EXPECT_EQ(c.facts & Fact::PRODUCT ? "ZOTEST|VDISK|1.0" : "||", d.vendor + "|" + d.model + "|" + d.revision) << what;
        const unsigned filled = (d.vendor.empty() ? 0u : +Fact::PRODUCT) | (d.state + m.state == "runningrunning" ? +Fact::STATE : 0u) |
                                (m.wwid.empty() ? 0u : +Fact::IDENTITY) | (d.serial == "SN" ? +Fact::SERIAL : 0u) |
                                (m.map.known ? +Fact::MAP_STATE : 0u) | (d.fcNodeName.empty() ? 0u : +Fact::FC_NODE_NAME) |
                                (inv.at(inv.byName("sdb1")).start == 2048 ? +Fact::PARTITION_START : 0u);
        EXPECT_EQ(c.facts & ~Fact::REMOVABLE & 0xff, filled) << what;
        EXPECT_EQ(c.wwid, d.wwid) << what;
        EXPECT_EQ(c.problem, std::accumulate(d.problems.begin(), d.problems.end(), std::string())) << what;
        const bool asked = c.inquire && c.removed.size() == 2 && (c.facts & Fact::IDENTITY);
        EXPECT_EQ(asked ? 1 : 0, host->count("scsiCommand")) << what;
        EXPECT_EQ(asked ? 1234u : 0u, host->timeoutMs) << what;
        const ZoResult<std::string> inquired = ZoHostInventory::inquireWwid("/dev/sdb", 1234);
        EXPECT_EQ(c.fault, inquired ? 0 : inquired.error().GetCode()) << what << ": " << inquired.error().AsString();
        EXPECT_EQ(inquired ? zotest::wwidOfSeed(7) : "", inquired ? *inquired : "") << what;
    }
}

// The parsed state, "" when the table is not a multipath table.
std::string describe(const ZoDmState& dm) {
    ZoMapState m;
    if (zo_inv::parseMultipathState(dm, &m) != m.known || !m.known) return "";
    std::string s = m.features + "|" + (m.queueIfNoPath ? "queue" : "fail") + "|" + m.hardwareHandler;
    for (const ZoMapGroup& g : m.groups) {
        s += "|" + std::to_string(g.number) + " " + g.selector + " " + g.state + ":";
        for (const ZoMapPath& p : m.paths)
            if (p.group == g.number)
                s += " " + std::to_string(p.major) + ":" + std::to_string(p.minor) + " " + p.dmState + " " +
                     std::to_string(p.failCount);
    }
    return s;
}

ZoDmState dmState(const std::string& type, const std::string& table, const std::string& status) {
    ZoDmState st;
    if (!table.empty()) st.table.push_back({0, 2097152, type, table});
    if (!status.empty()) st.status.push_back({0, 2097152, type, status});
    return st;
}

// Kernel texts (tests/data/kernel-texts.tsv): multipath tables and status,
// linear tables, /proc/devices, standard INQUIRY responses, VPD page 0x80,
// wwid attributes, sysfs links, mountinfo, /proc/swaps and udev's escaped values.
TEST(Inventory, KernelTextsParse) {
    std::map<std::string, int> kinds;
    for (const auto& c : zotest::readTable(ZODEVICE_SOURCE_DIR "/tests/data/kernel-texts.tsv", 4)) {
        const std::string& kind = c[0];
        std::string got, bytes;  // bytes: the input read as hexadecimal
        for (size_t i = 0; i + 1 < c[1].size() && (kind == "serial" || kind == "inquiry"); i += 2)
            bytes += static_cast<char>(std::stoi(c[1].substr(i, 2), nullptr, 16));
        ++kinds[kind];
        if (kind == "multipath") {
            got = describe(dmState("multipath", c[1], c[2]));
        } else if (kind == "linear") {
            unsigned maj = 0, min = 0;
            uint64_t start = 0;
            if (zo_inv::parseLinearTarget(dmState(c[1], c[2], ""), &maj, &min, &start))
                got = std::to_string(maj) + ":" + std::to_string(min) + " " + std::to_string(start);
        } else if (kind == "devices") {
            const zo_kind::DriverMajors m = zo_kind::driverMajors(c[1]);
            got = std::to_string(m.xvd) + " " + std::to_string(m.nvme);
        } else if (kind == "serial") {
            got = zo_inv::unitSerial(bytes);
        } else if (kind == "inquiry") {
            std::string vendor, model, revision;
            if (zo_inv::inquiryStrings(bytes, &vendor, &model, &revision)) got = vendor + "|" + model + "|" + revision;
        } else if (kind == "link") {
            got = zo_sysfs::linkTarget(c[1], c[2]);
        } else if (kind == "wwid") {
            got = zo_inv::wwidOfAttribute(c[1]);
        } else if (kind == "mountinfo") {
            for (const zo_inv::MountEntry& m : zo_inv::parseMountinfo(c[1]))
                got += (got.empty() ? "" : "|") + std::to_string(m.major) + ":" + std::to_string(m.minor) + " " +
                       m.source + ">" + m.target;
        } else if (kind == "swaps") {
            for (const std::string& area : zo_inv::parseSwaps(c[1])) got += (got.empty() ? "" : "|") + area;
        } else if (kind == "udev") {
            got = zo_inv::decodeUdevValue(c[1]);
        }
        EXPECT_EQ(c[kind == "multipath" || kind == "linear" || kind == "link" ? 3 : 2], got) << kind << ": " << c[1] << " / " << c[2];
    }
    EXPECT_EQ((std::map<std::string, int>{{"devices", 5}, {"inquiry", 4}, {"linear", 4}, {"link", 7}, {"mountinfo", 1},
                                          {"multipath", 8}, {"serial", 5}, {"swaps", 2}, {"udev", 2}, {"wwid", 4}}), kinds);
    EXPECT_EQ("", describe(dmState("linear", "8:16 0", "")));
}

}  // namespace
