// SPDX-License-Identifier: LGPL-2.1-or-later
// The device object model: one ZoDevice per block device a caller names,
// of one of four kinds, with capability interfaces looked up by name.
//
// Devices are snapshots of the host at the time of their lookup and are not
// changed afterwards; they are shared through SP<ZoDevice> handles. A device
// may be read from several threads; the library takes no lock for it.
#pragma once

#include "CLuError.h"
#include "SP.h"
#include "ZoExport.h"
#include "ZoPartInfo.h"

#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <string>

class ZoDevice;

class ZODEVICE_API ZoDeviceIface {
public:
    virtual ~ZoDeviceIface() = default;
};

// SCSI command pass-through.
class ZODEVICE_API ZoDeviceScsiIface : public ZoDeviceIface {
public:
    // cdb and its length, the data buffer and its length, dataOut (send the
    // buffer), dataIn (read into it), the sense buffer and its length, the
    // time-out in seconds. Returns 0 on success.
    virtual int sendScsiCDB(const void* cdb, int cdbLength, void* data, int dataLength,
                            bool dataOut, bool dataIn, void* sense, int senseLength, int timeout,
                            CLuError* err) = 0;
};

// Multipath control.
class ZODEVICE_API ZoDeviceMpioIface : public ZoDeviceIface {
public:
    virtual const std::string& getActivePath() const = 0;
    virtual int setFailIfNoPath(CLuError* err) = 0;
};

// Partitions and the whole disk above a partition.
class ZODEVICE_API ZoDevicePartIface : public ZoDeviceIface {
public:
    virtual int getPartitions(std::list<ZoPartInfo>& out, CLuError* err, bool refresh) = 0;
    virtual SP<ZoDevice> getParentDevice(CLuError* err) = 0;
};

// Disk identity.
class ZODEVICE_API ZoDeviceDiskInfoIface : public ZoDeviceIface {
public:
    virtual CLuError GetArrayInitiatorId(const std::string& path, std::string& out,
                                         bool flag) = 0;
    virtual CLuError GetDeviceWwid(const std::string& path, std::string& out) = 0;
};

// Marker of a Xen virtual disk.
class ZODEVICE_API ZoDeviceVDIface : public ZoDeviceIface {};

// Marker of an NVMe disk.
class ZODEVICE_API ZoDeviceNVMEIface : public ZoDeviceIface {};

class ZODEVICE_API ZoDevice : public SPEnabled {
public:
    enum TYPE : int32_t {
        NONE = 0,
        SCSI_DISK = 1,
        MPIO_DISK = 2,
        XVD_DISK = 7,
        NVME_DISK = 8,
    };

    ZoDevice();
    ZoDevice(const std::string& path, const TYPE& type);
    ~ZoDevice() override;
    ZoDevice(const ZoDevice&) = delete;
    ZoDevice& operator=(const ZoDevice&) = delete;

    // The interface of this object named by name, or null (also for a null
    // name). Each kind answers its own names; the base answers none.
    virtual void* getInterface(const char* name);
    virtual const std::string& getDevicePath() const;

    const TYPE& getType() const { return type; }
    // A copy of the children list (the handles share the child objects).
    std::list<SP<ZoDevice>> getChildren() const { return children; }

    static int mod_id;

protected:
    friend class ZoDeviceTree;
    TYPE type;
    std::string devicePath;
    std::list<SP<ZoDevice>> children;
};

// Finds a device in a list of handles: a candidate matches when its path
// equals the reference's, or when both are block (or character) device nodes
// with the same device number.
class ZODEVICE_API ZoDeviceCompare {
public:
    explicit ZoDeviceCompare(SP<ZoDevice> reference);
    bool operator()(SP<ZoDevice> candidate) const;

private:
    struct stat m_stat;
    bool m_statOk;
    SP<ZoDevice> m_reference;
};
