// SPDX-License-Identifier: LGPL-2.1-or-later
// Partition discovery with udev settling, and the whole disk above a node,
// for the SCSI, Xen and NVMe kinds.
#include "ZoPartitionDiscovery.h"
#include "ZoUdev.h"

#include "EvDebug.h"
#include "ZoDeviceTree.h"
#include "ZoHost.h"
#include "ZoScsiDiskDevice.h"

#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zo_parts {

namespace {

// The largest minor number the kernel hands out (20 bits): no partition
// number beyond it can name a node.
const int kMaxPartitionNumber = (1 << 20) - 1;

std::string vformat(const char* format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
        return std::string();
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, ap);
    text.resize(static_cast<size_t>(n));
    return text;
}

std::string format(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    return text;
}

// One log line of a family's partition listing.
void familyLog(const PartitionFamily& family, const FXCodeLocation& where, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    if (family.channel == LogChannel::Debug) {
        EvDebug(nullptr).Debug(family.logName, "%s", text.c_str());
    } else if (g_ptrLogWriter && g_ptrLogWriter->getLogLevel() >= ZO_LOG_NOTICE) {
        g_ptrLogWriter->write(ZO_LOG_NOTICE, where.function().c_str(), where.line(), 0, 0, "%s",
                              text.c_str());
    }
}

void setErrNo(CLuError* err, const FXCodeLocation& where, int code, const std::string& text) {
    if (err)
        *err = FXErrorUtil::ErrorErrNo(where, code, "%s", text.c_str());
}

void setError(CLuError* err, const FXCodeLocation& where, const char* text) {
    if (err)
        *err = FXErrorUtil::ErrorWin32(where, ZO_ERROR_CODE, "%s", text);
}

// Checks that every record's node is a block device. Present nodes get their
// own device number (the computed one may name another device on majors
// whose minors are handed out as they come); the first missing one is
// logged. Returns true iff every node is present (also for an empty list).
bool checkNodes(const PartitionFamily& family, const FXCodeLocation& where,
                std::list<ZoPartInfo>& records) {
    std::shared_ptr<ZoHost> host = ZoHost::current();
    bool allPresent = true;
    for (ZoPartInfo& rec : records) {
        struct stat st;
        std::memset(&st, 0, sizeof st);
        const int rc = host->stat(rec.partName, &st);
        if (rc == 0 && S_ISBLK(st.st_mode)) {
            rec.major = static_cast<int32_t>(major(st.st_rdev));
            rec.minor = static_cast<int32_t>(minor(st.st_rdev));
            continue;
        }
        if (allPresent)
            familyLog(family, where, family.absent, rec.partName,
                      rc == 0 ? static_cast<unsigned>(st.st_mode) : 0u, rc);
        allPresent = false;
    }
    return allPresent;
}

}  // namespace

// The sd-style families (SCSI and Xen) differ only in names and lookups.
constexpr PartitionFamily sdStyleFamily(const char* logName, std::string (*diskName)(int, int),
                                        void (*settleRoutine)(int)) {
    return PartitionFamily{
        logName,
        LogChannel::Debug,
        diskName,
        true,
        false,
        "Failed to stat device [%s]",
        "Failed to re-read device partitions[%s]",
        "Refreshed partitions for device %s",
        "Partition device %s absent or not a block device(mode 0x%x), errno %d",
        "All partition devices found on %s",
        "%s%d",
        settleRoutine,
    };
}

const PartitionFamily kScsiFamily =
    sdStyleFamily("ZoScsiDiskDevice::getPartitions", &getScsiDevName, &waitForSettle);
const PartitionFamily kXenFamily =
    sdStyleFamily("ZoVDDiskDevice::getPartitions", &getDeviceName, &waitForSettle);

const PartitionFamily kNvmeFamily = {
    "ZoNVMEDiskDevice::getPartitions",
    LogChannel::LogWriter,
    &getNVMEDeviceName,
    false,
    true,
    "Failed to stat device [%s][%d]",
    "Failed to re-read device partitions[%s][%d]",
    "Refreshed partitions for device %s",
    "Partition device [%s] absent or not a block device(mode 0x%x), errno %d",
    "All partition devices found on [%s]",
    "%sp%d",
    &waitForSettleNvme,
};

void waitForSettleNvme(int timeoutSec) {
    zo_udev::settle(timeoutSec, zo_udev::SettleLog::LogWriter, __PRETTY_FUNCTION__, __LINE__);
}

