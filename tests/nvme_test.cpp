// The NVMe disk kind on host trees: recognition by sysfs link, enumeration
// with hidden controller paths, partitions, parent, volume-id conversions
// and its place in the lookup order.
#include "FXString.h"
#include "ZoDeviceTree.h"
#include "ZoInternal.h"
#include "ZoNVMEDiskDevice.h"
#include "ZoScsiDiskDevice.h"

#include "support/disk_image.h"
#include "support/fault_host.h"
#include "support/host_tree.h"
#include "support/log_capture.h"
#include "support/nvme_tree.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

using zotest::NvmeLayout;

const char kVolA[] = "vol0123456789abcdef0";
const char kVolB[] = "vol0fedcba9876543210";

// nvme0n1 (controller layout, 259:0), nvme1n1 (subsystem layout, 259:1)
// with partition nvme1n1p1 (259:2), a loop partition on 259:3 whose link
// lacks "nvme", a SCSI disk sdb and the controller's character node.
class NvmeTest : public ::testing::Test {
protected:
    void SetUp() override {
        zo_internal::resetProcessState();
        zotest::setNvmeProcDevices(tree);
        zotest::addNvmeDisk(tree, 0, 0, 2097152, kVolA);
        zotest::addNvmeDisk(tree, 1, 1, 2097152, kVolB, NvmeLayout::Subsystem);
        zotest::addNvmePartition(tree, "nvme1n1", 1, 2, 2048, 4096);
        tree.addBlockDevice("loop0", 7, 0, 8192, "/sys/devices/virtual/block/loop0");
        tree.addPartition("loop0", "loop0p1", 1, 259, 3, 2048, 2048);
        tree.addBlockDevice("sdb", 8, 16, 8192,
                            "/sys/devices/platform/host0/target0:0:0/0:0:0:1/block/sdb");
        tree.write("/sbin/udevadm", "");
        tree.answerCommand("udevadm settle --timeout=120", 0, "");
    }
    void TearDown() override { zo_internal::resetProcessState(); }

    zotest::HostTree tree;
};

std::vector<std::string> sorted(std::list<std::string> l) {
    std::vector<std::string> v(l.begin(), l.end());
    std::sort(v.begin(), v.end());
    return v;
}

TEST_F(NvmeTest, RecognitionByLink) {
    auto installed = tree.install();
    zotest::LogCapture log;
    struct Case {
        const char* path;
        bool accepted;
        std::string error;  // "" for none
        int code;
    } cases[] = {
        // A 259 device that is not NVMe, before and after an NVMe disk was
        // accepted: the shared major alone never decides.
        {"/dev/loop0p1", false, "", 0},
        {"/dev/nvme0n1", true, "", 0},
        {"/dev/loop0p1", false, "", 0},
        {"/dev/nvme1n1", true, "", 0},
        {"/dev/nvme1n1p1", true, "", 0},
        {"/dev/sdb", false, "", 0},
        {"/dev/nvme0", false, "", 0},  // the controller's character node
        {"/dev/nvme1c1n1", false, "Failed to stat device [/dev/nvme1c1n1]", ENOENT},
        {"/dev/nope", false, "Failed to stat device [/dev/nope]", ENOENT},
    };
    for (const Case& c : cases) {
        CLuError err;
        EXPECT_EQ(c.accepted, ZoNVMEDiskDevice::isSupportedDevice(c.path, &err)) << c.path;
        EXPECT_EQ(c.error, err.AsString()) << c.path;
        if (!c.error.empty()) {
            EXPECT_EQ(c.code, err.GetCode()) << c.path;
        }
        EXPECT_EQ(c.accepted, ZoNVMEDiskDevice::isSupportedDevice(c.path, nullptr)) << c.path;
    }
    // The /proc/devices command ran once for the whole process.
    const auto cmds = installed.host().commandsRun();
    EXPECT_EQ(1, std::count(cmds.begin(), cmds.end(), std::string(zotest::kNvmeMajorCommand)));
    EXPECT_LE(1u, log.countContaining("read link returned=[../../devices/pci0000:00/0000:00:04.0/nvme/"
                                      "nvme0/nvme0n1] for path=[/sys/dev/block/259:0]"))
        << log.dump();
}

