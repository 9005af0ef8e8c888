// Faults the real-kernel suite found, pinned down on host trees so they stay
// mended without a guest.
#include "ZoDevice.h"
#include "ZoHost.h"
#include "ZoScsiDiskDevice.h"

#include "support/disk_image.h"
#include "support/host_tree.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <list>
#include <string>

namespace {

const char kSdaDir[] = "/sys/devices/platform/host0/target0:0:0/0:0:0:0/block/sda";
const char kDm0Dir[] = "/sys/devices/virtual/block/dm-0";

// sda (8:0) holding a DOS table of two partitions, a settle tool that
// answers, and whatever the case adds (holders, partition nodes).
struct PathDiskTree {
    zotest::HostTree tree;
    PathDiskTree() {
        tree.addBlockDevice("sda", 8, 0, 131072, kSdaDir);
        zotest::makeDiskImage(tree.at("/dev/sda"), 64,
                              "label: dos\nstart=2048, size=32768\nstart=40960, size=40960\n");
        tree.write("/usr/bin/udevadm", "");
        tree.answerCommand("udevadm settle --timeout=120", 0, "");
    }
    // A map (dm-0, 253:0) over sda, as the kernel links them in sysfs.
    void mapOverDisk() {
        tree.addBlockDevice("dm-0", 253, 0, 131072, kDm0Dir);
        tree.symlink("../../sda", std::string(kDm0Dir) + "/slaves/sda");
        tree.symlink("../../../../../../../virtual/block/dm-0",
                     std::string(kSdaDir) + "/holders/dm-0");
    }
    // sda1 held by a map over the partition (dm-0).
    void mapOverPartition() {
        tree.addPartition("sda", "sda1", 1, 8, 1, 2048, 32768);
        tree.addBlockDevice("dm-0", 253, 0, 32768, kDm0Dir);
        tree.symlink("../../../../../../../../virtual/block/dm-0",
                     std::string(kSdaDir) + "/sda1/holders/dm-0");
    }
};

// BLKRRPART in a captured tree answers as the kernel did on the machine:
// a disk a map holds (a multipath path) or whose partition is held keeps
// its table (EBUSY). Before, the tree re-read every disk, and `zodisk
// --sysroot` on a capture listed partitions on multipath paths where the
// live machine reported the failed re-read.
TEST(KernelFindings, RereadOfAHeldDiskIsBusyAsInTheKernel) {
    struct Case {
        const char* what;
        void (PathDiskTree::*arrange)();
        int rc;
        int err;
    } cases[] = {
        {"disk nobody holds", nullptr, 0, 0},
        {"disk a map holds", &PathDiskTree::mapOverDisk, -1, EBUSY},
        {"disk whose partition a map holds", &PathDiskTree::mapOverPartition, -1, EBUSY},
    };
    for (const Case& c : cases) {
        PathDiskTree t;
        if (c.arrange)
            (t.*c.arrange)();
        auto installed = t.tree.install();
        errno = 0;
        int rc = ZoHost::current()->rereadPartitions("/dev/sda");
        int err = errno;
        EXPECT_EQ(rc, c.rc) << c.what;
        if (c.rc != 0) {
            EXPECT_EQ(err, c.err) << c.what;
            EXPECT_TRUE(installed.host().rereads().empty()) << c.what;
        } else {
            EXPECT_EQ(installed.host().rereads().size(), 1u) << c.what;
        }
    }
}

}  // namespace
