// Device lookup, parent lookup and enumeration.
#include "ZoDeviceTree.h"

#include "EvDebug.h"
#include "UXScsi.h"
#include "ZOPlatformInfo.h"
#include "ZoException.h"
#include "ZoInternal.h"
#include "ZoMpioDiskDevice.h"
#include "ZoMpioInternal.h"
#include "ZoOpCache.h"
#include "ZoNVMEDiskDevice.h"
#include "ZoScsiDiskDevice.h"
#include "ZoVDDiskDevice.h"

#include <algorithm>
#include <atomic>

namespace {

// The SCSI layer's list has been refreshed by this process.
std::atomic<bool> isRefreshed{false};
std::atomic<unsigned long> refreshCount{0};

const unsigned long kRescanSettingUnread = 314159;
std::atomic<unsigned long> ulSkipDeviceRescanOnFailure{kRescanSettingUnread};

// Children of children are populated recursively; a chain deeper than this
// is treated as a child that no kind accepts.
const int kMaxPopulateDepth = 8;
thread_local int populateDepth = 0;

void refreshDeviceList() {
    zo_cache::forget();  // the host is looked at again
    UXScsi::refreshDeviceList(UXScsi::Device::DIRECT_ACCESS, false);
    refreshCount.fetch_add(1);
}

// Refresh step of the lookups that catch a failing refresh: the failure is
// logged as "<format>" and the list counts as refreshed all the same.
void refreshCatching(const char* function) {
    if (isRefreshed.load()) return;
    try {
        refreshDeviceList();
    } catch (ZoException& e) {
        EvDebug(nullptr).error("%s Unable to refresh the device list [%s]", function,
                               e.getMessage());
    }
    isRefreshed.store(true);
}

// Logs an error held in err at level 3 under function and clears err.
void logAndReset(CLuError* err, const char* function) {
    if (!err) return;
    if (err->IsError())
        EvDebug(nullptr).DebugLvl(function, 3, "%s", err->AsString().c_str());
    *err = CLuError::Success();
}

// One attempt with one kind: the device, or null after logging and clearing
// the kind's error.
template <class T>
SP<ZoDevice> attempt(const char* path, CLuError* err, const char* function) {
    SP<ZoDevice> dev = ZoDeviceTree::PopulateZoDevice<T>(std::string(path), err);
    if (dev) return dev;
    logAndReset(err, function);
    return SP<ZoDevice>();
}

void setLookupFailure(CLuError* err, const char* path) {
    if (err)
        *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                       "Failed to get a ZoDevice Instance for %s",
                                       path ? path : "(null)");
}

// Reads the rescan setting once per process and logs what was found.
void readRescanSetting() {
    unsigned long expected = kRescanSettingUnread;
    if (!ulSkipDeviceRescanOnFailure.compare_exchange_strong(expected, 0)) return;
    const char* section = "Tessarine";
    const char* key = "nSkipDeviceRescanOnFailure";
    unsigned long value = 0;
    ZOPlatformInfo info;
    if (info.getNumber(section, key, &value)) {
        ulSkipDeviceRescanOnFailure.store(value);
        EvDebug(nullptr).DebugLvl("ZoDeviceTree::getDevice", 0,
                                  "Registry key [%s/%s] exists with value %ld", section, key,
                                  static_cast<long>(value));
        if (value != 0)
            EvDebug(nullptr).DebugLvl("ZoDeviceTree::getDevice", 0,
                                      "ZoDeviceTree will NOT rescan if device is not found.");
    } else {
        EvDebug(nullptr).DebugLvl(
            "ZoDeviceTree::getDevice", 0,
            "Registry key [%s/%s] not found, keeping default of rescan if device not found",
            section, key);
    }
}

typedef SP<ZoDevice> (*Populate)(const std::string&, CLuError*);

// One path an enumeration listed, populated as getAllDevices does: the
// device, or null when it cannot be built (a failure with an error drops
// the error; one without is logged).
SP<ZoDevice> populateListed(Populate populate, const std::string& path, CLuError* err) {
    // An error left over from the enumeration (an entry without a node,
    // say) must not count against this path.
    if (err) *err = CLuError::Success();
    SP<ZoDevice> dev = populate(path, err);
    if (dev && !(err && err->IsError())) return dev;
    if (!err) return SP<ZoDevice>();
    if (err->IsError())
        *err = CLuError::Success();
    else
        EvDebug(nullptr).Error("ZoDeviceTree::getAllDevices", "Failed to populate subtree under %s",
                               path.c_str());
    return SP<ZoDevice>();
}

}  // namespace

