// SPDX-License-Identifier: LGPL-2.1-or-later
// Identity of a SCSI disk: the Fibre Channel node name of the array port
// behind it, its WWID, and the letter names of disk indexes.
#include "ZoScsiDiskDevice.h"

#include "EvDebug.h"
#include "FXString.h"
#include "ZOSO.h"
#include "ZoHost.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

CLuError ZoScsiDiskDevice::GetArrayInitiatorId(const std::string&, std::string& out, bool) {
    const char* fn = "ZoScsiDiskDevice::GetArrayInitiatorId";
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%d:%d", scsiTarget.getBus(), scsiTarget.getTarget());

    std::string adapter = scsiTarget.getAdapter();
    size_t pos = FXString::FindStringPos(adapter, "scsi", true);
    if (pos != std::string::npos) adapter = adapter.substr(pos + 4);
    const std::string sysfsPath =
        "/sys/class/fc_transport/target" + adapter + ":" + buffer + "/node_name";
    const std::string& diskPath = getDevicePath();
    EvDebug(nullptr).Debug(fn, "diskPath %s, sysfs-path %s", diskPath.c_str(), sysfsPath.c_str());

    std::shared_ptr<ZoHost> host = ZoHost::current();
    if (host->access(sysfsPath, R_OK) != 0) {
        int e = errno;
        EvDebug(nullptr).Error(fn, "Non existent sysfs path %s for device %s. rc %d",
                               sysfsPath.c_str(), diskPath.c_str(), e);
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, e, "Failed to get sysfs path %s for device %s",
                                       sysfsPath.c_str(), diskPath.c_str());
    }
    std::string contents;
    if (host->readFile(sysfsPath, &contents, ZoHost::kAttributeBytes) != 0) {
        int e = errno;
        EvDebug(nullptr).Error(fn, "Open failed for file %s. rc %d", sysfsPath.c_str(), e);
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, e, "Open failed for file %s", sysfsPath.c_str());
    }
    // One line of at most 511 characters, as a C string, without its newline.
    std::string line = contents.substr(0, sizeof buffer - 1);
    line = line.substr(0, line.find('\n'));
    line = line.c_str();
    if (line.empty()) {
        EvDebug(nullptr).Error(fn, "Empty node name in %s for device %s", sysfsPath.c_str(),
                               diskPath.c_str());
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                       "Empty node name in %s for device %s", sysfsPath.c_str(),
                                       diskPath.c_str());
    }
    out = line;
    return CLuError::Success();
}

CLuError ZoScsiDiskDevice::GetDeviceWwid(const std::string& path, std::string& out) {
    if (ZOSO::DetermineDeviceSerial(0, path, out)) return CLuError::Success();
    return FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE, "Unable to get scsi id");
}

std::string getAAName(long index) {
    if (index < 0) return "";
    std::string name;
    // Bijective base 26: the rightmost letter counts from 'a' = 0, every
    // letter to its left from 'a' = 1.
    unsigned long long rest = static_cast<unsigned long long>(index);
    while (true) {
        name.insert(name.begin(), static_cast<char>('a' + rest % 26));
        rest /= 26;
        if (rest == 0) break;
        --rest;
    }
    return name;
}
