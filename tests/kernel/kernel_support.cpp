// SPDX-License-Identifier: LGPL-2.1-or-later
#include "kernel_support.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "ZoDeviceTree.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace zk {

std::string run(const std::string& command, int* status, double* seconds) {
    auto start = std::chrono::steady_clock::now();
    std::string out;
    FILE* p = popen((command + " 2>/tmp/zk-stderr").c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = p ? pclose(p) : -1;
    if (status) *status = rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    if (seconds)
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
}

std::string runOk(const std::string& command) {
    int status = 0;
    std::string out = run(command, &status);
    EXPECT_EQ(status, 0) << "command: " << command << "\nstdout: " << out
                         << "\nstderr: " << readFile("/tmp/zk-stderr");
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.close();
    return !out.fail();
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!zo_str::trimmed(line).empty()) out.push_back(line);
    return out;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool waitFor(const std::function<bool()>& cond) {
    for (int i = 0; i < 120; ++i, usleep(500000))
        if (cond()) return true;
    return cond();
}

nlohmann::json zodiskJson(const std::string& args, int* status) {
    std::string out = run("/zo/bin/zodisk --json " + args, status);
    nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << "zodisk --json " << args << ": " << out
                                     << readFile("/tmp/zk-stderr");
    return doc;
}

void measure(const std::string& what, const std::string& figures) {
    std::printf("[measure] %s: %s\n", what.c_str(), figures.c_str());
    std::fflush(stdout);
}

::testing::AssertionResult same(const std::string& what, const std::string& peer,
                                const std::string& peerAnswer, const std::string& library) {
    std::printf("[compare] %s | %s: %s | library: %s\n", what.c_str(), peer.c_str(),
                peerAnswer.c_str(), library.c_str());
    std::fflush(stdout);
    if (peerAnswer == library) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << what << ": " << peer << " says \"" << peerAnswer
                                         << "\", the library says \"" << library << "\"";
}

std::vector<LsblkRow> lsblk(const std::string& options) {
    std::vector<LsblkRow> rows;
    nlohmann::json doc = nlohmann::json::parse(
        runOk("lsblk -J -l -o NAME,KNAME,TYPE,PKNAME " + options), nullptr, false);
    auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : ""; };
    std::set<std::string> seen;
    for (const nlohmann::json& d : doc.value("blockdevices", nlohmann::json::array()))
        if (seen.insert(text(d["kname"])).second)  // a map, under each of its paths
            rows.push_back({text(d["name"]), text(d["kname"]), text(d["type"]), text(d["pkname"])});
    return rows;
}

std::vector<std::vector<std::string>> multipathLl(const std::string& map) {
    std::vector<std::vector<std::string>> paths;
    for (const std::string& l : lines(runOk("/usr/sbin/multipath -ll " + map))) {
        std::vector<std::string> w = words(l);
        for (size_t i = 0; i < w.size(); ++i)
            if (std::count(w[i].begin(), w[i].end(), ':') == 3 && i + 5 < w.size()) {
                paths.emplace_back(w.begin() + static_cast<long>(i), w.end());
                break;
            }
    }
    return paths;
}

