// list, show, tree, wwid: what the device tree sees.
#include "output.h"
#include "report.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"

#include <algorithm>

namespace zodisk {

namespace {

const ZoDevice::TYPE kAllKinds[] = {ZoDevice::SCSI_DISK, ZoDevice::MPIO_DISK, ZoDevice::XVD_DISK,
                                    ZoDevice::NVME_DISK};

// The devices of one kind; a failed enumeration is reported and counted.
std::list<SP<ZoDevice>> devicesOf(ZoDevice::TYPE type, bool* failed) {
    Activity activity(kindName(type) + " devices");
    CLuError err;
    std::list<SP<ZoDevice>> devices = ZoDeviceTree::getAllDevices(type, &err);
    if (err.IsError()) {
        Output::error(kindName(type) + " devices: " + err.AsString());
        *failed = true;
    }
    return devices;
}

// Every answer that failed, one line each on standard error.
void reportErrors(const DeviceReport& r) {
    for (const DeviceReport::Problem& p : r.errors)
        Output::error(r.path + ": " + p.what + ": " + p.text);
    for (const DeviceReport& c : r.children)
        reportErrors(c);
}

std::string orDash(const std::optional<std::string>& v) {
    return v && !v->empty() ? *v : "-";
}

std::string childList(const DeviceReport& r) {
    std::string s;
    for (const DeviceReport& c : r.children)
        s += (s.empty() ? "" : ",") + c.path;
    return s.empty() ? "-" : s;
}

int finish(const std::vector<DeviceReport>& reports, bool failed) {
    for (const DeviceReport& r : reports) {
        reportErrors(r);
        failed = failed || hasErrors(r);
    }
    return failed ? EXIT_FAILED : EXIT_OK;
}

// Rows of the tree: a device, then its children, then its partitions.
void treeRows(const DeviceReport& r, const std::string& prefix, const std::string& branch,
              Table& t) {
    t.add({prefix + branch + r.path, r.kind, "", "", "", orDash(r.wwid)});
    std::string inner = prefix + (branch.empty() ? "" : branch == "└─" ? "  " : "│ ");
    size_t total = r.children.size() + (r.partitions ? r.partitions->size() : 0);
    size_t i = 0;
    for (const DeviceReport& c : r.children)
        treeRows(c, inner, ++i == total ? "└─" : "├─", t);
    if (r.partitions)
        for (const PartitionReport& p : *r.partitions)
            t.add({inner + (++i == total ? "└─" : "├─") + p.path, "part",
                   std::to_string(p.major) + ":" + std::to_string(p.minor),
                   std::to_string(p.start), std::to_string(p.sectors), ""});
}

}  // namespace

int runList(const Options& opts, Output& out) {
    bool failed = false;
    std::vector<DeviceReport> reports;
    for (ZoDevice::TYPE type : kAllKinds) {
        if (!opts.kind.empty() && opts.kind != kindName(type))
            continue;
        for (const SP<ZoDevice>& dev : devicesOf(type, &failed))
            reports.push_back(describe(dev));
    }
    if (opts.json) {
        out.json(toJson(reports));
    } else {
        Table t({"PATH", "KIND", "CHILDREN", "PARTS", "MAP", "WWID"});
        for (const DeviceReport& r : reports)
            t.add({r.path, r.kind, childList(r),
                   r.partitions ? std::to_string(r.partitions->size()) : "-", orDash(r.map),
                   orDash(r.wwid)});
        out.text(t.render());
    }
    return finish(reports, failed);
}

int runShow(const Options& opts, Output& out) {
    bool failed = false;
    std::vector<DeviceReport> reports;
    for (const std::string& path : opts.paths) {
        Activity activity("lookup of " + path);
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
        if (dev) {
            reports.push_back(describe(dev));
            continue;
        }
        DeviceReport none;
        none.path = path;
        none.kind = kindName(ZoDevice::NONE);
        none.errors.push_back({"device", err.IsError() ? err.AsString() : "not found"});
        reports.push_back(none);
    }
    if (opts.json) {
        out.json(toJson(reports));
    } else {
        std::string text;
        for (const DeviceReport& r : reports)
            text += (text.empty() ? "" : "\n") + showText(r);
        out.text(text);
    }
    return finish(reports, failed);
}

int runTree(const Options& opts, Output& out) {
    bool failed = false;
    std::list<SP<ZoDevice>> maps = devicesOf(ZoDevice::MPIO_DISK, &failed);
    std::vector<DeviceReport> reports;
    for (ZoDevice::TYPE type : kAllKinds) {
        std::list<SP<ZoDevice>> devices =
            type == ZoDevice::MPIO_DISK ? maps : devicesOf(type, &failed);
        for (const SP<ZoDevice>& dev : devices) {
            // A path of a map is shown under its map only.
            bool underMap = false;
            if (type == ZoDevice::SCSI_DISK)
                for (const SP<ZoDevice>& map : maps) {
                    std::list<SP<ZoDevice>> children = map->getChildren();
                    if (std::any_of(children.begin(), children.end(), ZoDeviceCompare(dev)))
                        underMap = true;
                }
            if (!underMap)
                reports.push_back(describe(dev));
        }
    }
    if (opts.json) {
        out.json(toJson(reports));
    } else {
        Table t({"NAME", "KIND", "MAJ:MIN", "START", "SECTORS", "WWID"});
        for (const DeviceReport& r : reports)
            treeRows(r, "", "", t);
        out.text(t.render());
    }
    return finish(reports, failed);
}

int runWwid(const Options& opts, Output& out) {
    bool failed = false;
    Json list = Json::array();
    Table t({"PATH", "WWID"});
    std::string lines;
    for (const std::string& path : opts.paths) {
        Activity activity("WWID of " + path);
        Json entry;
        entry["path"] = path;
        entry["wwid"] = nullptr;
        entry["errors"] = Json::array();
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
        std::string problem;
        auto* info =
            dev ? static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface"))
                : nullptr;
        if (!dev) {
            problem = err.IsError() ? err.AsString() : "not found";
        } else if (!info) {
            problem = kindName(dev->getType()) + " devices have no WWID";
        } else {
            std::string wwid;
            err = info->GetDeviceWwid(path, wwid);
            if (err.IsError()) {
                problem = err.AsString();
            } else {
                entry["wwid"] = wwid;
                t.add({path, wwid.empty() ? "-" : wwid});
                lines += wwid + "\n";
            }
        }
        if (!problem.empty()) {
            Output::error(path + ": " + problem);
            entry["errors"].push_back(problem);
            failed = true;
        }
        list.push_back(entry);
    }
    if (opts.json) {
        Json doc;
        doc["wwids"] = list;
        out.json(doc);
    } else {
        out.text(opts.paths.size() == 1 ? lines : t.render());
    }
    return failed ? EXIT_FAILED : EXIT_OK;
}

}  // namespace zodisk
