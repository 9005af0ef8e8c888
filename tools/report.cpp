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

const std::string* DeviceReport::errorOf(const std::string& what) const {
    for (const Problem& p : errors)
        if (p.what == what)
            return &p.text;
    return nullptr;
}

std::string kindName(int type) {
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
        return "none";
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

bool hasErrors(const DeviceReport& r) {
    if (!r.errors.empty())
        return true;
    for (const DeviceReport& c : r.children)
        if (hasErrors(c))
            return true;
    return false;
}

namespace {

Json optional(const std::optional<std::string>& v) {
    return v ? Json(*v) : Json(nullptr);
}

}  // namespace

Json toJson(const DeviceReport& r) {
    Json j;
    j["path"] = r.path;
    j["kind"] = r.kind;
    j["type"] = r.type;
    j["children"] = Json::array();
    for (const DeviceReport& c : r.children)
        j["children"].push_back(toJson(c));
    if (r.partitions) {
        j["partitions"] = Json::array();
        for (const PartitionReport& p : *r.partitions) {
            Json pj;
            pj["path"] = p.path;
            pj["number"] = p.number;
            pj["start"] = p.start;
            pj["sectors"] = p.sectors;
            pj["sector_size"] = p.sectorSize;
            pj["major"] = p.major;
            pj["minor"] = p.minor;
            j["partitions"].push_back(pj);
        }
    } else {
        j["partitions"] = nullptr;
    }
    j["whole_disk"] = optional(r.wholeDisk);
    j["map"] = optional(r.map);
    j["wwid"] = optional(r.wwid);
    j["fc_node_name"] = optional(r.fcNodeName);
    j["active_path"] = optional(r.activePath);
    j["errors"] = Json::array();
    for (const DeviceReport::Problem& p : r.errors)
        j["errors"].push_back(p.what + ": " + p.text);
    return j;
}

Json toJson(const std::vector<DeviceReport>& reports) {
    Json devices = Json::array();
    for (const DeviceReport& r : reports)
        devices.push_back(toJson(r));
    Json j;
    j["devices"] = devices;
    return j;
}

namespace {

// The value of a field for people: the answer, its error, or "-".
std::string field(const DeviceReport& r, const std::string& what,
                  const std::optional<std::string>& value) {
    if (const std::string* e = r.errorOf(what))
        return "error: " + *e;
    if (!value)
        return "-";
    return value->empty() ? "(none)" : *value;
}

}  // namespace

std::string showText(const DeviceReport& r) {
    std::string out = r.path + "\n";
    // A path that names no device has nothing else to show.
    if (const std::string* e = r.errorOf("device"))
        return out + Table({"  error:", *e}).render();
    Table t({"  kind:", r.kind + " (" + std::to_string(r.type) + ")"});
    std::string children;
    for (const DeviceReport& c : r.children)
        children += (children.empty() ? "" : ", ") + c.path + " (" + c.kind + ")";
    t.add({"  children:", children.empty() ? "-" : children});
    std::string parts = "-";
    if (const std::string* e = r.errorOf("partitions"))
        parts = "error: " + *e;
    else if (r.partitions)
        parts = std::to_string(r.partitions->size());
    t.add({"  partitions:", parts});
    t.add({"  whole disk:", field(r, "whole disk", r.wholeDisk)});
    t.add({"  map:", field(r, "map", r.map)});
    t.add({"  wwid:", field(r, "wwid", r.wwid)});
    t.add({"  fc node name:", field(r, "fc node name", r.fcNodeName)});
    t.add({"  active path:", field(r, "active path", r.activePath)});
    for (const DeviceReport& c : r.children)
        for (const DeviceReport::Problem& p : c.errors)
            t.add({"  error:", c.path + ": " + p.what + ": " + p.text});
    out += t.render();
    if (r.partitions && !r.partitions->empty()) {
        Table pt({"    PATH", "NR", "START", "SECTORS", "SECTOR-SIZE", "MAJ:MIN"});
        for (const PartitionReport& p : *r.partitions)
            pt.add({"    " + p.path, std::to_string(p.number), std::to_string(p.start),
                    std::to_string(p.sectors), std::to_string(p.sectorSize),
                    std::to_string(p.major) + ":" + std::to_string(p.minor)});
        out += pt.render();
    }
    return out;
}

}  // namespace zodisk