namespace {
// Target of the link at path, "" when it is none.
std::string readLink(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}
std::string lastName(const std::string& path) { return path.substr(path.rfind('/') + 1); }
// "major:minor" of a block device node, "" when it is none.
std::string majMin(const std::string& devPath) {
    struct stat st;
    if (stat(devPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}
std::string join(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : separator) + s;
    return out;
}
}  // namespace

std::string kernelName(const std::string& devPath) {
    std::string mm = majMin(devPath);
    return mm.empty() ? "" : lastName(readLink("/sys/dev/block/" + mm));
}

std::string pathStates(const std::string& map, bool peer) {
    std::vector<std::string> out;
    if (peer) {
        for (const auto& w : multipathLl(map)) out.push_back(w[1] + " " + w[3] + " " + w[5]);
    } else {
        // multipath -ll's last column tells only "offline" from the rest
        // ("running"): a transport-offline path is "running" there.
        nlohmann::json show = zodiskJson("show /dev/mapper/" + map);
        for (const auto& p : show["devices"][0]["multipath"]["paths"]) {
            nlohmann::json state = p["state"];
            if (state.is_string() && state != "offline" && !state.get<std::string>().empty()) state = "running";
            out.push_back(p["name"].get<std::string>() + " " + p["dm_state"].dump() + " " + state.dump());
        }
    }
    std::string text = joinSorted(out);
    text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
    return text;
}

bool checkNames(const std::string& device, int* status) {
    nlohmann::json doc = zodiskJson("check", status);
    static std::string told;
    if (*status != 0 && doc["findings"].dump() != told)
        std::printf("zodisk check, status %d: %s\n", *status, (told = doc["findings"].dump()).c_str());
    for (const auto& f : doc["findings"])
        for (const auto& d : f["devices"])
            if (d == device) return true;
    return false;
}

std::string hctl(const std::string& kname) {
    return lastName(readLink("/sys/block/" + kname + "/device"));
}

std::vector<std::string> scsiDebugDisks() {
    std::vector<std::string> names;
    for (const std::string& name : listDir("/sys/block"))
        if (name.compare(0, 2, "sd") == 0 &&
            zo_str::trimmed(readFile("/sys/block/" + name + "/device/model")) == "scsi_debug")
            names.push_back(name);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return hctl(a) < hctl(b); });
    return names;
}

std::string kindName(int type) {
    static const std::map<int, std::string> names = {
        {0, "NONE"}, {1, "SCSI_DISK"}, {2, "MPIO_DISK"}, {7, "XVD_DISK"}, {8, "NVME_DISK"}};
    auto it = names.find(type);
    return it != names.end() ? it->second : "TYPE_" + std::to_string(type);
}

// The kind lsblk and sysfs give a block device (see compareKindsOfAllDevices).
static std::string peerKind(const std::string& kname) {
    std::string sys = "/sys/class/block/" + kname;
    std::string disk = kname;
    std::string target = readLink(sys);
    if (exists(sys + "/partition") && !target.empty())  // the disk: the directory above
        disk = lastName(target.substr(0, target.rfind('/')));
    std::string dsys = "/sys/class/block/" + disk;
    std::string uuid = readFile(dsys + "/dm/uuid");
    if (uuid.compare(0, 6, "mpath-") == 0) return "MPIO_DISK";
    // A kpartx partition map ("partN-mpath-<wwid>", lsblk TYPE=part) is a
    // partition of its map, not a device of any kind of its own: the map's
    // getPartitions lists it.
    if (disk.compare(0, 4, "nvme") == 0) return "NVME_DISK";
    if (exists(dsys + "/device/scsi_disk")) return "SCSI_DISK";
    return "NONE";
}

// "N:start+length@major:minor name" of each record, joined by ", ".
static std::string formatParts(const std::list<ZoPartInfo>& parts) {
    std::vector<std::string> items;
    for (const ZoPartInfo& p : parts) {
        EXPECT_EQ(p.sectorSize, 512u) << p.partName;
        items.push_back(std::to_string(p.partNumber) + ":" + std::to_string(p.startSector) + "+" +
                        std::to_string(p.numSectors) + "@" + std::to_string(p.major) + ":" +
                        std::to_string(p.minor) + " " + kernelName(p.partName));
    }
    return join(items, ", ");
}

std::string sysfsParts(const std::string& disk) {
    std::vector<std::pair<int, std::string>> items;
    std::string base = "/sys/class/block/" + disk + "/";
    for (const std::string& name : listDir(base)) {
        std::string p = base + name + "/", n = readFile(p + "partition");
        if (n.empty()) continue;  // no partition
        items.emplace_back(std::stoi(n), n + ":" + readFile(p + "start") + "+" +
                                  readFile(p + "size") + "@" + readFile(p + "dev") + " " + name);
    }
    return joinSecond(std::move(items));
}

std::string knameOf(const SP<ZoDevice>& dev) {
    return dev ? kernelName(dev->getDevicePath()) : "";
}

std::string knames(const std::list<SP<ZoDevice>>& devs) {
    std::vector<std::string> names;
    for (const SP<ZoDevice>& d : devs) names.push_back(knameOf(d));
    return joinSorted(names);
}

