// SPDX-License-Identifier: LGPL-2.1-or-later
// A plain SCSI disk (or a partition node of one) that the SCSI layer can
// address; also the kernel disk-name lookups, the udev settle routine and
// the SCSI disk identity helpers.
#pragma once

#include "UXScsi.h"
#include "ZoDevice.h"
#include "ZoExport.h"

#include <regex.h>

#include <list>
#include <string>
#include <utility>

class ZODEVICE_API ZoScsiDiskDevice : public ZoDevice,
                                      public ZoDeviceScsiIface,
                                      public ZoDevicePartIface,
                                      public ZoDeviceDiskInfoIface {
public:
    explicit ZoScsiDiskDevice(UXScsiTarget& target);
    ~ZoScsiDiskDevice() override;

    void* getInterface(const char* name) override;
    int sendScsiCDB(const void* cdb, int cdbLength, void* data, int dataLength, bool dataOut,
                    bool dataIn, void* sense, int senseLength, int timeout,
                    CLuError* err) override;
    int getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) override;
    SP<ZoDevice> getParentDevice(CLuError* err) override;
    CLuError GetArrayInitiatorId(const std::string& path, std::string& out, bool flag) override;
    CLuError GetDeviceWwid(const std::string& path, std::string& out) override;

    const UXScsiTarget& getScsiTarget() const { return scsiTarget; }

    static bool isSupportedDevice(const char* path, CLuError* err);
    static SP<ZoDevice> getInstance(const char* path, CLuError* err);
    static int getDevices(std::list<std::string>& out, CLuError* err);
    static int getChildren(const char* path, std::list<std::string>& out, CLuError* err);

private:
    UXScsiTarget scsiTarget;
};

// A compiled POSIX regular expression.
class ZODEVICE_API ZoRegEx {
public:
    ZoRegEx(const char* pattern, int flags);
    virtual ~ZoRegEx();
    ZoRegEx(const ZoRegEx&) = delete;
    ZoRegEx& operator=(const ZoRegEx&) = delete;
    // True iff the pattern matches somewhere in text; the matched text and
    // its [start, end) offsets are stored when asked for.
    bool match(const std::string& text, std::string* matched = nullptr,
               std::pair<unsigned long, unsigned long>* offsets = nullptr);

private:
    regex_t m_regex;
    bool m_compiled;
};

// Kernel name of the whole disk holding device major:minor, from
// /proc/partitions, or "" (sd, xvd and nvme namespace-1 names).
ZODEVICE_API std::string getScsiDevName(int major, int minor);
ZODEVICE_API std::string getDeviceName(int major, int minor);
ZODEVICE_API std::string getNVMEDeviceName(int major, int minor);

// Waits for udev to settle (time-out in seconds, 0 for none); on failure
// sleeps for the time-out.
ZODEVICE_API void waitForSettle(int timeout);

// Public hook: returns success and leaves name unchanged.
ZODEVICE_API CLuError updateClusterDeviceNameToRealDeviceName(std::string& name);

// Letter name of an index as Linux names disks: 0 a, 25 z, 26 aa, 701 zz,
// 702 aaa; "" for a negative index.
ZODEVICE_API std::string getAAName(long index);
