// SPDX-License-Identifier: LGPL-2.1-or-later
// list, tree, wwid: what the host inventory holds, and the WWID of a disk.
#include "columns.h"
#include "output.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoDeviceTree.h"
#include "ZoHost.h"

#include <algorithm>

namespace zodisk {

namespace {

const std::vector<const char*> kListColumns = {"PATH", "KIND", "MAJ:MIN", "SIZE", "RO",
                                               "TYPE", "TRAN", "MAP",     "WWID"};
const std::vector<const char*> kTreeColumns = {"NAME", "KIND",  "MAJ:MIN", "SIZE", "RO",
                                               "TYPE", "STATE", "PSTATE",  "WWID"};

// The devices named on the command line, in order; each one not found is
// reported. *status is the exit status for the names.
std::vector<size_t> named(const ZoHostInventory& inv, const std::vector<std::string>& names,
                          int* status) {
    std::vector<size_t> found;
    for (const std::string& name : names) {
        std::string why;
        size_t i = findNamed(inv, name, &why);
        if (i == ZoBlockDevice::npos)
            Output::error(name + ": " + why);
        else
            found.push_back(i);
    }
    *status = namedStatus(names.size(), names.size() - found.size());
    return found;
}

// What lsblk leaves out of a listing of the whole host unless -a is given:
// RAM disks, and loop devices of size 0 that have no backing file.
bool hiddenByDefault(const ZoHostInventory& inv, size_t i) {
    const ZoBlockDevice& d = inv.at(i);
    if (d.major == 1)
        return true;
    return d.type == ZoBlockType::LOOP && d.sectors == 0 &&
           !ZoHost::current()->exists("/sys/block/" + d.name + "/loop/backing_file");
}

// A device with what it is built from (a map's paths, a namespace's NVMe
// paths, a stack's lower devices) and its partitions below it. `seen` holds
// the devices on the way from the root, so that no cycle of holders is
// followed.
Node treeOf(const ZoHostInventory& inv, size_t i, std::vector<size_t>& seen) {
    Node n{i, {}};
    seen.push_back(i);
    const ZoBlockDevice& d = inv.at(i);
    std::vector<size_t> below;
    for (size_t s : d.slaves)
        if (s != d.whole)
            below.push_back(s);
    below.insert(below.end(), d.partitions.begin(), d.partitions.end());
    // A namespace of several NVMe controllers: its path devices, as a map's
    // paths are below the map.
    for (size_t p : headPaths(inv, i))
        n.children.push_back(Node{i, {}, p});
    for (size_t c : below)
        if (std::find(seen.begin(), seen.end(), c) == seen.end())
            n.children.push_back(treeOf(inv, c, seen));
    seen.pop_back();
    return n;
}

int print(const Printer& p, const ZoHostInventory& inv, const std::vector<Node>& nodes,
          Output& out) {
    if (p.mode == Printer::JSON)
        p.writeJson(inv, nodes, out);
    else
        out.text(p.text(inv, nodes));
    return EXIT_OK;
}

bool configure(Printer& p, const Options& opts, const std::vector<const char*>& defaults) {
    std::string error;
    if (p.configure(opts, defaults, &error))
        return true;
    Output::error(error + "; see 'zodisk --help'");
    return false;
}

// Why a device that is neither a SCSI disk nor a map has no WWID to print.
std::string noWwid(const ZoBlockDevice& d) {
    if (d.kind == ZoDevice::NVME_DISK)
        return "the kernel holds no WWID for this NVMe namespace (it has no wwid attribute)";
    return "has no WWID: it is " + deviceInWords(d) +
           ", and only SCSI disks, multipath maps and NVMe namespaces have one";
}

}  // namespace

int runList(const Options& opts, Output& out) {
    Printer p;
    if (!configure(p, opts, kListColumns))
        return EXIT_USAGE;
    ZoHostInventory inv;
    if (!readInventory(&inv, p.facts()))
        return EXIT_FAILED;
    int status = EXIT_OK;
    std::vector<Node> nodes;
    if (!opts.paths.empty()) {
        for (size_t i : named(inv, opts.paths, &status))
            nodes.push_back({i, {}});
    } else {
        for (size_t i = 0; i < inv.devices().size(); ++i)
            if ((opts.kind.empty() || opts.kind == kindOf(inv.at(i))) &&
                (opts.all || !hiddenByDefault(inv, i)))
                nodes.push_back({i, {}});
    }
    print(p, inv, nodes, out);
    return status;
}

int runTree(const Options& opts, Output& out) {
    Printer p;
    if (!configure(p, opts, kTreeColumns))
        return EXIT_USAGE;
    ZoHostInventory inv;
    if (!readInventory(&inv, p.facts() | ZoInventoryOptions::NVME_PATHS))
        return EXIT_FAILED;
    int status = EXIT_OK;
    std::vector<size_t> roots = opts.paths.empty() ? inv.roots() : named(inv, opts.paths, &status);
    std::vector<Node> nodes;
    std::vector<size_t> seen;
    for (size_t r : roots)
        if (opts.all || !opts.paths.empty() || !hiddenByDefault(inv, r))
            nodes.push_back(treeOf(inv, r, seen));
    print(p, inv, nodes, out);
    return status;
}

int runWwid(const Options& opts, Output& out) {
    ZoHostInventory inv;
    if (!readInventory(&inv, ZoInventoryOptions::IDENTITY))
        return EXIT_FAILED;
    bool failed = false;
    Json list = Json::array();
    Table t({"PATH", "WWID"});
    std::string lines;
    for (const std::string& path : opts.paths) {
        Json entry{{"path", path}, {"wwid", nullptr}, {"errors", Json::array()}};
        std::string problem, wwid, why;
        size_t i = findNamed(inv, path, &why);
        if (i == ZoBlockDevice::npos) {
            problem = why;
        } else if (!inv.at(i).wwid.empty()) {
            // What the kernel holds answers without a word to the device.
            wwid = inv.at(i).wwid;
        } else if (inv.at(i).kind != ZoDevice::SCSI_DISK && inv.at(i).kind != ZoDevice::MPIO_DISK) {
            problem = noWwid(inv.at(i));
        } else {
            // The kernel holds nothing: ask the device, each path of a map in
            // turn, waiting at most the time-out for each.
            const unsigned seconds = opts.timeout ? opts.timeout : ZoDeviceTree::commandTimeout();
            const ZoBlockDevice& d = inv.at(i);
            std::vector<size_t> nodes{d.partition ? d.whole : i};
            if (d.kind == ZoDevice::MPIO_DISK) nodes = d.slaves;
            bool answered = false;
            for (size_t n : nodes) {
                const std::string& node = inv.at(n).path;
                Activity activity("WWID of " + node);
                ZoResult<std::string> asked = ZoHostInventory::inquireWwid(node, seconds * 1000);
                if (asked) {
                    wwid = *asked;
                    answered = true;
                    break;
                }
                problem += (problem.empty() ? "" : "; ") + (nodes.size() > 1 ? node + ": " : "") +
                           asked.error().AsString();
            }
            if (answered)
                problem.clear();
            else if (problem.empty())
                problem = "no path to ask";
        }
        if (problem.empty()) {
            entry["wwid"] = wwid;
            t.add({path, wwid.empty() ? "-" : wwid});
            lines += wwid + "\n";
        } else {
            Output::error(path + ": " + problem);
            entry["errors"].push_back(problem);
            failed = true;
        }
        list.push_back(entry);
    }
    if (opts.json)
        out.json(Json{{"wwids", list}});
    else
        out.text(opts.paths.size() == 1 ? lines : t.render());
    return failed ? EXIT_FAILED : EXIT_OK;
}

}  // namespace zodisk
