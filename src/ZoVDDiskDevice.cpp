// SPDX-License-Identifier: LGPL-2.1-or-later
// The Xen virtual disk kind: block devices of the xvd driver's major number,
// and the conversions between xvd names and sd-style names.
#include "ZoVDDiskDevice.h"

#include "ZoInternal.h"
#include "ZoKindSupport.h"
#include "ZoKinds.h"
#include "ZoPartitionDiscovery.h"
#include "ZoProcess.h"
#include "ZoScsiDiskDevice.h"
#include "ZoSysfs.h"

#include <sys/sysmacros.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Major number of the xvd driver: -1 not read yet, 0 no driver.
std::atomic<int> xvdMajor{-1};

int getXVDMajor() {
    int known = xvdMajor.load();
    if (known != -1)
        return known;
    std::string out;
    std::string errText;
    int rc = ZoProcess::system("cat /proc/devices | grep 'xvd' | awk '{print $1}'", &out, &errText,
                               0, false);
    known = zo_kind::majorOfPipeline(rc, out);
    xvdMajor.store(known);
    return known;
}

// Exceptions caught here are logged with EvDebug::Error.
const zo_kind::ExceptionLog kLog = zo_kind::ExceptionLog::EvDebugError;

// Index of a run of disk letters as Linux counts them (a 0, z 25, aa 26),
// or -1 when the text is not such a run.
long letterIndex(const std::string& letters) {
    if (letters.empty() || letters.size() > 6)
        return -1;
    long index = 0;
    for (char c : letters) {
        if (c < 'a' || c > 'z')
            return -1;
        index = index * 26 + (c - 'a' + 1);
    }
    return index - 1;
}

// How far the root disk's letters are from "a": 0 when the root file system
// is not on an xvd disk or "mountpoint -d /" fails.
long rootDiskShift() {
    std::string out;
    std::string errText;
    int rootMajor = 0;
    int rootMinor = 0;
    if (ZoProcess::system("mountpoint -d /", &out, &errText, 0, false) == 0 && !out.empty()) {
        ZoRegEx number("[0-9]+", REG_EXTENDED);
        std::string digits;
        std::pair<unsigned long, unsigned long> at;
        if (number.match(out, &digits, &at)) {
            rootMajor = zo_sysfs::leadingInt(digits);
            if (at.second + 1 <= out.size())
                rootMinor = zo_sysfs::leadingInt(out.substr(at.second + 1));
        }
    }
    const std::string root = getDeviceName(rootMajor, rootMinor);
    if (root.size() <= 3)
        return 0;
    long index = letterIndex(root.substr(3));
    return index < 0 ? 0 : index;
}

// Swaps the first `from` in name for `to` and moves the disk's letters by
// delta, keeping any partition digits. The disk's letters are those right
// after the swapped prefix, or, without the prefix, the letters before the
// trailing digits. Returns "" when the letters would go below "a".
std::string convertName(const std::string& name, const char* from, const char* to, long delta) {
    std::string copy = name;
    size_t lettersAt = std::string::npos;
    const size_t pos = copy.find(from);
    if (pos != std::string::npos) {
        copy.replace(pos, std::strlen(from), to);
        lettersAt = pos + std::strlen(to);
    }
    if (delta == 0)
        return copy;

    size_t lettersEnd;
    if (lettersAt != std::string::npos) {
        lettersEnd = lettersAt;
        while (lettersEnd < copy.size() && copy[lettersEnd] >= 'a' && copy[lettersEnd] <= 'z')
            ++lettersEnd;
    } else {
        lettersEnd = copy.size();
        while (lettersEnd > 0 && copy[lettersEnd - 1] >= '0' && copy[lettersEnd - 1] <= '9')
            --lettersEnd;
        lettersAt = lettersEnd;
        while (lettersAt > 0 && copy[lettersAt - 1] >= 'a' && copy[lettersAt - 1] <= 'z')
            --lettersAt;
    }
    const long index = letterIndex(copy.substr(lettersAt, lettersEnd - lettersAt));
    if (index < 0)
        return copy;  // no disk letters to move
    if (index + delta < 0)
        return std::string();
    copy.replace(lettersAt, lettersEnd - lettersAt, getAAName(index + delta));
    return copy;
}

}  // namespace

namespace zo_internal {
void resetXvdMajor() { xvdMajor.store(-1); }
}  // namespace zo_internal

ZoVDDiskDevice::ZoVDDiskDevice(const char* path) : diskPath(path ? path : "") {}

ZoVDDiskDevice::~ZoVDDiskDevice() = default;

void* ZoVDDiskDevice::getInterface(const char* name) {
    if (!name)
        return nullptr;
    if (std::strcmp(name, "ZoDeviceVDIface") == 0)
        return static_cast<ZoDeviceVDIface*>(this);
    if (std::strcmp(name, "ZoDevicePartIface") == 0)
        return static_cast<ZoDevicePartIface*>(this);
    return nullptr;
}

int ZoVDDiskDevice::getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) {
    return zo_parts::listPartitions(zo_parts::kXenFamily, diskPath, FX_LOCATION, out, err, refresh);
}

SP<ZoDevice> ZoVDDiskDevice::getParentDevice(CLuError* err) {
    return zo_parts::parentDevice(zo_parts::kXenFamily, diskPath, FX_LOCATION, err);
}

CLuError ZoVDDiskDevice::GetArrayInitiatorId(const std::string&, std::string&, bool) {
    return CLuError::Success();
}

CLuError ZoVDDiskDevice::GetDeviceWwid(const std::string&, std::string&) {
    return CLuError::Success();
}

bool ZoVDDiskDevice::isSupportedDevice(const char* path, CLuError* err) {
    try {
        const int major = getXVDMajor();
        struct stat st;
        if (major == 0 || !path || !zo_kind::statBlockNode(path, err, FX_LOCATION, &st))
            return false;
        return zo_kind::isXenMajor(::major(st.st_rdev), major);
    } catch (ZoException& e) {
        zo_kind::recordException(FX_LOCATION, e, err, kLog);
        return false;
    }
}

SP<ZoDevice> ZoVDDiskDevice::getInstance(const char* path, CLuError* err) {
    return zo_kind::childlessInstance(&isSupportedDevice, path, err, [path] {
        ZoVDDiskDevice* dev = new ZoVDDiskDevice(path);
        SP<ZoDevice> result(dev);
        dev->type = XVD_DISK;
        dev->devicePath = path;
        return result;
    }, kLog, FX_LOCATION);
}

int ZoVDDiskDevice::getDevices(std::list<std::string>& out, CLuError* err) {
    return zo_kind::childlessDevices(&isSupportedDevice, out, err, kLog, FX_LOCATION);
}

int ZoVDDiskDevice::getChildren(const char*, std::list<std::string>& out, CLuError*) {
    out.clear();
    return 0;
}

std::string ZoVDDiskDevice::convertXVDtoSD(const std::string& name, CLuError*) {
    return convertName(name, "xvd", "sd", -rootDiskShift());
}

std::string ZoVDDiskDevice::convertSDtoXVD(const std::string& name, CLuError*) {
    return convertName(name, "sd", "xvd", rootDiskShift());
}
