// The guest program runs and the library answers in a real kernel: the
// results disk is a virtio disk, which no kind of the library claims.
#include "ZoDeviceTree.h"
#include "ZoProcess.h"
#include "kernel_support.h"

namespace {

TEST(KernelSmoke, LibraryRunsCommandsInTheGuest) {
    std::string out;
    ASSERT_EQ(ZoProcess::system("uname -r", &out, nullptr, 0, false), 0);
    EXPECT_TRUE(zk::same("kernel release", "/proc/sys/kernel/osrelease",
                         zk::readFile("/proc/sys/kernel/osrelease"), zk::trim(out)));
}

TEST(KernelSmoke, VirtioDiskIsNoKind) {
    std::vector<zk::LsblkRow> rows = zk::lsblk();
    int checked = 0;
    for (const zk::LsblkRow& r : rows) {
        if (r.kname.compare(0, 2, "vd") != 0 || r.type != "disk") continue;
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(("/dev/" + r.kname).c_str(), &err);
        EXPECT_TRUE(zk::same("kind of /dev/" + r.kname, "lsblk TYPE=" + r.type + " + sysfs",
                             zk::peerKind(r.kname), zk::kindName(dev ? dev->getType() : 0)));
        EXPECT_TRUE(err.IsError()) << "/dev/" << r.kname;
        ++checked;
    }
    EXPECT_GT(checked, 0) << "lsblk listed no virtio disk";
}

}  // namespace
