// SPDX-License-Identifier: LGPL-2.1-or-later
// SCSI disks on host trees: listed disks and their links, lookup cost, paths
// resolved (partitions opened or by kernel name) or rejected; the WWID from
// page 0x83 (sample pages checked against sg_vpd) and the FC node name.
#include "test.h"

#include "ZoIdentity.h"

namespace {

class ScsiLookupTest : public ::testing::Test {
protected:
    // Adds a disk at host:0:target:0 answering page, numbered 8:minor (minors
    // from 256 up on the next majors), with a by-id link.
    std::string add(const std::string& name, int target, int minor, const std::string& page = "",
                    int host = 0) {
        zotest::ScsiDiskSpec disk(name, minor % 256, host, static_cast<uint64_t>(minor));
        disk.target = target;
        disk.major = 8 + minor / 256;
        disk.vpdPg83 = page;
        disk.byIdLink = "/dev/disk/by-id/scsi-" + zotest::wwidOfSeed(disk.seed);
        return zotest::addScsiDisk(tree, disk);
    }
    zotest::FaultHost& install() {
        installed.reset(new zotest::FaultyInstall(tree));
        UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
        return *installed->fault;
    }
    static std::string nativePath(const SP<ZoDevice>& dev) {
        return dev ? static_cast<ZoScsiDiskDevice*>(dev.get())->getScsiTarget().getNativePath() : "";
    }
    static ZoDeviceDiskInfoIface* info(const SP<ZoDevice>& dev) {
        return static_cast<ZoDeviceDiskInfoIface*>(dev ? dev->getInterface("ZoDeviceDiskInfoIface") : nullptr);
    }

