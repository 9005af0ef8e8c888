// SPDX-License-Identifier: LGPL-2.1-or-later
// The multipath facade: device-mapper multipath state read through ZoHost
// (dm/uuid, dm/name, slaves/, holders/) and driven through dmsetup,
// multipath, multipathd and kpartx. Made on the stack per operation.
//
// Members may throw ZoException. Device names handed out are in a form
// ZoDeviceTree::getDevice() accepts ("/dev/mapper/<name>", "/dev/<kernel name>").
#pragma once

#include "CLuError.h"
#include "EvDebug.h"
#include "SP.h"

#include <list>
#include <string>

#include "ZoPartInfo.h"

class MPIOVendor_Context;

class ZoMPIO : public SPEnabled {
public:
    ZoMPIO();
    ~ZoMPIO() override;

    // Non-zero iff the path is a whole multipath map (not a partition map).
    int isMPIODevice(const char* path, CLuError* err);
    int isMPIODevice(const std::string& path, CLuError* err);
    // Every map as "/dev/mapper/<name>".
    std::list<std::string> getMPIODevices(MPIOVendor_Context* ctx, CLuError* err);
    // "/dev/<name>" of each path device of the map, in slaves/ order.
    std::list<std::string> getUnderlyingDevices(MPIOVendor_Context* ctx, const char* path,
                                                CLuError* err);
    // dmsetup message <map> 0 fail_if_no_path; 0 on success.
    int setFailIfNoPathDevice(MPIOVendor_Context* ctx, const std::string& path, CLuError* err);
    // One record per partition map of the map; refresh asks kpartx -u and a
    // settle first. 0 on success.
    int getPartitionDevices(MPIOVendor_Context* ctx, const std::string& path,
                            std::list<ZoPartInfo>& out, bool refresh, CLuError* err);
    // True iff path is a partition map; parent then names its whole map.
    bool isPartitionDevice(MPIOVendor_Context* ctx, const std::string& path, std::string& parent,
                           CLuError* err);
    // Puts a changed multipath configuration into effect and returns once it
    // is. 0 on success.
    int refreshMPIO(MPIOVendor_Context* ctx, CLuError* err);

private:
    EvDebug m_log;
};

namespace zo_mpio {

// A device-mapper uuid names a whole multipath map ("mpath-<wwid>") or a
// partition map of one ("part<N>-mpath-<wwid>", N >= 1). Maps are
// recognised by their uuid, never by their name.
bool isWholeMapUuid(const std::string& uuid);
// N of a partition map's uuid, or 0 when uuid names no partition map.
int partitionMapNumber(const std::string& uuid);

// The whole multipath maps that hold the block device at path (its sysfs
// holders/), as "/dev/mapper/<name>" (or "/dev/<kernel name>"), in the
// order ZoMPIO::getMPIODevices lists maps. Costs a few reads per holder,
// whatever the number of maps on the host. A path that is no device node
// is looked up by its name under /dev. Throws ZoException when the
// holders cannot be read.
std::list<std::string> mapsHolding(const std::string& path);

}  // namespace zo_mpio
