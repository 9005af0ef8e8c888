// zodisk snapshot: a capture answers every command exactly as the machine it
// was taken from. The machines are the ones shipped under examples/hosts;
// with ZODISK_WRITE_EXAMPLES=1 the captures are written there.
#include "cli_run.h"
#include "support/disk_image.h"
#include "support/dm_tree.h"
#include "support/host_tree.h"
#include "support/nvme_tree.h"
#include "support/scsi_tree.h"
#include "support/xen_tree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using clitest::Result;
using clitest::zodisk;
using namespace zotest;

namespace {

const char kDosTwoParts[] =
    "label: dos\nstart=2048, size=32768, type=83\nstart=40960, size=40960, type=83\n";
const uint64_t k64MiB = 131072;   // sectors

void partitioned(HostTree& tree, const ScsiDiskSpec& d) {
    makeDiskImage(tree.at("/dev/" + d.name), 64, kDosTwoParts);
    addScsiPartition(tree, d, 1, 2048, 32768);
    addScsiPartition(tree, d, 2, 40960, 40960);
}

void udevTools(HostTree& tree, const std::string& udevadm) {
    tree.write(udevadm, "");
    tree.answerCommand("udevadm settle --timeout=120", 0, "");
}

// The real-kernel suite's machine: LU 0 and LU 1 of scsi_debug behind two
// hosts (LU 0 partitioned and under a map with partition maps, LU 1
// without a map), a partitioned NVMe namespace and one in a subsystem.
void buildQemuSan(HostTree& tree) {
    tree.setProcDevices({{1, "mem"}, {kNvmeGenericCharMajor, "nvme-generic"},
                         {kNvmeCharMajor, "nvme"}},
                        {{8, "sd"}, {kDmMajor, "device-mapper"}, {kBlkextMajor, "blkext"}});
    tree.answerCommand("cat /proc/devices | awk '{if($2 ~/nvme/) printf $1}'", 0,
                       std::to_string(kNvmeGenericCharMajor) + std::to_string(kNvmeCharMajor));
    tree.answerCommand("cat /proc/devices | grep 'xvd' | awk '{print $1}'", 0, "");
    tree.answerCommand("mountpoint -d /", 0, "0:22\n");
    udevTools(tree, "/usr/bin/udevadm");
    std::vector<ScsiDiskSpec> paths;
    const char* names[] = {"sda", "sdb", "sdc", "sdd"};
    for (int i = 0; i < 4; ++i) {
        ScsiDiskSpec d;
        d.name = names[i];
        d.host = 1 + i / 2;
        d.lun = i % 2;
        d.minor = 16 * i;
        d.sectors = k64MiB;
        d.vendor = "Linux";
        d.model = "scsi_debug";
        d.rev = "0191";
        d.seed = 0x5333 + d.lun;
        d.byIdLink = "/dev/disk/by-id/scsi-" + wwidOfSeed(d.seed) + (i < 2 ? "" : "-path2");
        addScsiDisk(tree, d);
        paths.push_back(d);
    }
    partitioned(tree, paths[0]);
    partitioned(tree, paths[2]);
    makeDiskImage(tree.at("/dev/sdb"), 64, "");
    makeDiskImage(tree.at("/dev/sdd"), 64, "");
    DmMapSpec map;
    map.name = wwidOfSeed(paths[0].seed);
    map.minor = 0;
    map.paths = {"sda", "sdc"};
    map.sectors = k64MiB;
    DmMap m = addMultipathMap(tree, map);
    for (int p = 1; p <= 2; ++p) {
        DmPartitionSpec part;
        part.map = m.kernelName;
        part.name = map.name + "-part" + std::to_string(p);
        part.minor = p;
        part.partno = p;
        part.start = p == 1 ? 2048 : 40960;
        part.sectors = p == 1 ? 32768 : 40960;
        addMultipathPartition(tree, part);
    }
    addNvmeDisk(tree, 0, 0, k64MiB, "vol0123456789abcdef0");
    makeDiskImage(tree.at("/dev/nvme0n1"), 64, "label: dos\nstart=2048, size=65536, type=83\n");
    addNvmePartition(tree, "nvme0n1", 1, 1, 2048, 65536);
    addNvmeDisk(tree, 1, 2, k64MiB, "vol0fedcba9876543210", NvmeLayout::Subsystem);
    makeDiskImage(tree.at("/dev/nvme1n1"), 64, "");
    tree.answerCommand(nvmeSerialCommand("/dev/nvme0n1", "/usr/bin/udevadm"), 0,
                       "vol0123456789abcdef0");
    tree.answerCommand(nvmeSerialCommand("/dev/nvme1n1", "/usr/bin/udevadm"), 0,
                       "vol0fedcba9876543210");
    tree.write("/etc/multipath.conf",
               "defaults {\n\tuser_friendly_names no\n\tfind_multipaths no\n}\n"
               "blacklist {\n\twwid \".*\"\n}\nblacklist_exceptions {\n\twwid \"" +
                   map.name + "\"\n}\n");
    tree.setConfig("[Ferrovane]\nnConfigureBlacklistException = 1\n");
}

// A Xen guest: root on xvde1, a partitioned data disk xvdf, and Fibre
// Channel disks: one LU on two paths under the map mpatha, one on one path.
void buildXenGuest(HostTree& tree) {
    setXenProcDevices(tree);
    tree.answerCommand("cat /proc/devices | awk '{if($2 ~/nvme/) printf $1}'", 0, "");
    udevTools(tree, "/sbin/udevadm");
    setRootDevice(tree, kXvdMajor, 4 * 16 + 1);
    addXenDisk(tree, 4, 16777216);
    makeDiskImage(tree.at("/dev/xvde"), 64, "label: dos\nstart=2048, type=83\n");
    addXenPartition(tree, 4, 1, 2048, 129024);
    addXenDisk(tree, 5, k64MiB);
    makeDiskImage(tree.at("/dev/xvdf"), 64, kDosTwoParts);
    addXenPartition(tree, 5, 1, 2048, 32768);
    addXenPartition(tree, 5, 2, 40960, 40960);
    const char* names[] = {"sda", "sdb", "sdc"};
    for (int i = 0; i < 3; ++i) {
        ScsiDiskSpec d;
        d.name = names[i];
        d.host = 3 + (i == 2);
        d.target = i == 2 ? 0 : i;
        d.minor = 16 * i;
        d.vendor = "QUORVEL";
        d.model = "FA-ARRAY";
        d.seed = i < 2 ? 0xfc01 : 0xfc02;
        d.fcNodeName = i < 2 ? "0x50060e8007e2c0" + std::string(i ? "11" : "10")
                             : "0x50060e8007e2c020";
        d.sectors = k64MiB;
        addScsiDisk(tree, d);
        makeDiskImage(tree.at("/dev/" + d.name), 64, "label: dos\nstart=2048, type=83\n");
        addScsiPartition(tree, d, 1, 2048, k64MiB - 2048);
    }
    DmMapSpec map;
    map.name = "mpatha";
    map.wwid = wwidOfSeed(0xfc01);
    map.paths = {"sda", "sdb"};
    map.sectors = k64MiB;
    DmMap m = addMultipathMap(tree, map);
    DmPartitionSpec part;
    part.map = m.kernelName;
    part.name = "mpatha-part1";
    part.sectors = k64MiB - 2048;
    addMultipathPartition(tree, part);
    tree.write("/etc/multipath.conf",
               "defaults {\n\tuser_friendly_names yes\n}\nblacklist_exceptions {\n\twwid \"" +
                   map.wwid + "\"\n}\n");
    tree.setConfig("[Ferrovane]\nnConfigureBlacklistException = 1\n");
}

struct Shipped {
    const char* name;
    void (*build)(HostTree&);
    std::vector<std::string> showPaths;
};

const Shipped kShipped[] = {
    {"qemu-san", buildQemuSan, {"/dev/sda", "/dev/sda1", "/dev/nvme0n1"}},
    {"xen-guest", buildXenGuest, {"/dev/xvdf", "/dev/xvde1", "/dev/sdb"}},
};

std::vector<std::vector<std::string>> questions(const Shipped& s) {
    std::vector<std::string> show = {"--json", "show"};
    show.insert(show.end(), s.showPaths.begin(), s.showPaths.end());
    return {{"--json", "list"}, {"--json", "tree"}, show, {"tree"}, {"nvme-volume", "/dev/nvme1n1"}};
}

std::string withRoot(const std::string& root, std::vector<std::string> args, Result* run) {
    args.insert(args.begin(), {"--sysroot", root});
    *run = zodisk(args);
    return clitest::describe(args, *run);
}

}  // namespace

