// SPDX-License-Identifier: LGPL-2.1-or-later
// The device-mapper multipath disk: its answers come from the multipath
// facade (a fresh ZoMPIO per operation) or from its path devices.
#include "ZoMpioDiskDevice.h"

#include "ZOSO.h"
#include "ZoDeviceTree.h"
#include "ZoException.h"
#include "ZoKindSupport.h"
#include "ZoMPIO.h"

#include <cstring>

namespace {

// Records an exception's message in err unless err already holds an error;
// nothing is logged.
void recordException(const FXCodeLocation& where, CLuError* err, const ZoException& e) {
    zo_kind::recordException(where, e, err, zo_kind::ExceptionLog::None, true);
}

// True iff name begins with iface (only iface's length is compared).
bool namePrefixed(const char* name, const char* iface) {
    return std::strncmp(name, iface, std::strlen(iface)) == 0;
}

}  // namespace

ZoMpioDiskDevice::ZoMpioDiskDevice(const std::string& path) : ZoDevice(path, MPIO_DISK) {}

ZoMpioDiskDevice::~ZoMpioDiskDevice() = default;

void* ZoMpioDiskDevice::getInterface(const char* name) {
    if (!name) return nullptr;
    if (namePrefixed(name, "ZoDeviceMpioIface")) return static_cast<ZoDeviceMpioIface*>(this);
    if (namePrefixed(name, "ZoDeviceScsiIface")) return static_cast<ZoDeviceScsiIface*>(this);
    if (namePrefixed(name, "ZoDevicePartIface")) return static_cast<ZoDevicePartIface*>(this);
    if (namePrefixed(name, "ZoDeviceDiskInfoIface"))
        return static_cast<ZoDeviceDiskInfoIface*>(this);
    return nullptr;
}

bool ZoMpioDiskDevice::isSupportedDevice(const char* path, CLuError* err) {
    ZoMPIO mpio;
    return mpio.isMPIODevice(path, err) != 0;
}

SP<ZoDevice> ZoMpioDiskDevice::getInstance(const char* path, CLuError* err) {
    SP<ZoDevice> result;
    const char* shown = path ? path : "(null)";
    try {
        ZoMPIO mpio;
        if (!path || mpio.isMPIODevice(std::string(path), err) == 0) {
            if (err && !err->IsError())
                *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                               "Not an mpio device: %s", shown);
            return result;
        }
        result = new ZoMpioDiskDevice(std::string(path));
        if (!result && err)
            *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                           "Unable to allocate memory for MPIO device %s", shown);
    } catch (ZoException& e) {
        result = nullptr;
        recordException(FX_LOCATION, err, e);
    }
    return result;
}

int ZoMpioDiskDevice::getDevices(std::list<std::string>& out, CLuError* err) {
    try {
        ZoMPIO mpio;
        out = mpio.getMPIODevices(nullptr, err);
        return 0;
    } catch (ZoException& e) {
        out.clear();
        recordException(FX_LOCATION, err, e);
        return -1;
    }
}

int ZoMpioDiskDevice::getChildren(const char* path, std::list<std::string>& out, CLuError* err) {
    try {
        ZoMPIO mpio;
        out = mpio.getUnderlyingDevices(nullptr, path, nullptr);
        return 0;
    } catch (ZoException& e) {
        out.clear();
        recordException(FX_LOCATION, err, e);
        return -1;
    }
}

int ZoMpioDiskDevice::sendScsiCDB(const void* cdb, int cdbLength, void* data, int dataLength,
                                  bool dataOut, bool dataIn, void* sense, int senseLength,
                                  int timeout, CLuError* err) {
    int status = 0;
    for (const SP<ZoDevice>& child : children) {
        status = -1;
        try {
            auto* scsi = static_cast<ZoDeviceScsiIface*>(child->getInterface("ZoDeviceScsiIface"));
            if (!scsi) continue;
            status = scsi->sendScsiCDB(cdb, cdbLength, data, dataLength, dataOut, dataIn, sense,
                                       senseLength, timeout, err);
            if (status == 0) return 0;
        } catch (ZoException&) {
            status = -1;
        }
        if (err)
            *err = FXErrorUtil::ErrorWin32(
                FX_LOCATION, ZO_ERROR_CODE,
                "Failed to send scsi cdb to any of the underlying devices under %s",
                devicePath.c_str());
    }
    return status;
}

const std::string& ZoMpioDiskDevice::getActivePath() const { return getDevicePath(); }

int ZoMpioDiskDevice::setFailIfNoPath(CLuError* err) {
    try {
        ZoMPIO mpio;
        return mpio.setFailIfNoPathDevice(nullptr, devicePath, err);
    } catch (ZoException& e) {
        recordException(FX_LOCATION, err, e);
        return -1;
    }
}

int ZoMpioDiskDevice::getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) {
    try {
        ZoMPIO mpio;
        return mpio.getPartitionDevices(nullptr, devicePath, out, refresh, err);
    } catch (ZoException& e) {
        recordException(FX_LOCATION, err, e);
        return -1;
    }
}

SP<ZoDevice> ZoMpioDiskDevice::getParentDevice(CLuError* err) {
    SP<ZoDevice> result;
    std::string parent;
    bool isPartition = false;
    try {
        ZoMPIO mpio;
        isPartition = mpio.isPartitionDevice(nullptr, devicePath, parent, err);
    } catch (ZoException& e) {
        recordException(FX_LOCATION, err, e);
        return result;
    }
    if (isPartition)
        result = ZoDeviceTree::getDevice(parent.c_str(), err);
    else
        result = this;
    return result;
}

CLuError ZoMpioDiskDevice::GetArrayInitiatorId(const std::string&, std::string& out, bool flag) {
    if (children.empty())
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "No children for device %s",
                                       devicePath.c_str());
    SP<ZoDevice> first = children.front();
    auto* info = static_cast<ZoDeviceDiskInfoIface*>(first->getInterface("ZoDeviceDiskInfoIface"));
    if (!info)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                       "No disk info interface on device %s",
                                       first->getDevicePath().c_str());
    return info->GetArrayInitiatorId(first->getDevicePath(), out, flag);
}

CLuError ZoMpioDiskDevice::GetDeviceWwid(const std::string& path, std::string& out) {
    const unsigned long long jobId = 0;
    if (ZOSO::DetermineDeviceSerial(jobId, path, out)) return CLuError::Success();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "Unable to get scsi id");
}