int listPartitions(const PartitionFamily& family, const std::string& diskNode,
                   const FXCodeLocation& where, std::list<ZoPartInfo>& out, CLuError* err,
                   bool refresh) {
    std::shared_ptr<ZoHost> host = ZoHost::current();
    int result = 0;
    std::list<slice> slices;
    out.clear();

    struct stat st;
    std::memset(&st, 0, sizeof st);
    if (int rc = host->stat(diskNode, &st)) {
        setErrNo(err, where, rc, format(family.statFailed, diskNode.c_str(), rc));
        return -1;
    }
    const int diskMajor = static_cast<int>(major(st.st_rdev));
    const int diskMinor = static_cast<int>(minor(st.st_rdev));
    if (family.rejectPartitionNode && diskMinor % MAX_MINORS_PER_DISK != 0) {
        setError(err, where, "getPartitions called on a partition");
        return -1;
    }

    for (int budget = kPartitionAttempts; budget > 0; --budget) {
        out.clear();
        if (refresh) {
            const int rc = host->rereadPartitions(diskNode);
            const int code = errno;
            const bool failed = family.busyRereadIsSuccess ? (rc == -1 && code != EBUSY) : rc != 0;
            if (failed) {
                setErrNo(err, where, code, format(family.rereadFailed, diskNode.c_str(), code));
                return rc;
            }
            familyLog(family, where, family.refreshed, diskNode.c_str());
            family.settle(kSettleTimeoutSec);
        }
        result = getPartitions(diskNode.c_str(), slices);
        if (result < 0)
            setError(err, where, "Failed to get partitions from device");
        std::for_each(slices.begin(), slices.end(),
                      PartIterator(diskNode, diskMajor, diskMinor, out, family.partNameFormat));
        if (checkNodes(family, where, out)) {
            familyLog(family, where, family.allFound, diskNode.c_str());
            return result;
        }
        refresh = true;
    }
    return result;
}

std::string parentDiskPath(const PartitionFamily& family, const std::string& node,
                           const FXCodeLocation& where, CLuError* err) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    if (int rc = ZoHost::current()->stat(node, &st)) {
        setErrNo(err, where, rc, format("Failed to stat %s", node.c_str()));
        return std::string();
    }
    const std::string name =
        family.diskName(static_cast<int>(major(st.st_rdev)), static_cast<int>(minor(st.st_rdev)));
    if (name.empty()) {
        const int code = errno;
        setErrNo(err, where, code, format("Failed to get parent device name for %s", node.c_str()));
        return std::string();
    }
    return "/dev/" + name;
}

SP<ZoDevice> parentDevice(const PartitionFamily& family, const std::string& node,
                          const FXCodeLocation& where, CLuError* err) {
    const std::string disk = parentDiskPath(family, node, where, err);
    if (disk.empty()) return SP<ZoDevice>();
    return ZoDeviceTree::getDevice(disk.c_str(), err);
}

}  // namespace zo_parts

PartIterator::PartIterator(const std::string& node, int major, int minor,
                           std::list<ZoPartInfo>& list, const char* format)
    : diskMajor(major), diskMinor(minor), diskNode(node), partList(list),
      nameFormat(format ? format : "%s%d") {}

void PartIterator::operator()(slice s) {
    if (s.number < 1 || s.number > zo_parts::kMaxPartitionNumber)
        return;
    const std::string name = zo_parts::format(nameFormat, diskNode.c_str(), s.number);
    ZoPartInfo info;
    if (name.empty() || name.size() >= sizeof info.partName)
        return;
    std::memcpy(info.partName, name.c_str(), name.size() + 1);
    info.partNumber = s.number;
    info.startSector = s.start;
    info.numSectors = s.size;
    info.sectorSize = zo_parts::kPartitionSectorSize;
    info.major = diskMajor;
    info.minor = diskMinor + s.number;
    partList.push_back(info);
}

void waitForSettle(int timeout) { zo_udev::settle(timeout); }

int ZoScsiDiskDevice::getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) {
    return zo_parts::listPartitions(zo_parts::kScsiFamily, scsiTarget.getNativePath(), FX_LOCATION,
                                    out, err, refresh);
}

SP<ZoDevice> ZoScsiDiskDevice::getParentDevice(CLuError* err) {
    return zo_parts::parentDevice(zo_parts::kScsiFamily, devicePath, FX_LOCATION, err);
}