// A capture of a tree prints what the tree itself prints, for every
// question the golden tests ask.
TEST(CliSnapshot, CaptureAnswersLikeTheMachine) {
    for (const Shipped& s : kShipped) {
        HostTree source;
        s.build(source);
        HostTree target;
        std::string dir = target.root() + "/capture";
        bool write = std::getenv("ZODISK_WRITE_EXAMPLES") != nullptr;
        if (write) {
            dir = std::string(ZODEVICE_SOURCE_DIR) + "/examples/hosts/" + s.name;
            std::filesystem::remove_all(dir);
        }
        Result snap;
        std::string what = withRoot(source.root(), {"snapshot", dir}, &snap);
        ASSERT_EQ(snap.status, 0) << s.name << ": " << what;
        for (const auto& q : questions(s)) {
            Result live, captured;
            std::string liveWhat = withRoot(source.root(), q, &live);
            std::string capWhat = withRoot(dir, q, &captured);
            EXPECT_EQ(live.status, captured.status) << liveWhat << "\n" << capWhat;
            EXPECT_EQ(live.out, captured.out) << liveWhat << "\n" << capWhat;
            EXPECT_FALSE(live.out.empty() && live.status == 0) << liveWhat;
        }
    }
}

// The capture refuses a directory that already holds something, and
// writes nothing outside its directory.
TEST(CliSnapshot, RefusesNonEmptyDirectoryAndStaysInside) {
    HostTree source;
    buildXenGuest(source);
    HostTree target;
    target.write("/keep", "x");
    Result r;
    std::string what = withRoot(source.root(), {"snapshot", target.root()}, &r);
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_NE(r.err.find("is not empty"), std::string::npos) << what;

    std::string dir = target.root() + "/sub/capture";
    what = withRoot(source.root(), {"snapshot", dir}, &r);
    ASSERT_EQ(r.status, 0) << what;
    std::vector<std::string> top;
    for (const auto& e : std::filesystem::directory_iterator(target.root()))
        top.push_back(e.path().filename());
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"keep", "sub"})) << what;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_symlink()) {
            std::string t = std::filesystem::read_symlink(e.path());
            EXPECT_NE(t.rfind(dir, 0), 0u) << "link " << e.path() << " names the capture dir";
        }
}