TEST_F(NvmeTest, BlockNodeWithoutSysfsLink) {
    tree.write("/sys/class/block/ghost/dev", "259:9\n");
    auto installed = tree.install();
    CLuError err;
    EXPECT_FALSE(ZoNVMEDiskDevice::isSupportedDevice("/dev/ghost", &err));
    EXPECT_EQ("failed to read link for path=[/sys/dev/block/259:9], error=[" +
                  std::string(std::strerror(ENOENT)) + "]",
              err.AsString());
    EXPECT_EQ(ENOENT, err.GetCode());
}

TEST_F(NvmeTest, NoNvmeDriverAcceptsNothing) {
    for (int status : {0, 1}) {
        zo_internal::resetNvmeMajor();
        tree.answerCommand(zotest::kNvmeMajorCommand, status, "");
        auto installed = tree.install();
        CLuError err;
        EXPECT_FALSE(ZoNVMEDiskDevice::isSupportedDevice("/dev/nvme0n1", &err)) << status;
        EXPECT_FALSE(ZoNVMEDiskDevice::isSupportedDevice("/dev/nope", &err)) << status;
        EXPECT_FALSE(err.IsError()) << status;
        std::list<std::string> out{"stale"};
        EXPECT_EQ(0, ZoNVMEDiskDevice::getDevices(out, &err)) << status;
        EXPECT_TRUE(out.empty()) << status;
    }
}

TEST_F(NvmeTest, EnumerationSkipsTheHiddenControllerPath) {
    auto installed = tree.install();
    std::list<std::string> out;
    CLuError err;
    EXPECT_EQ(0, ZoNVMEDiskDevice::getDevices(out, &err));
    EXPECT_EQ((std::vector<std::string>{"/dev/nvme0n1", "/dev/nvme1n1"}), sorted(out));
    // The hidden entry has no node: its failure is left in err.
    EXPECT_EQ("Failed to stat device [/dev/nvme1c1n1]", err.AsString());

    err = CLuError::Success();
    auto devices = ZoDeviceTree::getAllDevices(ZoDevice::NVME_DISK, &err);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    std::list<std::string> paths;
    for (auto& d : devices) {
        EXPECT_EQ(ZoDevice::NVME_DISK, d->getType());
        paths.push_back(d->getDevicePath());
    }
    EXPECT_EQ((std::vector<std::string>{"/dev/nvme0n1", "/dev/nvme1n1"}), sorted(paths));
}

TEST_F(NvmeTest, InstanceAndInterfaces) {
    auto installed = tree.install();
    CLuError err;
    SP<ZoDevice> dev = ZoNVMEDiskDevice::getInstance("/dev/nvme0n1", &err);
    ASSERT_TRUE(dev);
    EXPECT_EQ(ZoDevice::NVME_DISK, dev->getType());
    EXPECT_EQ("/dev/nvme0n1", dev->getDevicePath());
    auto* marker = static_cast<ZoDeviceNVMEIface*>(dev->getInterface("ZoDeviceNVMEIface"));
    auto* part = static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
    ASSERT_TRUE(marker);
    ASSERT_TRUE(part);
    EXPECT_EQ(dev.get(), dynamic_cast<ZoDevice*>(part));
    for (const char* none : {"ZoDeviceDiskInfoIface", "ZoDeviceVDIface", "ZoDeviceNVMEIfaceX",
                             "ZoDeviceScsiIface", "ZoDeviceIface"})
        EXPECT_EQ(nullptr, dev->getInterface(none)) << none;

    EXPECT_FALSE(ZoNVMEDiskDevice::getInstance("/dev/loop0p1", &err));
    std::list<std::string> children{"x"};
    EXPECT_EQ(0, ZoNVMEDiskDevice::getChildren("/dev/nvme0n1", children, &err));
    EXPECT_TRUE(children.empty());
}

// An image with three partitions on nvme0n1, their nodes on minors handed
// out out of order.
struct NvmePartitions {
    explicit NvmePartitions(zotest::HostTree& tree) {
        zotest::makeDiskImage(tree.at("/dev/nvme0n1"), 64, "label: gpt\n,4M\n,4M\n,4M\n");
        zotest::addNvmePartition(tree, "nvme0n1", 1, 7, 2048, 8192);
        zotest::addNvmePartition(tree, "nvme0n1", 2, 5, 10240, 8192);
        zotest::addNvmePartition(tree, "nvme0n1", 3, 9, 18432, 8192);
    }
};

