// SPDX-License-Identifier: LGPL-2.1-or-later
// The NVMe disk kind: block devices whose sysfs node lies under an NVMe
// controller or subsystem, and the conversions between NVMe device paths and
// cloud volume ids (the device serial).
#include "ZoNVMEDiskDevice.h"
#include "ZoUdev.h"

#include "EvDebug.h"
#include "FXString.h"
#include "ZoHost.h"
#include "ZoInternal.h"
#include "ZoKindSupport.h"
#include "ZoKinds.h"
#include "ZoOpCache.h"
#include "ZoPartitionDiscovery.h"
#include "ZoProcess.h"

#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Major number taken to mark NVMe devices: -1 not read yet, 0 no NVMe
// driver. Only a gate: every node is decided by its sysfs link.
std::atomic<int> g_nvmeMajor{-1};

const size_t kLinkBufferSize = 4096;

int getNVMEMajor() {
    int known = g_nvmeMajor.load();
    if (known != -1)
        return known;
    std::string out;
    std::string errText;
    int rc = ZoProcess::system("cat /proc/devices | awk '{if($2 ~/nvme/) printf $1}'", &out,
                               &errText, 0, false);
    known = zo_kind::majorOfPipeline(rc, out);
    g_nvmeMajor.store(known);
    return known;
}

// Exceptions caught here are logged through g_ptrLogWriter.
const zo_kind::ExceptionLog kLog = zo_kind::ExceptionLog::LogWriter;

// True iff text needs no quoting for the shell.
bool shellSafe(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              std::strchr("/._-+:@%,=", c)))
            return false;
    }
    return true;
}

}  // namespace

namespace zo_internal {
void resetNvmeMajor() { g_nvmeMajor.store(-1); }
}  // namespace zo_internal

ZoNVMEDiskDevice::ZoNVMEDiskDevice(const char* path) : diskPath(path ? path : "") {}

ZoNVMEDiskDevice::~ZoNVMEDiskDevice() = default;

void* ZoNVMEDiskDevice::getInterface(const char* name) {
    if (!name)
        return nullptr;
    if (std::strcmp(name, "ZoDeviceNVMEIface") == 0)
        return static_cast<ZoDeviceNVMEIface*>(this);
    if (std::strcmp(name, "ZoDevicePartIface") == 0)
        return static_cast<ZoDevicePartIface*>(this);
    return nullptr;
}

int ZoNVMEDiskDevice::getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) {
    return zo_parts::listPartitions(zo_parts::kNvmeFamily, diskPath, FX_LOCATION, out, err,
                                    refresh);
}

SP<ZoDevice> ZoNVMEDiskDevice::getParentDevice(CLuError* err) {
    return zo_parts::parentDevice(zo_parts::kNvmeFamily, diskPath, FX_LOCATION, err);
}

CLuError ZoNVMEDiskDevice::GetArrayInitiatorId(const std::string&, std::string&, bool) {
    return CLuError::Success();
}

CLuError ZoNVMEDiskDevice::GetDeviceWwid(const std::string&, std::string&) {
    return CLuError::Success();
}

bool ZoNVMEDiskDevice::isSupportedDevice(const char* path, CLuError* err) {
    try {
        struct stat st;
        if (getNVMEMajor() == 0 || !path || !zo_kind::statBlockNode(path, err, FX_LOCATION, &st))
            return false;
        // The major number is shared with other extended devices (SCSI
        // partitions from 16 up, loop partitions, pmem), so each node is
        // decided by where the kernel placed it.
        const int nodeMajor = static_cast<int>(::major(st.st_rdev));
        const std::string link =
            FXString::Format("/sys/dev/block/%d:%d", nodeMajor, static_cast<int>(::minor(st.st_rdev)));
        std::string target;
        if (int rc = zo_cache::readlink(*ZoHost::current(), link, &target)) {
            if (err)
                *err = FXErrorUtil::ErrorErrNo(FX_LOCATION, rc,
                                               "failed to read link for path=[%s], error=[%s]",
                                               link.c_str(), std::strerror(rc));
            return false;
        }
        if (target.size() > kLinkBufferSize - 1)
            target.resize(kLinkBufferSize - 1);
        if (g_ptrLogWriter)
            g_ptrLogWriter->write(ZO_LOG_TRACE, __PRETTY_FUNCTION__, __LINE__, 0, 0,
                                  "read link returned=[%s] for path=[%s]", target.c_str(),
                                  link.c_str());
        if (!zo_kind::isNvmePlace(target))
            return false;
        g_nvmeMajor.store(nodeMajor);
        return true;
    } catch (ZoException& e) {
        zo_kind::recordException(FX_LOCATION, e, err, kLog);
        return false;
    }
}

SP<ZoDevice> ZoNVMEDiskDevice::getInstance(const char* path, CLuError* err) {
    return zo_kind::childlessInstance(&isSupportedDevice, path, err, [path] {
        ZoNVMEDiskDevice* dev = new ZoNVMEDiskDevice(path);
        SP<ZoDevice> result(dev);
        dev->type = NVME_DISK;
        dev->devicePath = path;
        return result;
    }, kLog, FX_LOCATION);
}

int ZoNVMEDiskDevice::getDevices(std::list<std::string>& out, CLuError* err) {
    return zo_kind::childlessDevices(&isSupportedDevice, out, err, kLog, FX_LOCATION);
}

int ZoNVMEDiskDevice::getChildren(const char*, std::list<std::string>& out, CLuError*) {
    out.clear();
    return 0;
}

std::string ZoNVMEDiskDevice::convertNVMEtoAWSVol(const std::string& path, CLuError* err) {
    // The path goes to the shell as one word; the serial is printed as data.
    const std::string word = shellSafe(path) ? path : FXString::ShellQuote(path);
    // Without the tool anywhere, the command names its usual place and fails.
    std::string udevadm = zo_udev::findUdevadm();
    if (udevadm.empty()) udevadm = "/sbin/udevadm";
    const std::string command = FXString::Format(
        "%s info -a %s  | awk -F '\"' '{if($0 ~/ATTRS{serial}/) printf \"%%s\", $2}'",
        udevadm.c_str(), word.c_str());
    std::string out;
    std::string errText;
    const int rc = ZoProcess::system(command.c_str(), &out, &errText, 0, false);
    if (rc == 0 && !out.empty() && FXString::FindStringPos(out, "vol", true) == 0)
        return out;
    if (err) {
        const int code = errno;
        *err = FXErrorUtil::ErrorErrNo(FX_LOCATION, code, "udevadm returned=[%d][%s][%s] for cmd=[%s]",
                                       code, errText.c_str(), out.c_str(), command.c_str());
    }
    return std::string();
}

std::string ZoNVMEDiskDevice::convertAWSVoltoNVME(const std::string& volume, CLuError* err) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::list<std::string> paths;
        if (getDevices(paths, err) != 0)
            return std::string();
        for (const std::string& path : paths) {
            const std::string id = convertNVMEtoAWSVol(path, err);
            if (!id.empty() && id == volume)
                return path;
        }
        zo_parts::waitForSettleNvme(zo_parts::kSettleTimeoutSec);
    }
    return std::string();
}
