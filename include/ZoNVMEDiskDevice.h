// SPDX-License-Identifier: LGPL-2.1-or-later
// An NVMe namespace, with the cloud volume-id conversions.
#pragma once

#include "ZoDevice.h"
#include "ZoExport.h"

#include <list>
#include <string>

class ZODEVICE_API ZoNVMEDiskDevice : public ZoDevice,
                                      public ZoDeviceNVMEIface,
                                      public ZoDevicePartIface,
                                      public ZoDeviceDiskInfoIface {
public:
    explicit ZoNVMEDiskDevice(const char* path);
    ~ZoNVMEDiskDevice() override;

    void* getInterface(const char* name) override;
    int getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) override;
    SP<ZoDevice> getParentDevice(CLuError* err) override;
    CLuError GetArrayInitiatorId(const std::string& path, std::string& out, bool flag) override;
    CLuError GetDeviceWwid(const std::string& path, std::string& out) override;

    static bool isSupportedDevice(const char* path, CLuError* err);
    static SP<ZoDevice> getInstance(const char* path, CLuError* err);
    static int getDevices(std::list<std::string>& out, CLuError* err);
    static int getChildren(const char* path, std::list<std::string>& out, CLuError* err);

    // The volume id ("vol..." serial) of an NVMe device path, "" on failure.
    static std::string convertNVMEtoAWSVol(const std::string& path, CLuError* err);
    // The NVMe device path carrying the volume id, "" when none does.
    static std::string convertAWSVoltoNVME(const std::string& volume, CLuError* err);

private:
    std::string diskPath;
};
