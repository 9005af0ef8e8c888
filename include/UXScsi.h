// SPDX-License-Identifier: LGPL-2.1-or-later
// The SCSI layer: the SCSI disks the kernel shows, and SCSI commands sent
// to them with SG_IO. Reads the machine through ZoHost.
//
// The device list is process-wide; refreshDeviceList() rebuilds it and
// getDeviceList() returns it as of the last refresh. Both are safe to call
// from several threads.
#pragma once

#include "ZoExport.h"

#include <sys/types.h>

#include <list>
#include <string>

// The SCSI layer's handle of one disk: its node and its SCSI address.
class ZODEVICE_API UXScsiTarget {
public:
    UXScsiTarget() = default;
    // A target for a device path. When the path names a SCSI disk (or a
    // partition of one) the address is taken from sysfs; the node is kept
    // as given. Throws nothing: an unknown path gives a target that
    // UXScsi::open() refuses.
    UXScsiTarget(const char* path, bool flag);

    std::string getNativePath() const { return m_node; }
    std::string getAdapter() const;  // "scsi" + host number
    int getHost() const { return m_host; }
    int getBus() const { return m_channel; }
    int getTarget() const { return m_target; }
    int getLun() const { return m_lun; }
    // The sysfs directory of the SCSI device ("/sys/class/scsi_device/H:C:T:L/device"
    // resolved), empty when unknown.
    const std::string& getSysfsDevice() const { return m_sysfsDevice; }

    // Used by the SCSI layer to build listed targets.
    static UXScsiTarget make(const std::string& node, int host, int channel, int target, int lun,
                             const std::string& sysfsDevice);

private:
    std::string m_node;
    int m_host = -1;
    int m_channel = -1;
    int m_target = -1;
    int m_lun = -1;
    std::string m_sysfsDevice;
};

class ZODEVICE_API UXScsi {
public:
    struct Device {
        enum DEVICE_TYPE { DIRECT_ACCESS = 0 };
        UXScsiTarget target;
        dev_t devno = 0;  // device number of the node at refresh time
    };

    // Rebuilds the list of SCSI disks (peripheral type 0 with a block node),
    // ordered by host, channel, target, lun.
    static void refreshDeviceList(Device::DEVICE_TYPE type, bool flag);
    static std::list<Device> getDeviceList(Device::DEVICE_TYPE type, bool f1, bool f2, bool f3);

    // Indexed look-ups over the list of the last refresh: true and the
    // target when a listed disk has this device number / node path.
    static bool findByDevno(dev_t devno, UXScsiTarget* target);
    static bool findByNode(const std::string& node, UXScsiTarget* target);
    // The first listed disk, in list order, whose node stats now and either
    // has device number devno or is the node path itself. Costs one stat per
    // listed disk whose node had devno at refresh time or equals path
    // (normally one), however long the list is. True and the target when
    // found.
    static bool findListed(const std::string& path, dev_t devno, UXScsiTarget* target);

    // Readies a target: throws ZoException unless its node is a block device
    // whose sysfs chain shows a SCSI device and the node can be opened.
    static void open(UXScsiTarget& target, int flags);

    // Sends one command block with SG_IO. dataOut asks to send the buffer to
    // the device, dataIn to read into it; timeout is in seconds. Returns 0
    // when the command completed with GOOD status; throws ZoException with
    // the reason otherwise. Copies sense data when a buffer is given.
    static int send(const UXScsiTarget& target, const void* cdb, int cdbLength, void* data,
                    int dataLength, bool dataOut, bool dataIn, void* sense, int senseLength,
                    int timeout);
    // The bytes the last command sent on this thread that reads data brought
    // into its buffer (the transfer's length less its residual); -1 when
    // unknown (no such command since forgetTransferred(), or it failed).
    static int lastTransferred();
    static void forgetTransferred();
};