    zotest::HostTree tree;
    std::unique_ptr<zotest::FaultyInstall> installed;
};
using IdentityTest = ScsiLookupTest;

TEST_F(ScsiLookupTest, ListedDisksResolveByTheirLinksAtAConstantCost) {
    std::list<std::string> nodes;
    for (int i = 0; i < 64; ++i) nodes.push_back(add("sd" + getAAName(i), i, 16 * (i + 1)));
    add("sr0", 64, 2000);
    tree.write("/sys/devices/platform/host0/target0:0:64/0:0:64:0/type", "5\n");  // not direct access
    add("sdzz", 65, 2016);
    tree.remove("/sys/devices/platform/host0/target0:0:65/0:0:65:0/block");  // a disk without its block entry
    zotest::FaultHost& fault = install();
    std::list<std::string> listed{"stale"};
    CLuError err;
    ASSERT_EQ(0, ZoScsiDiskDevice::getDevices(listed, &err));
    EXPECT_EQ(nodes, listed);  // by target number, not by its text

    fault.failAll("probeOpen", EACCES);  // a listed disk is taken without opening it
    std::vector<int> costs;
    for (int i : {0, 63}) {
        const std::string link = "/dev/disk/by-id/scsi-" + zotest::wwidOfSeed(16 * (i + 1));
        const int before = fault.count("stat") + fault.count("lstat") + fault.count("readlink");
        SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance(link.c_str(), &err);
        costs.push_back(fault.count("stat") + fault.count("lstat") + fault.count("readlink") - before);
        EXPECT_EQ(link, dev ? dev->getDevicePath() : err.AsString());
        EXPECT_EQ("/dev/sd" + getAAName(i), nativePath(dev)) << link;
    }
    EXPECT_EQ(costs[0], costs[1]);
    EXPECT_LE(costs[1], 3);
}

// A path resolves to the listed disk of its number, else to the disk opened
// under it, else (the open failing with openErrno) under its kernel name, which
// must name the very device: partitions from 16 up live on major 259, where
// "minor mod 16" names another partition or the disk.
TEST_F(ScsiLookupTest, PathsResolveToTheirScsiDiskOrAreRejected) {
    add("sdb", 0, 16);
    const zotest::ScsiDiskSpec sdb;  // its name and number
    for (int partno : {3, 10, 12}) zotest::addScsiPartition(tree, sdb, partno);
    zotest::addScsiPartition(tree, sdb, 16, 4096, 2048, 259, 0);
    zotest::addScsiPartition(tree, sdb, 17, 8192, 2048, 259, 1);
    for (const std::string p : {"sdb10", "sdb16", "sdb17"})
        tree.symlink("../../" + p, "/dev/disk/by-partlabel/" + p);
    const std::string virtio = "/sys/devices/pci0000:00/0000:00:04.0/virtio2";
    tree.addBlockDevice("vda", 252, 0, 1000, virtio + "/block/vda");
    tree.symlink("../../../virtio2", virtio + "/block/vda/device");
    tree.write("/tmp/plain", "x");
    zotest::FaultHost& fault = install();
    const std::string p16 = "/dev/disk/by-partlabel/sdb16", p17 = "/dev/disk/by-partlabel/sdb17";
    // found: the object's path and its native path; error: how the failure's text begins.
    const struct { std::string path; int openErrno; std::string found, error; } cases[] = {
        {"/dev/sdb12", 0, "/dev/sdb12", ""},
        {"/dev/disk/by-partlabel/sdb10", EACCES, "/dev/sdb10", ""},
        {p16, 0, p16, ""},
        {p16, EACCES, "", p16 + " (259:0) is not known under /dev/sdb"},
        {p17, EACCES, "", p17 + " (259:1) is not known under /dev/sdb1"},
        {"/dev/sdb3", EIO, "", "Cannot open /dev/sdb3: Input/output error"},
        {"/dev/vda", 0, "", "/dev/vda (252:0) is not a SCSI device"},
        {"/tmp/plain", 0, "", "/tmp/plain is not a block device"},
        {"/dev/sdz", 0, "", "Failed to stat /dev/sdz: No such file or directory"},
    };
    for (const auto& c : cases) {
        fault.clearFailures();
        if (c.openErrno) fault.failWhen("probeOpen", c.path, c.openErrno);
        CLuError err;
        EXPECT_EQ(!c.found.empty(), ZoScsiDiskDevice::isSupportedDevice(c.path.c_str(), &err)) << c.path;
        EXPECT_EQ(c.path == "/dev/sdz", err.IsError()) << c.path << ": only a missing path is an error";
        SP<ZoDevice> dev = ZoScsiDiskDevice::getInstance(c.path.c_str(), &err);
        EXPECT_EQ(c.found, nativePath(dev)) << c.path << ", errno " << c.openErrno;
        EXPECT_EQ(c.found.empty() ? c.error : c.found,
                  dev ? dev->getDevicePath() : err.AsString().substr(0, c.error.size())) << c.path;
        EXPECT_EQ(dev ? 0 : 774, err.IsError() ? err.GetCode() : 0) << c.path;
    }
}

// A target made from a path takes the SCSI address and device directory of
// the disk the path names (a partition: its disk's); any other path gives a
// target with no address.
TEST_F(ScsiLookupTest, TargetsTakeTheAddressOfTheirPath) {
    const std::string node = add("sdb", 5, 16, "", 2);
    zotest::ScsiDiskSpec sdb("sdb", 16, 2, 16);
    sdb.target = 5;
    const std::string part = zotest::addScsiPartition(tree, sdb, 3);
    tree.addBlockDevice("vda", 252, 0, 1000, "/sys/devices/virtual/block/vda");
    install();
    const std::string dir = zotest::scsiDeviceDir(sdb);
    const struct { std::string path, address, sysfs; } cases[] = {
        {node, "2:0:5:0", dir}, {part, "2:0:5:0", dir}, {"/dev/vda", "-1:-1:-1:-1", ""},
        {"/dev/sdz", "-1:-1:-1:-1", ""}, {"", "-1:-1:-1:-1", ""},
    };
    for (const auto& c : cases) {
        const UXScsiTarget target(c.path.c_str(), false);
        EXPECT_EQ(c.address, std::to_string(target.getHost()) + ":" + std::to_string(target.getBus()) + ":" +
                                 std::to_string(target.getTarget()) + ":" + std::to_string(target.getLun())) << c.path;
        EXPECT_EQ(c.sysfs, target.getSysfsDevice()) << c.path;
        EXPECT_EQ(c.path, target.getNativePath());
    }
}

using zotest::bytes;
using zotest::desc;
using zotest::page83;

// What `sg_vpd --inhex=FILE -p di` reports as the first NAA designator of the
// addressed logical unit, with "3" in front; "" when it reports none.
std::string sgVpdWwid(const std::string& file) {
    const std::string awk = "/^  [^ ]/ {lu = /Addressed logical unit/} /designator type:/ {naa = lu && "
                            "/type: NAA/; next} naa && sub(/.*0x/, \"3\") {printf \"%s\", $0; exit}";
    char line[256] = "";
    if (FILE* p = ::popen(("sg_vpd --inhex=" + file + " -p di | awk '" + awk + "'").c_str(), "r")) {
        if (!std::fgets(line, sizeof line, p)) line[0] = 0;
        ::pclose(p);
    }
    return line;
}

// The WWID is "3" and the first logical-unit NAA designator, the same when
// SG_IO is refused (EPERM: read from vpd_pg83); a failing command is an error.
TEST_F(IdentityTest, WwidIsTheFirstLogicalUnitNaaDesignator) {
    const std::string naa16 = bytes({0x60, 1, 0x40, 0x5a, 0x3c, 0x2b, 0x1e, 0x0f, 0, 0xd1, 0xc2, 0xb3, 0xa4,
                                     0x95, 0x86, 0x77});
    const std::string naa8 = bytes({0x50, 0x00, 0xc5, 0x00, 0x15, 0xea, 0x71, 0xac});
    const std::string t10 = desc(2, 0, 1, "ZOTEST  VDISK   0001"), lu16 = desc(1, 0, 3, naa16);
    const int t10Length = static_cast<int>(t10.size());
    struct Case { std::string what, page, want; };
    std::vector<Case> cases = {
        {"T10 then 16-byte binary NAA", page83(t10 + lu16), "3" + zotest::hexBytes(naa16)},
        {"8-byte NAA", page83(desc(1, 0, 3, naa8)), "3" + zotest::hexBytes(naa8)},
        {"NAA of the target port only", page83(desc(1, 1, 3, naa8)), ""},
        {"NAA of the target device only", page83(t10 + desc(1, 2, 3, naa16)), ""},
        {"designator of length 0", page83(desc(1, 0, 3, "")), "3"},
        {"ASCII code set", page83(desc(2, 0, 3, "60014055ABC")), "360014055ABC"},
        {"page length 256", page83(t10 + lu16 + std::string(212, 0)), "3" + zotest::hexBytes(naa16)},
        {"NAA past the 255 bytes asked for", page83(desc(2, 0, 1, std::string(242, 'v')) + lu16), ""},
        {"NAA running past the page", page83(t10 + lu16, t10Length + 10), ""},
        {"page holding less than its length says", page83(lu16.substr(0, 12), 20), ""},
        {"descriptor header running past the page", page83(t10 + bytes({1, 3}), t10Length + 2), ""},
        {"no page at all (the command fails)", "", "-"},
    };
    // Sample pages (hexadecimal bytes, '#' comment lines), as sg_vpd reads them.
    const bool sgVpd = std::system("command -v sg_vpd >/dev/null 2>&1") == 0;
    for (const auto& e : std::filesystem::directory_iterator(ZODEVICE_SOURCE_DIR "/tests/data/vpd")) {
        if (!sgVpd || e.path().extension() != ".hex") continue;
        std::ifstream in(e.path());
        std::string page, word;
        while (in >> word)
            if (word[0] == '#') std::getline(in, word);  // a comment, to the end of its line
            else page += static_cast<char>(std::stoi(word, nullptr, 16));
        cases.push_back({e.path().string(), page, sgVpdWwid(e.path().string())});
        EXPECT_NE("", cases.back().want) << e.path() << ": sg_vpd reports no logical-unit NAA";
    }
    std::vector<std::string> nodes;
    for (size_t i = 0; i < cases.size(); ++i) {
        nodes.push_back(add("sd" + getAAName(i + 1), i, 16 * (i + 1), cases[i].page));
        if (cases[i].want == "-") tree.remove(tree.sysDirOf(nodes.back().substr(5)) + "/device/vpd_pg83");
    }
    zotest::FaultHost& fault = install();
    for (int refusal : {0, EPERM, EIO}) {
        fault.clearFailures();
        if (refusal) fault.failAll("scsiCommand", refusal);
        for (size_t i = 0; i < cases.size(); ++i) {
            CLuError err;
            SP<ZoDevice> dev = ZoDeviceTree::getDevice(nodes[i].c_str(), &err);
            ASSERT_TRUE(info(dev)) << cases[i].what << ": " << err.AsString();
            std::string wwid = "kept:";
            err = info(dev)->GetDeviceWwid(nodes[i], wwid);
            const bool fails = refusal == EIO || cases[i].want == "-";
            EXPECT_EQ(fails ? "Unable to get scsi id" : "", err.AsString()) << cases[i].what;
            EXPECT_EQ("kept:" + (fails ? "" : cases[i].want), wwid) << cases[i].what << ", errno " << refusal;
        }
    }
    std::string none;  // a path that names no device has no WWID
    EXPECT_EQ("Unable to get scsi id", info(ZoDeviceTree::getDevice(nodes[0].c_str(), nullptr))
                                           ->GetDeviceWwid("/dev/nonexistent", none).AsString());
    if (!sgVpd) GTEST_SKIP() << "sample pages not compared: sg_vpd (sg3-utils) is not installed";
}

// Where a page has several logical-unit NAA designators, udev and
// multipath-tools take an NAA 6, else an NAA 5, wherever it stands; the
// library's WWID is the first one. Other mixes the rules rank differently.
TEST(MultipathWwid, NaaSixThenFiveWhereverTheyStand) {
    const std::string naa6 = bytes({0x60, 1, 0x40, 0x5a, 0x3c, 0x2b, 0x1e, 0x0f, 0, 0xd1, 0xc2, 0xb3, 0xa4, 0x95, 0x86, 0x77});
    const std::string naa5 = bytes({0x50, 0x00, 0xc5, 0x00, 0x15, 0xea, 0x71, 0xac});
    const std::string naa2 = bytes({0x20, 0x00, 0x00, 0x0c, 0x29, 0x11, 0x22, 0x33});
    const std::string naa3 = bytes({0x33, 0x33, 0x33, 0x30, 0, 0, 0x07, 0xd0});
    const std::string w6 = "3" + zotest::hexBytes(naa6), w5 = "3" + zotest::hexBytes(naa5);
    const std::string t10 = desc(2, 0, 1, "ZOTEST  VDISK   0001");
    const struct { const char* what; std::string page, first, preferred; } cases[] = {
        {"NAA 5 then NAA 6", page83(desc(1, 0, 3, naa5) + desc(1, 0, 3, naa6)), w5, w6},
        {"NAA 2 then NAA 6", page83(desc(1, 0, 3, naa2) + desc(1, 0, 3, naa6)), "3" + zotest::hexBytes(naa2), w6},
        {"NAA 3 then NAA 5", page83(t10 + desc(1, 0, 3, naa3) + desc(1, 0, 3, naa5)), "3" + zotest::hexBytes(naa3), w5},
        {"NAA 6 then NAA 5", page83(desc(1, 0, 3, naa6) + desc(1, 0, 3, naa5)), w6, w6},
        {"NAA 6 of the port, NAA 5 of the unit", page83(desc(1, 1, 3, naa6) + desc(1, 0, 3, naa5)), w5, w5},
        {"NAA 3 and T10", page83(desc(1, 0, 3, naa3) + t10), "3" + zotest::hexBytes(naa3), ""},
        {"NAA 5 of 16 bytes", page83(desc(1, 0, 3, naa5 + naa5)), "3" + zotest::hexBytes(naa5 + naa5), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zo_identity::naaDesignator(c.page), c.first) << c.what;
        EXPECT_EQ(zo_identity::preferredNaaDesignator(c.page), c.preferred) << c.what;
    }
}

// Commands through the kind: the device's answer, or the failure with the
// sense data the caller gets (a host tree answers INQUIRY alone).
TEST_F(IdentityTest, CommandsAnswerOrFailWithTheirSense) {
    add("sdb", 0, 16);
    install();
    zotest::LogCapture quiet;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice("/dev/sdb", nullptr);
    auto* scsi = static_cast<ZoDeviceScsiIface*>(dev->getInterface("ZoDeviceScsiIface"));
    const std::string inquiry("\x12\0\0\0\x24\0", 6), tur(6, '\0');  // TEST UNIT READY
    const std::string turFails = "[SCSI command 0x00 to /dev/sdb failed: SCSI status 0x02, sense key 0x5, ASC 0x20, "
                                 "ASCQ 0x00 (host tree cannot answer SCSI command 0x00 for /dev/sdb)]";
    const struct { std::string cdb; int length; bool out, in; std::string answer; } cases[] = {
        {inquiry, 36, false, true, "ZOTEST  VDISK"},
        {tur, 0, false, false, turFails},
        {tur, 0, true, true, turFails},  // both directions, but no data to move: sent
        {inquiry, 36, true, true, "[A SCSI command to /dev/sdb cannot move data in both directions]"},
        {"", 0, false, false, "[Invalid SCSI command block for /dev/sdb]"},
        {inquiry, -1, false, true, "[Invalid data buffer for a SCSI command to /dev/sdb]"},
    };
    for (const auto& c : cases) {
        char data[36] = {};
        unsigned char sense[32] = {};
        CLuError err;
        const int rc = scsi->sendScsiCDB(c.cdb.data(), static_cast<int>(c.cdb.size()), c.length ? data : nullptr,
                                         c.length, c.out, c.in, sense, sizeof sense, 0, &err);
        EXPECT_EQ(c.answer, rc == 0 ? std::string(data + 8, 13) : "[" + err.AsString() + "]") << c.answer;
        EXPECT_EQ(c.answer.find("sense key 0x5") != std::string::npos ? 5 : 0, sense[2] & 0x0f) << c.answer;
    }
}

// The node name of the FC target behind the disk ("scsi12", bus 0, target 3:
// fc_transport/target12:0:3); an empty or unreadable one is an error (an
// unreadable one logged), the output untouched.
TEST_F(IdentityTest, NodeNameOfTheFibreChannelTarget) {
    const std::string fc = "/sys/class/fc_transport/target";
    // file: node_name contents (nullptr: none; "/": a directory); want: the node name or the error text.
    const struct { int host, target; const char* file; int code; std::string want, logged; } cases[] = {
        {12, 3, "0x50060e8007c3f200\n", 0, "0x50060e8007c3f200", ""},
        {1, 0, nullptr, ENOENT, "Failed to get sysfs path " + fc + "1:0:0/node_name for device /dev/sdc", ""},
        {2, 0, "", 774, "Empty node name in " + fc + "2:0:0/node_name for device /dev/sdd", ""},
        {3, 0, "/", EISDIR, "Open failed for file " + fc + "3:0:0/node_name",
         "Open failed for file " + fc + "3:0:0/node_name. rc 21"},
    };
    for (int i = 0; i < 4; ++i) add("sd" + getAAName(i + 1), cases[i].target, 16 * (i + 1), "", cases[i].host);
    install();
    for (int i = 0; i < 4; ++i) {
        const auto& c = cases[i];
        const std::string node = "/dev/sd" + getAAName(i + 1);
        const std::string file = fc + std::to_string(c.host) + ":0:" + std::to_string(c.target) + "/node_name";
        if (c.file) std::string(c.file) == "/" ? tree.mkdir(file) : tree.write(file, c.file);
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(node.c_str(), &err);
        ASSERT_TRUE(info(dev)) << node << ": " << err.AsString();
        std::string out = "untouched";
        zotest::LogCapture log;
        err = info(dev)->GetArrayInitiatorId("/ignored", out, false);
        EXPECT_EQ(c.code, err.IsError() ? err.GetCode() : 0) << node;
        EXPECT_EQ(c.code ? c.want : "", err.AsString()) << node;
        EXPECT_EQ(c.code ? "untouched" : c.want, out) << node;
        EXPECT_TRUE(c.logged.empty() || log.count(c.logged) == 1) << node << "\n" << log.dump();
    }
}

}  // namespace
