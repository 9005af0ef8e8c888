// scsi_debug disks in a real kernel: kinds, enumeration, partitions, parents
// and WWIDs as the library answers them, against sysfs, lsblk, scsi_id and
// sg_vpd in the same guest.
#include "ZOSO.h"
#include "ZoDeviceTree.h"
#include "kernel_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>

namespace {

TEST(KernelScsi, KindOfEveryBlockDevice) {
    int virtio = 0;
    for (const zk::LsblkRow& r : zk::compareKindsOfAllDevices()) virtio += r.kname[0] == 'v';
    EXPECT_EQ(virtio, 2) << "the results disk and the plain virtio disk, of no kind";
}

TEST(KernelScsi, AllScsiDisksAreLsblksScsiDisks) {
    std::vector<std::string> peer;
    for (const zk::LsblkRow& r : zk::lsblk("-d"))
        if (r.type == "disk" && zk::peerKind(r.kname) == "SCSI_DISK") peer.push_back(r.kname);
    CLuError err;
    std::list<SP<ZoDevice>> all = ZoDeviceTree::getAllDevices(ZoDevice::SCSI_DISK, &err);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(zk::same("getAllDevices(SCSI_DISK)", "lsblk -d (scsi disks)",
                         zk::joinSorted(peer), zk::knames(all)));
    for (const SP<ZoDevice>& d : all) {
        EXPECT_EQ(d->getType(), ZoDevice::SCSI_DISK) << d->getDevicePath();
        EXPECT_TRUE(d->getChildren().empty()) << d->getDevicePath();
    }
}

TEST(KernelScsi, PartitionsMatchSysfsAndLsblk) {
    std::vector<std::string> disks = zk::scsiDebugDisks();
    ASSERT_EQ(disks.size(), 4u);
    for (const std::string& d : disks) {
        std::string sys = zk::sysfsParts(d);
        EXPECT_NE(sys, "") << d << " has no partitions in sysfs";
        EXPECT_TRUE(zk::same("partitions of /dev/" + d, "sysfs partition/start/size/dev", sys,
                             zk::libraryParts("/dev/" + d, false)));
    }
}

TEST(KernelScsi, DiskOfEachPartition) {
    EXPECT_EQ(zk::compareDisksOfPartitions("sd"), 8) << "two partitions on each of four disks";
}

TEST(KernelScsi, WwidMatchesScsiIdSysfsAndSgVpd) {
    std::vector<std::string> disks = zk::scsiDebugDisks();
    ASSERT_FALSE(disks.empty());
    for (const std::string& d : disks) {
        std::string path = "/dev/" + d;
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
        ASSERT_TRUE(dev) << path << ": " << err.AsString();
        auto* info =
            static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface"));
        ASSERT_NE(info, nullptr) << path;
        std::string wwid;
        CLuError werr = info->GetDeviceWwid(path, wwid);
        EXPECT_FALSE(werr.IsError()) << path << ": " << werr.AsString();
        EXPECT_TRUE(zk::same("WWID of " + path, "scsi_id -g -u -d",
                             zk::trim(zk::runOk("/lib/udev/scsi_id -g -u -d " + path)), wwid));
        std::string sysWwid = zk::trim(zk::readFile("/sys/block/" + d + "/device/wwid"));
        ASSERT_EQ(sysWwid.compare(0, 4, "naa."), 0) << sysWwid;
        EXPECT_TRUE(zk::same("WWID of " + path, "sysfs device/wwid", "3" + sysWwid.substr(4),
                             wwid));
        std::string serial;
        EXPECT_TRUE(ZOSO::DetermineDeviceSerial(0, path, serial)) << path;
        EXPECT_TRUE(zk::same("page 0x83 walk of " + path, "sg_vpd -p di", zk::sgVpdNaaWwid(path),
                             serial));
    }
}

// Runs after the tests above: it changes the table on the shared store.
TEST(KernelScsiReread, TableWrittenBehindTheKernelsBackIsFound) {
    std::vector<std::string> disks = zk::scsiDebugDisks();
    ASSERT_FALSE(disks.empty());
    const std::string d = disks.back(), path = "/dev/" + d;
    // The table goes in through a node of the disk's own outside /dev: udevd
    // watches /dev/sdX and re-reads a disk's table itself when a writer
    // closes it, which would race the library's re-read (and both see EBUSY
    // in turn).
    const std::string behind = "/tmp/zk-behind-" + d;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    ::unlink(behind.c_str());
    ASSERT_EQ(::mknod(behind.c_str(), S_IFBLK | 0600, st.st_rdev), 0) << behind;
    zk::runOk("printf 'label: dos\\nstart=2048, size=16384, type=83\\n"
              "start=20480, size=8192, type=83\\nstart=32768, size=4096, type=83\\n' | "
              "/usr/sbin/sfdisk --no-reread --no-tell-kernel " + behind + " >/dev/null");
    ::unlink(behind.c_str());
    ASSERT_EQ(zk::sysfsParts(d).find("3:"), std::string::npos)
        << "the kernel saw the new table too early: " << zk::sysfsParts(d);
    // udev is idle here: the re-read and the settle take a second or two,
    // not the settle time-out (a missing settle tool means a blind sleep).
    auto start = std::chrono::steady_clock::now();
    std::string lib = zk::libraryParts(path, true);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 60) << "getPartitions with a re-read of " << path << " took " << seconds
                           << " s: is udevadm where the settle routine looks for it?";
    // The table on the disk, as partx reads it, and the kernel's view now.
    std::vector<std::string> peer;
    for (const std::string& l :
         zk::lines(zk::runOk("/usr/bin/partx -g -o NR,START,SECTORS " + path))) {
        std::vector<std::string> w = zk::words(l);
        if (w.size() == 3) peer.push_back(w[0] + ":" + w[1] + "+" + w[2]);
    }
    std::vector<std::string> libItems;
    size_t pos = 0;
    while (pos < lib.size()) {
        size_t end = lib.find(", ", pos);
        std::string item = lib.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        libItems.push_back(item.substr(0, item.find('@')));
        pos = end == std::string::npos ? lib.size() : end + 2;
    }
    EXPECT_TRUE(zk::same("re-read table of " + path, "partx -g (on-disk table)",
                         zk::joinSorted(peer), zk::joinSorted(libItems)));
    EXPECT_TRUE(zk::same("re-read table of " + path, "sysfs after the re-read", zk::sysfsParts(d),
                         lib));
}

}  // namespace