namespace zo_internal {
void resetDeviceTreeState() {
    isRefreshed.store(false);
    ulSkipDeviceRescanOnFailure.store(kRescanSettingUnread);
    refreshCount.store(0);
}
unsigned long deviceTreeRefreshCount() { return refreshCount.load(); }
}  // namespace zo_internal

template <class T>
SP<ZoDevice> ZoDeviceTree::PopulateZoDevice(const std::string& path, CLuError* err) {
    if (populateDepth >= kMaxPopulateDepth) return SP<ZoDevice>();
    zo_cache::Scope scope;
    struct DepthGuard {
        DepthGuard() { ++populateDepth; }
        ~DepthGuard() { --populateDepth; }
    } depthGuard;

    if (!T::isSupportedDevice(path.c_str(), err)) {
        EvDebug(nullptr).DebugLvl("ZoDeviceTree::PopulateZoDevice", 3, "%s is not supported device",
                                  path.c_str());
        return SP<ZoDevice>();
    }
    SP<ZoDevice> dev = T::getInstance(path.c_str(), err);
    if (!dev) {
        if (err && !err->IsError())
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                           "Failed to get ZoDevice instance for %s", path.c_str());
        return SP<ZoDevice>();
    }
    std::list<std::string> childPaths;
    if (T::getChildren(path.c_str(), childPaths, err) != 0) {
        if (err && !err->IsError())
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                           "Failed to get children of %s", path.c_str());
        return dev;
    }
    for (const std::string& child : childPaths) {
        if (err) *err = CLuError::Success();
        SP<ZoDevice> c = PopulateZoDevice<ZoMpioDiskDevice>(child, err);
        if (!c) {
            if (err) *err = CLuError::Success();
            c = PopulateZoDevice<ZoScsiDiskDevice>(child, err);
        }
        if (!c) {
            if (err && !err->IsError())
                *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                               "Failed to get a ZoDevice Instance for %s under %s",
                                               child.c_str(), path.c_str());
            return SP<ZoDevice>();
        }
        dev->children.push_back(c);
    }
    return dev;
}

template SP<ZoDevice> ZoDeviceTree::PopulateZoDevice<ZoScsiDiskDevice>(const std::string&,
                                                                       CLuError*);
template SP<ZoDevice> ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>(const std::string&,
                                                                       CLuError*);
template SP<ZoDevice> ZoDeviceTree::PopulateZoDevice<ZoVDDiskDevice>(const std::string&,
                                                                     CLuError*);
template SP<ZoDevice> ZoDeviceTree::PopulateZoDevice<ZoNVMEDiskDevice>(const std::string&,
                                                                       CLuError*);

SP<ZoDevice> ZoDeviceTree::getDevice(const char* path, CLuError* err) {
    if (!path) {
        setLookupFailure(err, path);
        return SP<ZoDevice>();
    }
    const char* fn = "ZoDeviceTree::getDevice";
    zo_cache::Scope scope;
    bool retry = false;
    do {
        refreshCatching("ZoDeviceTree::getDevice");
        SP<ZoDevice> dev;
        if ((dev = attempt<ZoVDDiskDevice>(path, err, fn))) return dev;
        if ((dev = attempt<ZoNVMEDiskDevice>(path, err, fn))) return dev;
        if ((dev = attempt<ZoMpioDiskDevice>(path, err, fn))) return dev;
        if ((dev = attempt<ZoScsiDiskDevice>(path, err, fn))) return dev;
        if (!retry) {
            isRefreshed.store(false);
            retry = true;
        } else {
            retry = false;
        }
        logAndReset(err, fn);
        setLookupFailure(err, path);
    } while (retry);
    return SP<ZoDevice>();
}

SP<ZoDevice> ZoDeviceTree::getDeviceCheckNoRetry(const char* path, CLuError* err) {
    if (!path) {
        setLookupFailure(err, path);
        return SP<ZoDevice>();
    }
    const char* fn = "ZoDeviceTree::getDevice";
    zo_cache::Scope scope;
    bool retry = false;
    do {
        if (!isRefreshed.load()) {
            refreshDeviceList();  // an exception reaches the caller
            isRefreshed.store(true);
        }
        SP<ZoDevice> dev;
        if ((dev = attempt<ZoVDDiskDevice>(path, err, fn))) return dev;
        if ((dev = attempt<ZoMpioDiskDevice>(path, err, fn))) return dev;
        if ((dev = attempt<ZoScsiDiskDevice>(path, err, fn))) return dev;
        if (!retry) {
            readRescanSetting();
            if (ulSkipDeviceRescanOnFailure.load() == 0) {
                isRefreshed.store(false);
                retry = true;
            }
        } else {
            retry = false;
        }
        logAndReset(err, fn);
        setLookupFailure(err, path);
    } while (retry);
    return SP<ZoDevice>();
}

