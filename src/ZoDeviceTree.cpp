// SPDX-License-Identifier: LGPL-2.1-or-later
// Device lookup, parent lookup and enumeration.
#include "ZoDeviceTree.h"

#include "EvDebug.h"
#include "UXScsi.h"
#include "ZOPlatformInfo.h"
#include "ZoException.h"
#include "ZoInternal.h"
#include "ZoKinds.h"
#include "ZoMPIO.h"
#include "ZoMpioDiskDevice.h"
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

// How deep PopulateZoDevice is in its recursion over children.
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

// PopulateZoDevice of a kind chosen at run time.
SP<ZoDevice> populate(ZoDevice::TYPE kind, const std::string& path, CLuError* err) {
    switch (kind) {
    case ZoDevice::SCSI_DISK: return ZoDeviceTree::PopulateZoDevice<ZoScsiDiskDevice>(path, err);
    case ZoDevice::MPIO_DISK: return ZoDeviceTree::PopulateZoDevice<ZoMpioDiskDevice>(path, err);
    case ZoDevice::XVD_DISK: return ZoDeviceTree::PopulateZoDevice<ZoVDDiskDevice>(path, err);
    case ZoDevice::NVME_DISK: return ZoDeviceTree::PopulateZoDevice<ZoNVMEDiskDevice>(path, err);
    default: return SP<ZoDevice>();
    }
}

// One attempt with each kind of order until one builds the device: the
// device, or null. After each failed attempt the kind's error is logged
// under function and cleared.
SP<ZoDevice> attempt(const std::vector<ZoDevice::TYPE>& order, const char* path, CLuError* err,
                     const char* function) {
    for (ZoDevice::TYPE kind : order) {
        if (SP<ZoDevice> dev = populate(kind, std::string(path), err)) return dev;
        logAndReset(err, function);
    }
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

// The lookup by path of getDevice and getDeviceCheckNoRetry: passes that
// run refresh and offer the path to the kinds of order, until one builds
// the device. After a failed first pass, mayRetry() tells whether a second
// pass (which refreshes the list again) is made.
SP<ZoDevice> lookup(const char* path, CLuError* err, const std::vector<ZoDevice::TYPE>& order,
                    void (*refresh)(), bool (*mayRetry)()) {
    if (!path) {
        setLookupFailure(err, path);
        return SP<ZoDevice>();
    }
    const char* fn = "ZoDeviceTree::getDevice";
    zo_cache::Scope scope;
    bool retry = false;
    do {
        refresh();
        if (SP<ZoDevice> dev = attempt(order, path, err, fn)) return dev;
        retry = !retry && mayRetry();
        if (retry) isRefreshed.store(false);
        logAndReset(err, fn);
        setLookupFailure(err, path);
    } while (retry);
    return SP<ZoDevice>();
}

// One path an enumeration of kind listed, populated as getAllDevices does:
// the device, or null when it cannot be built (a failure with an error drops
// the error; one without is logged).
SP<ZoDevice> populateListed(ZoDevice::TYPE kind, const std::string& path, CLuError* err) {
    // An error left over from the enumeration (an entry without a node,
    // say) must not count against this path.
    if (err) *err = CLuError::Success();
    SP<ZoDevice> dev = populate(kind, path, err);
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
    if (populateDepth >= zo_kind::kMaxPopulateDepth) return SP<ZoDevice>();
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
        SP<ZoDevice> c;
        for (ZoDevice::TYPE kind : zo_kind::kChildOrder) {
            if (err) *err = CLuError::Success();
            if ((c = populate(kind, child, err))) break;
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
    return lookup(
        path, err, zo_kind::kLookupOrder, [] { refreshCatching("ZoDeviceTree::getDevice"); },
        [] { return true; });
}

SP<ZoDevice> ZoDeviceTree::getDeviceCheckNoRetry(const char* path, CLuError* err) {
    return lookup(
        path, err, zo_kind::kNoRetryLookupOrder,
        [] {
            if (isRefreshed.load()) return;
            refreshDeviceList();  // an exception reaches the caller
            isRefreshed.store(true);
        },
        [] {
            readRescanSetting();
            return ulSkipDeviceRescanOnFailure.load() == 0;
        });
}

std::list<SP<ZoDevice>> ZoDeviceTree::getAllDevices(ZoDevice::TYPE type, CLuError* err) {
    std::list<SP<ZoDevice>> result;
    std::list<std::string> paths;
    zo_cache::Scope scope;
    refreshCatching("ZoDeviceTree::getAllDevices");

    typedef int (*Enumerate)(std::list<std::string>&, CLuError*);
    static const struct {
        ZoDevice::TYPE kind;
        Enumerate enumerate;
        const char* failure;
    } kEnumerations[] = {
        {ZoDevice::SCSI_DISK, &ZoScsiDiskDevice::getDevices, "No scsi disk devices returned"},
        {ZoDevice::MPIO_DISK, &ZoMpioDiskDevice::getDevices, "No MPIO disk devices returned"},
        {ZoDevice::XVD_DISK, &ZoVDDiskDevice::getDevices, "No XVD disk devices returned"},
        {ZoDevice::NVME_DISK, &ZoNVMEDiskDevice::getDevices, "No NVME disk devices returned"},
    };
    auto e = std::find_if(std::begin(kEnumerations), std::end(kEnumerations),
                          [type](const auto& k) { return k.kind == type; });
    if (e == std::end(kEnumerations)) {
        if (err)
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                           "Unknown type of devices requested");
        return result;
    }
    const int rc = e->enumerate(paths, err);
    const char* failure = e->failure;
    if (rc != 0) {
        if (err && !err->IsError())
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "%s", failure);
        return result;
    }
    for (const std::string& path : paths)
        if (SP<ZoDevice> dev = populateListed(type, path, err)) result.push_back(dev);
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

    SP<ZoDevice> dev = attempt(zo_kind::kParentLookupOrder, path, err, fn);
    if (!dev) {
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
        SP<ZoDevice> candidate = populateListed(ZoDevice::MPIO_DISK, holder, err);
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
