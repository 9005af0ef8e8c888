// SPDX-License-Identifier: LGPL-2.1-or-later
// A Xen virtual disk (xvd names).
#pragma once

#include "ZoDevice.h"
#include "ZoExport.h"

#include <list>
#include <string>

class ZODEVICE_API ZoVDDiskDevice : public ZoDevice,
                                    public ZoDeviceVDIface,
                                    public ZoDevicePartIface,
                                    public ZoDeviceDiskInfoIface {
public:
    explicit ZoVDDiskDevice(const char* path);
    ~ZoVDDiskDevice() override;

    void* getInterface(const char* name) override;
    int getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) override;
    SP<ZoDevice> getParentDevice(CLuError* err) override;
    CLuError GetArrayInitiatorId(const std::string& path, std::string& out, bool flag) override;
    CLuError GetDeviceWwid(const std::string& path, std::string& out) override;

    static bool isSupportedDevice(const char* path, CLuError* err);
    static SP<ZoDevice> getInstance(const char* path, CLuError* err);
    static int getDevices(std::list<std::string>& out, CLuError* err);
    static int getChildren(const char* path, std::list<std::string>& out, CLuError* err);

    // xvd name or path to its sd-style name and back, shifted by the letter
    // of the root disk.
    static std::string convertXVDtoSD(const std::string& name, CLuError* err);
    static std::string convertSDtoXVD(const std::string& name, CLuError* err);

private:
    std::string diskPath;
};
