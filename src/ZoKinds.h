// SPDX-License-Identifier: LGPL-2.1-or-later
// What a device is: the rules by which the kinds of this library claim a
// block device, and why none does. ZoDeviceTree offers paths to the kinds
// in the orders below and to the depth below; the kinds test paths by the
// rules below; the host inventory decides the kind of each device it read
// with claim(), from the same rules, so that its answer is what
// ZoDeviceTree::getDevice builds. Library-internal.
#pragma once

#include "ZoDevice.h"
#include "ZoMPIO.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zo_kind {

// The kinds each lookup offers a path to, in order: getDevice;
// getDeviceCheckNoRetry (no NVMe); ZoDeviceTree::getParentDevice; each
// child path of a device being populated.
extern const std::vector<ZoDevice::TYPE> kLookupOrder;
extern const std::vector<ZoDevice::TYPE> kNoRetryLookupOrder;
extern const std::vector<ZoDevice::TYPE> kParentLookupOrder;
extern const std::vector<ZoDevice::TYPE> kChildOrder;

// Children of children are populated to this depth; a deeper stack of maps
// is built by no kind (a child at the limit is accepted by none).
const int kMaxPopulateDepth = 8;

// Driver majors. The Xen and NVMe kinds learn theirs from /proc/devices
// through a shell pipeline each; majorOfPipeline reads what one printed.
// 0 means no such driver.
struct DriverMajors {
    int xvd = 0;
    int nvme = 0;
};
// The major a pipeline reports: the leading number of its output (as atoi
// reads it) when it exited 0 and printed something, else 0.
int majorOfPipeline(int status, const std::string& output);
// What the two pipelines would report for this text of /proc/devices: xvd
// is the number of the first line mentioning "xvd"; nvme the numbers of
// every line whose driver name contains "nvme", run together.
DriverMajors driverMajors(const std::string& procDevices);

// Xen: a block device whose major is the xvd driver's (never when there is
// no such driver).
inline bool isXenMajor(unsigned major, int xvdMajor) {
    return xvdMajor != 0 && static_cast<int>(major) == xvdMajor;
}
// NVMe: a block device whose place in sysfs (the target of
// /sys/dev/block/MAJ:MIN) lies under an NVMe controller or subsystem.
bool isNvmePlace(const std::string& sysfsPlace);
// Multipath: the device-mapper uuid rules of the multipath facade.
using zo_mpio::isWholeMapUuid;
using zo_mpio::partitionMapNumber;

// One block device as the rules see it.
struct Device {
    std::string name;             // kernel name
    unsigned major = 0;
    bool nvmePlace = false;       // isNvmePlace of its sysfs place
    bool scsi = false;            // the SCSI layer addresses it (or its disk)
    bool dm = false;              // a device-mapper device
    std::string dmUuid;
    std::vector<size_t> paths;    // the devices under it (slaves/), by index
    std::string strayPath;        // a slaves/ entry that is no block device
    // What the reason for an unclaimed device tells:
    bool xen = false;             // attached through Xen
    std::string driver;           // the driver bound to it (its disk's)
    bool partition = false;       // a kernel partition of a disk
};

// The kind ZoDeviceTree::getDevice builds for the node of devices[index]
// (NONE when no kind does), and, for NONE, why in the user's words.
struct Claim {
    ZoDevice::TYPE kind = ZoDevice::NONE;
    std::string unclaimedReason;
};
Claim claim(const std::vector<Device>& devices, size_t index, const DriverMajors& majors);

}  // namespace zo_kind
