// SPDX-License-Identifier: LGPL-2.1-or-later
#include "report.h"

#include "udev_watch.h"

#include "ZoDeviceTree.h"

#include <cerrno>

namespace zodisk {

namespace {

std::string errorText(const CLuError& err, const std::string& fallback) {
    std::string text = err.IsError() ? err.AsString() : "";
    return text.empty() ? fallback : text;
}

void askPartitions(ZoDevice&, ZoDevicePartIface& part, DeviceReport& r) {
    Activity activity("partitions of " + r.path);
    std::list<ZoPartInfo> parts;
    CLuError err;
    int rc = part.getPartitions(parts, &err, false);
    if (rc < 0) {
        r.errors.push_back({"partitions", errorText(err, "failed with " + std::to_string(rc))});
        return;
    }
    std::vector<PartitionReport> out;
    for (const ZoPartInfo& p : parts) {
        PartitionReport pr;
        pr.path = std::string(p.partName, strnlen(p.partName, sizeof p.partName));
        pr.number = p.partNumber;
        pr.start = p.startSector;
        pr.sectors = p.numSectors;
        pr.sectorSize = p.sectorSize;
        pr.major = p.major;
        pr.minor = p.minor;
        out.push_back(pr);
    }
    r.partitions = std::move(out);
}

void askWholeDisk(ZoDevicePartIface& part, DeviceReport& r) {
    Activity activity("whole disk of " + r.path);
    CLuError err;
    SP<ZoDevice> parent = part.getParentDevice(&err);
    if (!parent)
        r.errors.push_back({"whole disk", errorText(err, "no whole disk found")});
    else
        r.wholeDisk = parent->getDevicePath();
}

void askMap(DeviceReport& r) {
    Activity activity("map above " + r.path);
    CLuError err;
    SP<ZoDevice> parent = ZoDeviceTree::getParentDevice(r.path.c_str(), &err);
    if (!parent) {
        r.errors.push_back({"map", errorText(err, "no device found")});
        return;
    }
    if (err.IsError())
        r.errors.push_back({"map", errorText(err, "")});
    if (parent->getType() == ZoDevice::MPIO_DISK)
        r.map = parent->getDevicePath();
}

void askIdentity(ZoDeviceDiskInfoIface& info, DeviceReport& r) {
    {
        Activity activity("WWID of " + r.path);
        std::string wwid;
        CLuError err = info.GetDeviceWwid(r.path, wwid);
        if (err.IsError())
            r.errors.push_back({"wwid", errorText(err, "failed")});
        else
            r.wwid = wwid;
    }
    {
        Activity activity("Fibre Channel node name of " + r.path);
        std::string node;
        CLuError err = info.GetArrayInitiatorId(r.path, node, false);
        // A disk that is not on a Fibre Channel transport has no node name
        // attribute: no answer rather than a failure.
        if (!err.IsError())
            r.fcNodeName = node;
        else if (err.GetCode() != ENOENT)
            r.errors.push_back({"fc node name", errorText(err, "failed")});
    }
}

}  // namespace

std::string kindName(int type, const char* unclaimed) {
    switch (type) {
    case ZoDevice::SCSI_DISK:
        return "scsi";
    case ZoDevice::MPIO_DISK:
        return "mpath";
    case ZoDevice::XVD_DISK:
        return "xvd";
    case ZoDevice::NVME_DISK:
        return "nvme";
    default:
        return unclaimed;
    }
}

DeviceReport describe(const SP<ZoDevice>& dev, Depth depth) {
    DeviceReport r;
    r.path = dev->getDevicePath();
    r.type = dev->getType();
    r.kind = kindName(r.type);
    for (const SP<ZoDevice>& child : dev->getChildren())
        if (child)
            r.children.push_back(describe(child, Depth::Path));

    auto* part = static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
    if (depth == Depth::Full && part) {
        askWholeDisk(*part, r);
        // A partition has no partitions of its own.
        if (!r.wholeDisk || *r.wholeDisk == r.path)
            askPartitions(*dev, *part, r);
    }
    if (depth == Depth::Full)
        askMap(r);
    auto* info = static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface"));
    if (info)
        askIdentity(*info, r);
    auto* mpio = static_cast<ZoDeviceMpioIface*>(dev->getInterface("ZoDeviceMpioIface"));
    if (mpio)
        r.activePath = mpio->getActivePath();
    return r;
}

}  // namespace zodisk
