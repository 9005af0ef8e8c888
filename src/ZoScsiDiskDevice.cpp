// SPDX-License-Identifier: LGPL-2.1-or-later
// The SCSI disk kind: resolving a path to a disk the SCSI layer can address,
// listing those disks, and SCSI command pass-through.
#include "ZoScsiDiskDevice.h"

#include "EvDebug.h"
#include "ZoException.h"
#include "ZoHost.h"
#include "ZoKindSupport.h"
#include "ZoOpCache.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>

namespace {

// A SCSI disk owns this many consecutive minors: the whole disk's and those
// of partitions 1 to 15.
const unsigned kMaxMinorsPerDisk = 16;

void setError(CLuError* err, const FXCodeLocation& loc, const std::string& message) {
    if (err) *err = FXErrorUtil::ErrorWin32(loc, ZO_ERROR_CODE, "%s", message.c_str());
}

// Logs an exception with EvDebug::Error and records it in err (when given).
void recordException(const FXCodeLocation& where, const ZoException& e, CLuError* err) {
    zo_kind::recordException(where, e, err, zo_kind::ExceptionLog::EvDebugError);
}

// How resolve() ended.
enum class Resolution {
    Found,     // *device (getInstance) is set, or the path is supported
    NotFound,  // no disk; err was set where the rules say so
};

// Makes the object for a resolved path from a target; with open, readies
// the object's own target first (throws ZoException when that fails).
typedef SP<ZoDevice> (*MakeDevice)(UXScsiTarget& target, const std::string& path, bool open);

// The path resolution shared by isSupportedDevice (make null) and
// getInstance: the listed disk with the path's device number, else a disk
// the SCSI layer opens under the path, else (once) under the kernel name of
// the device number.
Resolution resolve(const char* path, MakeDevice make, CLuError* err, SP<ZoDevice>* device) {
    const bool build = make != nullptr;
    const char* fn = build ? "ZoScsiDiskDevice::getInstance" : "ZoScsiDiskDevice::isSupportedDevice";
    std::shared_ptr<ZoHost> host = ZoHost::current();
    try {
        std::string candidate = path ? path : "";
        struct stat st;
        if (!path || zo_cache::stat(*host, candidate, &st) != 0) {
            int e = path ? errno : EFAULT;
            throw ZoException(fn, "Failed to stat " + (path ? candidate : std::string("(null)")) +
                                      ": " + std::strerror(e),
                              __FILE__, __LINE__, -1);
        }
        const dev_t devno = st.st_rdev;
        std::string openFailure;

        for (int pass = 0; pass < 2; ++pass) {
            UXScsiTarget listed;
            if (UXScsi::findListed(candidate, devno, &listed)) {
                if (build) *device = make(listed, candidate, false);
                return Resolution::Found;
            }

            if (!build) {
                try {
                    UXScsiTarget target(candidate.c_str(), false);
                    UXScsi::open(target, 0);
                    return Resolution::Found;
                } catch (...) {
                }
            } else {
                try {
                    UXScsiTarget target(candidate.c_str(), false);
                    *device = make(target, candidate, true);
                    return Resolution::Found;
                } catch (ZoException& e) {
                    recordException(FX_LOCATION, e, nullptr);
                    openFailure = e.getMessage();
                }
            }
            if (pass == 1) break;

            const std::string name = getScsiDevName(static_cast<int>(major(devno)),
                                                    static_cast<int>(minor(devno)));
            if (name.empty()) break;
            std::string next = "/dev/" + name;
            const unsigned partition = minor(devno) % kMaxMinorsPerDisk;
            if (partition != 0) next += std::to_string(partition);
            // The kernel name must name the very device: partitions from 16
            // up live on another major, where "minor mod 16" names a
            // different partition of some disk.
            struct stat nextSt;
            if (zo_cache::stat(*host, next, &nextSt) != 0 || !S_ISBLK(nextSt.st_mode) || nextSt.st_rdev != devno) {
                if (build) {
                    std::string message = candidate + " (" + std::to_string(major(devno)) + ":" +
                                          std::to_string(minor(devno)) + ") is not known under " +
                                          next;
                    EvDebug(nullptr).Error(fn, "%s", message.c_str());
                    openFailure = message;
                }
                break;
            }
            candidate = next;
        }
        if (build) setError(err, FX_LOCATION, openFailure);
        return Resolution::NotFound;
    } catch (ZoException& e) {
        recordException(FX_LOCATION, e, err);
        return Resolution::NotFound;
    }
}

}  // namespace

ZoScsiDiskDevice::ZoScsiDiskDevice(UXScsiTarget& target) : scsiTarget(target) {}

ZoScsiDiskDevice::~ZoScsiDiskDevice() = default;

void* ZoScsiDiskDevice::getInterface(const char* name) {
    if (!name) return nullptr;
    if (std::strcmp(name, "ZoDeviceScsiIface") == 0) return static_cast<ZoDeviceScsiIface*>(this);
    if (std::strcmp(name, "ZoDevicePartIface") == 0) return static_cast<ZoDevicePartIface*>(this);
    if (std::strncmp(name, "ZoDeviceDiskInfoIface", 21) == 0)
        return static_cast<ZoDeviceDiskInfoIface*>(this);
    return nullptr;
}

int ZoScsiDiskDevice::sendScsiCDB(const void* cdb, int cdbLength, void* data, int dataLength,
                                  bool dataOut, bool dataIn, void* sense, int senseLength,
                                  int timeout, CLuError* err) {
    try {
        return UXScsi::send(scsiTarget, cdb, cdbLength, data, dataLength, dataOut, dataIn, sense,
                            senseLength, timeout);
    } catch (ZoException& e) {
        recordException(FX_LOCATION, e, err);
        return -1;
    }
}

bool ZoScsiDiskDevice::isSupportedDevice(const char* path, CLuError* err) {
    return resolve(path, nullptr, err, nullptr) == Resolution::Found;
}

SP<ZoDevice> ZoScsiDiskDevice::getInstance(const char* path, CLuError* err) {
    MakeDevice make = [](UXScsiTarget& target, const std::string& path, bool open) {
        ZoScsiDiskDevice* disk = new ZoScsiDiskDevice(target);
        SP<ZoDevice> handle(disk);  // destroys the object when the open throws
        if (open) UXScsi::open(disk->scsiTarget, 0);
        disk->type = SCSI_DISK;
        disk->devicePath = path;
        return handle;
    };
    SP<ZoDevice> device;
    if (resolve(path, make, err, &device) != Resolution::Found) return SP<ZoDevice>();
    return device;
}

int ZoScsiDiskDevice::getDevices(std::list<std::string>& out, CLuError* err) {
    try {
        std::list<UXScsi::Device> devices =
            UXScsi::getDeviceList(UXScsi::Device::DIRECT_ACCESS, false, false, false);
        out.clear();
        for (const UXScsi::Device& d : devices) out.push_back(d.target.getNativePath());
        return 0;
    } catch (ZoException& e) {
        recordException(FX_LOCATION, e, err);
        return -1;
    }
}

int ZoScsiDiskDevice::getChildren(const char*, std::list<std::string>& out, CLuError*) {
    out.clear();
    return 0;
}

CLuError updateClusterDeviceNameToRealDeviceName(std::string&) { return CLuError::Success(); }