TEST_F(NvmeTest, PartitionsAreNamedWithPAndCarryTheirOwnNumbers) {
    NvmePartitions p(tree);
    auto installed = tree.install();
    zotest::LogCapture log;
    SP<ZoDevice> dev = ZoNVMEDiskDevice::getInstance("/dev/nvme0n1", nullptr);
    ASSERT_TRUE(dev);
    auto* part = static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
    std::list<ZoPartInfo> out;
    CLuError err;
    ASSERT_EQ(0, part->getPartitions(out, &err, false));
    std::vector<std::string> got;
    for (const ZoPartInfo& i : out) {
        std::ostringstream os;
        os << i.partName << " " << i.partNumber << " " << i.major << ":" << i.minor << " "
           << i.startSector << "+" << i.numSectors << " " << i.sectorSize;
        got.push_back(os.str());
    }
    EXPECT_EQ((std::vector<std::string>{"/dev/nvme0n1p1 1 259:7 2048+8192 512",
                                        "/dev/nvme0n1p2 2 259:5 10240+8192 512",
                                        "/dev/nvme0n1p3 3 259:9 18432+8192 512"}),
              got);
    ASSERT_EQ(1u, log.count("All partition devices found on [/dev/nvme0n1]")) << log.dump();
    for (const auto& l : log.lines())
        if (l.text == "All partition devices found on [/dev/nvme0n1]") {
            EXPECT_NE(std::string::npos, l.function.find("ZoNVMEDiskDevice::getPartitions")) << l.function;
        }
}

TEST_F(NvmeTest, PartitionNodeIsNotRefused) {
    auto installed = tree.install();
    SP<ZoDevice> dev = ZoNVMEDiskDevice::getInstance("/dev/nvme1n1p1", nullptr);
    ASSERT_TRUE(dev);
    std::list<ZoPartInfo> out;
    CLuError err;
    // The node has no contents here, so its table cannot be read; what
    // matters is that it was tried.
    EXPECT_LT(static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"))
                  ->getPartitions(out, &err, false),
              0);
    EXPECT_EQ("Failed to get partitions from device", err.AsString());
}

TEST_F(NvmeTest, RereadFailures) {
    struct Case {
        int code;
        int result;
        std::string error;
        size_t settles;
    } cases[] = {
        {EBUSY, 0, "", 1},  // partitions in use: carry on as if re-read
        {EIO, -1, "Failed to re-read device partitions[/dev/nvme0n1][5]", 0},
    };
    for (const Case& c : cases) {
        zotest::HostTree t;
        zotest::setNvmeProcDevices(t);
        zotest::addNvmeDisk(t, 0, 0, 131072, kVolA);
        NvmePartitions p(t);
        t.write("/sbin/udevadm", "");
        t.answerCommand("udevadm settle --timeout=120", 0, "");
        auto installed = t.install();
        auto fault = std::make_shared<zotest::FaultHost>(installed.shared());
        auto previous = ZoHost::install(fault);
        fault->failAll("rereadPartitions", c.code);
        zotest::LogCapture log;

        ZoNVMEDiskDevice dev("/dev/nvme0n1");
        std::list<ZoPartInfo> out;
        CLuError err;
        EXPECT_EQ(c.result, dev.getPartitions(out, &err, true)) << c.code;
        EXPECT_EQ(c.error, err.AsString()) << c.code;
        EXPECT_EQ(c.result == 0 ? 3u : 0u, out.size()) << c.code;
        const auto cmds = fault->commands();
        EXPECT_EQ(c.settles, static_cast<size_t>(std::count(cmds.begin(), cmds.end(),
                                                            std::string("udevadm settle --timeout=120"))))
            << c.code;
        EXPECT_EQ(c.settles, log.count("Refreshed partitions for device /dev/nvme0n1")) << c.code;
        ZoHost::install(previous);
    }
}

TEST_F(NvmeTest, SettleFailureSleepsThroughTheHost) {
    NvmePartitions p(tree);
    tree.remove("/sbin/udevadm");
    auto installed = tree.install();
    zotest::LogCapture log;
    ZoNVMEDiskDevice dev("/dev/nvme0n1");
    std::list<ZoPartInfo> out;
    EXPECT_EQ(0, dev.getPartitions(out, nullptr, true));
    EXPECT_EQ(std::vector<unsigned long>{120000}, installed.host().sleepsMs());
    EXPECT_EQ(1u, log.count(" --timeout=120 return [127]:[no answer in host tree for:  --timeout=120]"))
        << log.dump();

    CLuError err;
    ZoNVMEDiskDevice gone("/dev/nvme7n1");
    EXPECT_EQ(-1, gone.getPartitions(out, &err, false));
    EXPECT_EQ("Failed to stat device [/dev/nvme7n1][2]", err.AsString());
}

