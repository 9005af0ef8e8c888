// SPDX-License-Identifier: LGPL-2.1-or-later
// scsi_debug disks in a real kernel: kinds, enumeration, partitions, parents
// and WWIDs as the library answers them, against sysfs, lsblk, scsi_id and
// sg_vpd in the same guest.
#include "ZOSO.h"
#include "kernel_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>

namespace {

// "3" + the first NAA designator of the addressed logical unit in
// `sg_vpd -p di` of a device, lower-case; "" when there is none.
std::string sgVpdNaaWwid(const std::string& devPath) {
    std::vector<std::string> ls = zk::lines(zk::runOk("/usr/bin/sg_vpd -p di " + devPath));
    bool lu = false, naa = false;
    for (const std::string& raw : ls) {
        std::string l = zo_str::trimmed(raw);
        if (l.rfind("Addressed logical unit", 0) == 0) { lu = true; continue; }
        if (!lu) continue;
        if (raw.find_first_not_of(' ') <= 2 && l.back() == ':' &&
            l.find("designator") == std::string::npos)
            break;  // the next association (target port, target device)
        if (l.find("designator type: NAA") != std::string::npos) { naa = true; continue; }
        if (naa && l.rfind("0x", 0) == 0) {
            std::string hex = l.substr(2);
            for (char& c : hex) c = std::tolower(static_cast<unsigned char>(c));
            return "3" + hex;
        }
    }
    return "";
}

TEST(KernelScsi, KindOfEveryBlockDevice) {
    int virtio = 0;
    for (const zk::LsblkRow& r : zk::compareKindsOfAllDevices()) virtio += r.kname[0] == 'v';
    EXPECT_EQ(virtio, 2) << "the results disk and the plain virtio disk, of no kind";
}

TEST(KernelScsi, AllScsiDisksAreLsblksScsiDisks) {
    for (const SP<ZoDevice>& d : zk::compareAllDevices(ZoDevice::SCSI_DISK, "lsblk -d (scsi disks)"))
        EXPECT_TRUE(d->getChildren().empty()) << d->getDevicePath();
}

TEST(KernelScsi, PartitionsMatchSysfsAndLsblk) {
    std::vector<std::string> disks = zk::scsiDebugDisks();
    ASSERT_EQ(disks.size(), 4u);
    EXPECT_EQ(zk::comparePartitions(disks), 4) << "each disk has partitions in sysfs";
}

TEST(KernelScsi, DiskOfEachPartition) {
    EXPECT_EQ(zk::compareDisksOfPartitions("sd"), 8) << "two partitions on each of four disks";
}

TEST(KernelScsi, WwidMatchesScsiIdSysfsAndSgVpd) {
    std::vector<std::string> disks = zk::scsiDebugDisks();
    ASSERT_FALSE(disks.empty());
    for (const std::string& d : disks) {
        std::string path = "/dev/" + d, wwid;
        EXPECT_EQ(zk::wwidOf(path, &wwid), "") << path;
        EXPECT_TRUE(zk::same("WWID of " + path, "scsi_id -g -u -d",
                             zo_str::trimmed(zk::runOk("/lib/udev/scsi_id -g -u -d " + path)), wwid));
        std::string sysWwid = zo_str::trimmed(zk::readFile("/sys/block/" + d + "/device/wwid"));
        ASSERT_EQ(sysWwid.compare(0, 4, "naa."), 0) << sysWwid;
        EXPECT_TRUE(zk::same("WWID of " + path, "sysfs device/wwid", "3" + sysWwid.substr(4),
                             wwid));
        std::string serial;
        EXPECT_TRUE(ZOSO::DetermineDeviceSerial(0, path, serial)) << path;
        EXPECT_TRUE(zk::same("page 0x83 walk of " + path, "sg_vpd -p di", sgVpdNaaWwid(path),
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
    std::vector<std::string> libItems;  // "N:start+sectors" of each "N:start+sectors@maj:min name"
    for (const std::string& w : zk::words(lib))
        if (w.find('@') != std::string::npos) libItems.push_back(w.substr(0, w.find('@')));
    EXPECT_TRUE(zk::same("re-read table of " + path, "partx -g (on-disk table)",
                         zk::joinSorted(peer), zk::joinSorted(libItems)));
    EXPECT_TRUE(zk::same("re-read table of " + path, "sysfs after the re-read", zk::sysfsParts(d),
                         lib));
}

}  // namespace