std::list<SP<ZoDevice>> ZoDeviceTree::getAllDevices(ZoDevice::TYPE type, CLuError* err) {
    std::list<SP<ZoDevice>> result;
    std::list<std::string> paths;
    zo_cache::Scope scope;
    refreshCatching("ZoDeviceTree::getAllDevices");

    int rc = 0;
    const char* failure = nullptr;
    Populate populate = nullptr;
    switch (type) {
    case ZoDevice::SCSI_DISK:
        rc = ZoScsiDiskDevice::getDevices(paths, err);
        failure = "No scsi disk devices returned";
        populate = &ZoDeviceTree::PopulateZoDevice<ZoScsiDiskDevice>;
        break;
    case ZoDevice::MPIO_DISK:
        rc = ZoMpioDiskDevice::getDevices(paths, err);
        failure = "No MPIO disk devices returned";
        populate = &ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>;
        break;
    case ZoDevice::XVD_DISK:
        rc = ZoVDDiskDevice::getDevices(paths, err);
        failure = "No XVD disk devices returned";
        populate = &ZoDeviceTree::PopulateZoDevice<ZoVDDiskDevice>;
        break;
    case ZoDevice::NVME_DISK:
        rc = ZoNVMEDiskDevice::getDevices(paths, err);
        failure = "No NVME disk devices returned";
        populate = &ZoDeviceTree::PopulateZoDevice<ZoNVMEDiskDevice>;
        break;
    default:
        if (err)
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                           "Unknown type of devices requested");
        return result;
    }
    if (rc != 0) {
        if (err && !err->IsError())
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "%s", failure);
        return result;
    }
    for (const std::string& path : paths)
        if (SP<ZoDevice> dev = populateListed(populate, path, err)) result.push_back(dev);
    return result;
}

SP<ZoDevice> ZoDeviceTree::getParentDevice(const char* path, CLuError* err) {
    if (!path) {
        if (err)
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                           "Failed to get a ZoDevice Instance for %s.", "(null)");
        return SP<ZoDevice>();
    }
    const char* fn = "ZoDeviceTree::getParentDevice";
    zo_cache::Scope scope;
    refreshCatching("ZoDeviceTree::getParentDevice");

    SP<ZoDevice> dev;
    if (!(dev = attempt<ZoScsiDiskDevice>(path, err, fn)) &&
        !(dev = attempt<ZoMpioDiskDevice>(path, err, fn)) &&
        !(dev = attempt<ZoVDDiskDevice>(path, err, fn)) &&
        !(dev = attempt<ZoNVMEDiskDevice>(path, err, fn))) {
        if (err)
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                           "Failed to get a ZoDevice Instance for %s.", path);
        return SP<ZoDevice>();
    }
    if (dev->getType() != ZoDevice::SCSI_DISK) {
        EvDebug(nullptr).debug("Device for getParent not a scsi disk %s:%d",
                               dev->getDevicePath().c_str(), static_cast<int>(dev->getType()));
        return dev;
    }
    SP<ZoDevice> map = PopulateZoDevice<ZoMpioDiskDevice>(std::string(path), err);
    if (map) return map;

    // The maps that can hold the disk are those sysfs shows above it; they
    // are tried in the order the enumeration of every map would list them,
    // and built as it builds them.
    if (err) *err = CLuError::Success();
    std::list<std::string> holders;
    try {
        holders = zo_mpio::mapsHolding(dev->getDevicePath());
    } catch (ZoException& e) {
        if (err) {
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "%s", e.getMessage());
            EvDebug(nullptr).error("%s", err->AsString().c_str());
        }
        return dev;
    }
    const ZoDeviceCompare sameDevice(dev);  // takes the disk's status once
    for (const std::string& holder : holders) {
        SP<ZoDevice> candidate = populateListed(&PopulateZoDevice<ZoMpioDiskDevice>, holder, err);
        if (!candidate) continue;
        std::list<SP<ZoDevice>> children = candidate->getChildren();
        auto it = std::find_if(children.begin(), children.end(), sameDevice);
        if (it != children.end()) {
            EvDebug(nullptr).debug("Found parent device of %s:%s", (*it)->getDevicePath().c_str(),
                                   candidate->getDevicePath().c_str());
            return candidate;
        }
    }
    return dev;
}