TEST_F(NvmeTest, ParentDisk) {
    // Namespace 12 of controller 0 and its partition: the lookup knows
    // namespace 1 only and must not take nvme0n12 for nvme0n1.
    tree.addBlockDevice("nvme0n12", 259, 10, 8192,
                        "/sys/devices/pci0000:00/0000:00:04.0/nvme/nvme0/nvme0n12");
    tree.addPartition("nvme0n12", "nvme0n12p1", 1, 259, 11, 2048, 2048);
    auto installed = tree.install();

    SP<ZoDevice> part = ZoDeviceTree::getDevice("/dev/nvme1n1p1", nullptr);
    ASSERT_TRUE(part);
    ASSERT_EQ(ZoDevice::NVME_DISK, part->getType());
    auto* iface = static_cast<ZoDevicePartIface*>(part->getInterface("ZoDevicePartIface"));
    CLuError err;
    SP<ZoDevice> parent = iface->getParentDevice(&err);
    ASSERT_TRUE(parent) << err.AsString();
    EXPECT_EQ(ZoDevice::NVME_DISK, parent->getType());
    EXPECT_EQ("/dev/nvme1n1", parent->getDevicePath());

    SP<ZoDevice> ns12 = ZoNVMEDiskDevice::getInstance("/dev/nvme0n12p1", nullptr);
    ASSERT_TRUE(ns12);
    parent = static_cast<ZoDevicePartIface*>(ns12->getInterface("ZoDevicePartIface"))
                 ->getParentDevice(&err);
    EXPECT_FALSE(parent);
    EXPECT_EQ("Failed to get parent device name for /dev/nvme0n12p1", err.AsString());

    tree.remove("/sys/class/block/nvme1n1p1");
    parent = iface->getParentDevice(&err);
    EXPECT_FALSE(parent);
    EXPECT_EQ("Failed to stat /dev/nvme1n1p1", err.AsString());
    EXPECT_EQ(ENOENT, err.GetCode());
}

