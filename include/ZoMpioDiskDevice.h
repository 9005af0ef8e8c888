// SPDX-License-Identifier: LGPL-2.1-or-later
// A device-mapper multipath disk; its children are its path devices.
#pragma once

#include "ZoDevice.h"
#include "ZoExport.h"

#include <list>
#include <string>

class ZODEVICE_API ZoMpioDiskDevice : public ZoDevice,
                                      public ZoDeviceScsiIface,
                                      public ZoDeviceMpioIface,
                                      public ZoDevicePartIface,
                                      public ZoDeviceDiskInfoIface {
public:
    explicit ZoMpioDiskDevice(const std::string& path);
    ~ZoMpioDiskDevice() override;

    void* getInterface(const char* name) override;
    int sendScsiCDB(const void* cdb, int cdbLength, void* data, int dataLength, bool dataOut,
                    bool dataIn, void* sense, int senseLength, int timeout,
                    CLuError* err) override;
    const std::string& getActivePath() const override;
    int setFailIfNoPath(CLuError* err) override;
    int getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) override;
    SP<ZoDevice> getParentDevice(CLuError* err) override;
    CLuError GetArrayInitiatorId(const std::string& path, std::string& out, bool flag) override;
    CLuError GetDeviceWwid(const std::string& path, std::string& out) override;

    static bool isSupportedDevice(const char* path, CLuError* err);
    static SP<ZoDevice> getInstance(const char* path, CLuError* err);
    static int getDevices(std::list<std::string>& out, CLuError* err);
    static int getChildren(const char* path, std::list<std::string>& out, CLuError* err);
};
