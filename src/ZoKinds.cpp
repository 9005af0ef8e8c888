// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoKinds.h"

#include "FXString.h"
#include "ZoSysfs.h"

#include <sstream>

namespace zo_kind {

const std::vector<ZoDevice::TYPE> kLookupOrder = {ZoDevice::XVD_DISK, ZoDevice::NVME_DISK,
                                                  ZoDevice::MPIO_DISK, ZoDevice::SCSI_DISK};
const std::vector<ZoDevice::TYPE> kNoRetryLookupOrder = {ZoDevice::XVD_DISK, ZoDevice::MPIO_DISK,
                                                         ZoDevice::SCSI_DISK};
const std::vector<ZoDevice::TYPE> kParentLookupOrder = {ZoDevice::SCSI_DISK, ZoDevice::MPIO_DISK,
                                                        ZoDevice::XVD_DISK, ZoDevice::NVME_DISK};
const std::vector<ZoDevice::TYPE> kChildOrder = {ZoDevice::MPIO_DISK, ZoDevice::SCSI_DISK};

int majorOfPipeline(int status, const std::string& output) {
    return status == 0 && !output.empty() ? zo_sysfs::leadingInt(output) : 0;
}

DriverMajors driverMajors(const std::string& procDevices) {
    std::string xvdOut, nvmeOut;  // what the pipelines would print
    std::istringstream lines(procDevices);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string first, second;
        fields >> first >> second;
        if (line.find("xvd") != std::string::npos) xvdOut += first + "\n";
        if (second.find("nvme") != std::string::npos) nvmeOut += first;
    }
    DriverMajors m;
    m.xvd = majorOfPipeline(0, xvdOut);
    m.nvme = majorOfPipeline(0, nvmeOut);
    return m;
}

bool isNvmePlace(const std::string& sysfsPlace) {
    return FXString::FindStringPos(sysfsPlace, "nvme", true) != std::string::npos;
}

namespace {

// True iff the device tree builds devices[i] as a multipath map when asked
// at populate depth level: every path is a map it builds or a disk the SCSI
// layer addresses. Otherwise names the path that fails in *badPath.
bool buildsAsMap(const std::vector<Device>& devices, size_t i, int level, std::string* badPath) {
    const Device& d = devices[i];
    if (level >= kMaxPopulateDepth || !isWholeMapUuid(d.dmUuid)) return false;
    if (!d.strayPath.empty()) {  // no kind takes a path that is no block device
        *badPath = d.strayPath;
        return false;
    }
    for (size_t p : d.paths) {
        std::string ignored;
        if (buildsAsMap(devices, p, level + 1, &ignored)) continue;
        if (level + 1 < kMaxPopulateDepth && devices[p].scsi) continue;
        *badPath = devices[p].name;
        return false;
    }
    return true;
}

bool claims(ZoDevice::TYPE kind, const std::vector<Device>& devices, size_t i,
            const DriverMajors& majors, std::string* badPath) {
    const Device& d = devices[i];
    switch (kind) {
    case ZoDevice::XVD_DISK: return isXenMajor(d.major, majors.xvd);
    case ZoDevice::NVME_DISK: return majors.nvme != 0 && d.nvmePlace;
    case ZoDevice::MPIO_DISK: return buildsAsMap(devices, i, 0, badPath);
    case ZoDevice::SCSI_DISK: return d.scsi;
    default: return false;
    }
}

std::string unclaimedReason(const Device& d, const std::string& badPath) {
    const std::string notAKind = " are not a kind of this library";
    if (isWholeMapUuid(d.dmUuid))
        return badPath.empty() ? "multipath maps stacked this deep are not built"
                               : "its path " + badPath + " is neither a SCSI disk nor a multipath map";
    if (partitionMapNumber(d.dmUuid) > 0) return "partition maps of multipath maps" + notAKind;
    if (d.dm) return "device-mapper devices other than multipath maps" + notAKind;
    if (d.nvmePlace) return "/proc/devices names no nvme driver, so NVMe disks are not taken";
    if (d.xen) return "/proc/devices names no xvd driver, so Xen virtual disks are not taken";
    if (d.partition && !d.driver.empty()) return d.driver + " disks and their partitions" + notAKind;
    if (!d.driver.empty()) return d.driver + " disks" + notAKind;
    std::string family = d.name;
    while (!family.empty() && family.back() >= '0' && family.back() <= '9') family.pop_back();
    if (family.empty()) family = d.name;
    return family + " devices" + notAKind;
}

}  // namespace

Claim claim(const std::vector<Device>& devices, size_t index, const DriverMajors& majors) {
    Claim c;
    std::string badPath;
    for (ZoDevice::TYPE kind : kLookupOrder) {
        if (claims(kind, devices, index, majors, &badPath)) {
            c.kind = kind;
            return c;
        }
    }
    c.unclaimedReason = unclaimedReason(devices[index], badPath);
    return c;
}

}  // namespace zo_kind