std::string joinSorted(std::vector<std::string> items) {
    std::sort(items.begin(), items.end());
    return join(items, " ");
}

std::string joinSecond(std::vector<std::pair<int, std::string>> items) {
    std::sort(items.begin(), items.end());
    std::vector<std::string> texts;
    for (auto& i : items) texts.push_back(i.second);
    return join(texts, ", ");
}

std::vector<LsblkRow> compareKindsOfAllDevices() {
    std::vector<LsblkRow> rows = lsblk();
    for (const LsblkRow& r : rows) {
        std::string path = "/dev/" + r.kname;
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
        EXPECT_TRUE(same("kind of " + path + (r.name != r.kname ? " (" + r.name + ")" : ""),
                         "lsblk TYPE=" + r.type + "/sysfs", peerKind(r.kname),
                         kindName(dev ? dev->getType() : 0)));
        EXPECT_EQ(!dev, err.IsError()) << path << ": " << err.AsString();
        if (!dev) {
            EXPECT_FALSE(ZoDeviceTree::getParentDevice(path.c_str(), &err)) << path;
        }
    }
    return rows;
}

int compareDisksOfPartitions(const std::string& prefix) {
    int compared = 0;
    for (const LsblkRow& r : lsblk()) {
        if (r.type != "part" || r.kname.compare(0, prefix.size(), prefix) != 0) continue;
        ++compared;
        CLuError err;
        SP<ZoDevice> dev = ZoDeviceTree::getDevice(("/dev/" + r.kname).c_str(), &err);
        auto* part = dev ? static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"))
                         : nullptr;
        EXPECT_TRUE(part) << r.kname << ": " << err.AsString();
        EXPECT_TRUE(same("disk of /dev/" + r.kname, "lsblk PKNAME", r.pkname,
                         part ? knameOf(part->getParentDevice(&err)) : "(no device)"));
        SP<ZoDevice> top = ZoDeviceTree::getParentDevice(("/dev/" + r.pkname).c_str(), &err);
        EXPECT_TRUE(same("tree parent of /dev/" + r.pkname, "lsblk (no holder)", r.pkname,
                         knameOf(top)));
    }
    return compared;
}

std::string libraryParts(const std::string& path, bool refresh) {
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
    if (!dev) return "no device: " + err.AsString();
    auto* part = static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
    if (!part) return "no ZoDevicePartIface";
    std::list<ZoPartInfo> parts;
    CLuError perr;
    int rc = part->getPartitions(parts, &perr, refresh);
    if (rc < 0) return "getPartitions " + std::to_string(rc) + ": " + perr.AsString();
    return formatParts(parts);
}

int comparePartitions(const std::vector<std::string>& disks) {
    int withParts = 0;
    for (const std::string& d : disks) {
        std::string sys = sysfsParts(d);
        if (sys.empty()) continue;
        ++withParts;
        EXPECT_TRUE(same("partitions of /dev/" + d, "sysfs partition/start/size/dev", sys,
                         libraryParts("/dev/" + d, false)));
    }
    return withParts;
}

std::string wwidOf(const std::string& path, std::string* wwid) {
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), nullptr);
    auto* info =
        dev ? static_cast<ZoDeviceDiskInfoIface*>(dev->getInterface("ZoDeviceDiskInfoIface")) : nullptr;
    return info ? info->GetDeviceWwid(path, *wwid).AsString() : "no device";
}

std::list<SP<ZoDevice>> compareAllDevices(ZoDevice::TYPE type, const std::string& peer) {
    std::vector<std::string> names;
    for (const LsblkRow& r : lsblk())
        if (r.type != "part" && peerKind(r.kname) == kindName(type)) names.push_back(r.kname);
    CLuError err;
    std::list<SP<ZoDevice>> all = ZoDeviceTree::getAllDevices(type, &err);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(same("getAllDevices(" + kindName(type) + ")", peer, joinSorted(names), knames(all)));
    for (const SP<ZoDevice>& d : all) EXPECT_EQ(d->getType(), type) << d->getDevicePath();
    return all;
}

}  // namespace zk
