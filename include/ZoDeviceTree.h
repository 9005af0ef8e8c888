// SPDX-License-Identifier: LGPL-2.1-or-later
// The entry point: device lookup by path, parent lookup, enumeration, and
// the multipath configuration editor. Static operations only.
#pragma once

#include "ZoDevice.h"
#include "ZoExport.h"

#include <list>
#include <string>

class ZODEVICE_API ZoDeviceTree {
public:
    // The device for path with its children, or null with
    // "Failed to get a ZoDevice Instance for %s" (code 774) in err.
    // Kinds are tried in the order Xen, NVMe, multipath, SCSI; a path no kind
    // accepts is tried once more after a refresh of the SCSI device list.
    static SP<ZoDevice> getDevice(const char* path, CLuError* err);
    // As getDevice, without the NVMe kind; the retry is governed by the
    // configuration key "nSkipDeviceRescanOnFailure" in "Tessarine".
    static SP<ZoDevice> getDeviceCheckNoRetry(const char* path, CLuError* err);
    // The device of kind T for path with its children, or null.
    template <class T>
    static SP<ZoDevice> PopulateZoDevice(const std::string& path, CLuError* err);
    // The same for a C string; a null path fails cleanly (null, code 774).
    template <class T>
    static SP<ZoDevice> PopulateZoDevice(const char* path, CLuError* err) {
        if (!path) {
            if (err)
                *err = FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                               "Failed to get a ZoDevice Instance for %s", "(null)");
            return SP<ZoDevice>();
        }
        return PopulateZoDevice<T>(std::string(path), err);
    }

    // Every device of one kind on the host, each with its children.
    static std::list<SP<ZoDevice>> getAllDevices(ZoDevice::TYPE type, CLuError* err);
    // The device a caller should address for path: the multipath disk above a
    // SCSI path, the device itself otherwise; null when no kind accepts path.
    static SP<ZoDevice> getParentDevice(const char* path, CLuError* err);

    // Puts the disks under multipath control in /etc/multipath.conf and
    // returns the multipath device above each path (or an empty handle).
    static std::list<SP<ZoDevice>> addMultipathBlacklistExceptions(std::list<std::string>& paths,
                                                                   CLuError* error);
    // Takes the disks out of /etc/multipath.conf again; 0 when the file was
    // rewritten, -1 otherwise.
    static int delMultipathBlacklistExceptions(std::list<std::string>& paths, CLuError* error);

    // The time-out, in seconds, of the SCSI commands the library sends on its
    // own: the INQUIRY behind GetDeviceWwid and ZOSO::DetermineDeviceSerial
    // (on a multipath device, per path tried). 0 restores the default of 10 s;
    // the kernel waits at least 7 s for a command to a disk, so less takes
    // effect as 7 s. A command that does not complete in time fails with
    // "... timed out after N s"; a multipath device then tries its next path. sendScsiCDB
    // keeps the time-out its caller passes. Process-wide; any thread may set
    // or read it.
    static void setCommandTimeout(unsigned seconds);
    static unsigned commandTimeout();

    static const int mod_id;
};