TEST_F(NvmeTest, VolumeIdOfADevice) {
    tree.answerCommand(zotest::nvmeSerialCommand("/dev/nvme1n1"), 0, "S3EVNX0K123456");
    auto installed = tree.install();
    CLuError err;
    EXPECT_EQ(kVolA, ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme0n1", &err));
    EXPECT_FALSE(err.IsError());
    EXPECT_EQ(std::vector<std::string>{zotest::nvmeSerialCommand("/dev/nvme0n1")},
              installed.host().commandsRun());

    // A serial that is not a volume id.
    EXPECT_EQ("", ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme1n1", &err));
    const std::string text = err.AsString();
    const std::string tail =
        "][][S3EVNX0K123456] for cmd=[" + zotest::nvmeSerialCommand("/dev/nvme1n1") + "]";
    EXPECT_EQ(0u, text.find("udevadm returned=[")) << text;
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(tail, text.substr(text.size() - tail.size())) << text;

    // A failing command, with and without an error object.
    EXPECT_EQ("", ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme9n1", &err));
    EXPECT_NE(std::string::npos, err.AsString().find("no answer in host tree for:")) << err.AsString();
    EXPECT_EQ("", ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme9n1", nullptr));
}

TEST_F(NvmeTest, SerialIsReadWithTheUdevToolWhereverItLives) {
    // Merged-/usr systems have no /sbin/udevadm.
    tree.remove("/sbin/udevadm");
    tree.write("/usr/bin/udevadm", "");
    tree.answerCommand(zotest::nvmeSerialCommand("/dev/nvme0n1", "/usr/bin/udevadm"), 0, kVolA);
    auto installed = tree.install();
    CLuError err;
    EXPECT_EQ(kVolA, ZoNVMEDiskDevice::convertNVMEtoAWSVol("/dev/nvme0n1", &err)) << err.AsString();
    EXPECT_EQ(std::vector<std::string>{zotest::nvmeSerialCommand("/dev/nvme0n1", "/usr/bin/udevadm")},
              installed.host().commandsRun());
}

TEST_F(NvmeTest, PathIsOneShellWord) {
    auto installed = tree.install();
    const std::string path = "/dev/x; touch /tmp/p";
    EXPECT_EQ("", ZoNVMEDiskDevice::convertNVMEtoAWSVol(path, nullptr));
    EXPECT_EQ(std::vector<std::string>{"/sbin/udevadm info -a '/dev/x; touch /tmp/p'  | awk -F '\"' "
                                       "'{if($0 ~/ATTRS{serial}/) printf \"%s\", $2}'"},
              installed.host().commandsRun());
}

TEST(NvmeLive, HostilePathsRunNothing) {
    zotest::HostTree dir;  // a scratch directory on the live host
    const std::string marker = dir.at("/ran");
    for (const std::string& path :
         {"/dev/null; touch " + marker, "/dev/null' ; touch " + marker + " ; '",
          "$(touch " + marker + ")", "`touch " + marker + "`", "/dev/null | touch " + marker}) {
        CLuError err;
        EXPECT_EQ("", ZoNVMEDiskDevice::convertNVMEtoAWSVol(path, &err)) << path;
        EXPECT_NE(0, ::access(marker.c_str(), F_OK)) << path;
    }
}

TEST_F(NvmeTest, VolumeIdToDevice) {
    auto installed = tree.install();
    auto fault = std::make_shared<zotest::FaultHost>(installed.shared());
    auto previous = ZoHost::install(fault);
    auto serialRuns = [&] {
        const auto cmds = fault->commands();
        return std::count_if(cmds.begin(), cmds.end(),
                             [](const std::string& c) { return c.rfind("/sbin/udevadm info", 0) == 0; });
    };
    auto settles = [&] {
        const auto cmds = fault->commands();
        return std::count(cmds.begin(), cmds.end(), std::string("udevadm settle --timeout=120"));
    };

    EXPECT_EQ("/dev/nvme1n1", ZoNVMEDiskDevice::convertAWSVoltoNVME(kVolB, nullptr));
    EXPECT_EQ(0, settles());

    struct Case {
        std::string id;
    } unknown[] = {{"vol0000000000000000a"}, {"VOL0FEDCBA9876543210"}, {std::string(kVolB) + "0"},
                   {"vol-0fedcba9876543210"}, {""}};
    for (const Case& c : unknown) {
        const long serialsBefore = serialRuns();
        const long settlesBefore = settles();
        CLuError err;
        EXPECT_EQ("", ZoNVMEDiskDevice::convertAWSVoltoNVME(c.id, &err)) << c.id;
        EXPECT_EQ(4, serialRuns() - serialsBefore) << c.id;  // two devices, two scans
        EXPECT_EQ(2, settles() - settlesBefore) << c.id;
    }
    EXPECT_TRUE(fault->sleeps().empty());
    ZoHost::install(previous);
}

// getDevice offers a path to Xen, NVMe, multipath and SCSI, in that order;
// getDeviceCheckNoRetry never to NVMe.
TEST_F(NvmeTest, LookupOrder) {
    auto installed = tree.install();
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice("/dev/nvme0n1", &err);
    ASSERT_TRUE(dev) << err.AsString();
    EXPECT_EQ(ZoDevice::NVME_DISK, dev->getType());
    auto cmds = installed.host().commandsRun();
    const auto xen = std::find(cmds.begin(), cmds.end(), "cat /proc/devices | grep 'xvd' | awk '{print $1}'");
    const auto nvme = std::find(cmds.begin(), cmds.end(), zotest::kNvmeMajorCommand);
    ASSERT_TRUE(xen != cmds.end() && nvme != cmds.end());
    EXPECT_LT(xen, nvme);  // the Xen kind was asked first

    zo_internal::resetProcessState();
    const size_t before = installed.host().commandsRun().size();
    dev = ZoDeviceTree::getDeviceCheckNoRetry("/dev/nvme0n1", &err);
    EXPECT_FALSE(dev);
    EXPECT_EQ("Failed to get a ZoDevice Instance for /dev/nvme0n1", err.AsString());
    cmds = installed.host().commandsRun();
    EXPECT_EQ(0, std::count(cmds.begin() + before, cmds.end(), std::string(zotest::kNvmeMajorCommand)));

    // A node both the Xen and the NVMe kinds take is a Xen disk.
    zo_internal::resetProcessState();
    tree.answerCommand("cat /proc/devices | grep 'xvd' | awk '{print $1}'", 0, "259\n");
    dev = ZoDeviceTree::getDevice("/dev/nvme0n1", &err);
    ASSERT_TRUE(dev);
    EXPECT_EQ(ZoDevice::XVD_DISK, dev->getType());
}

}  // namespace
