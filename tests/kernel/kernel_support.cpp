#include "kernel_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "ZoDeviceTree.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace zk {

std::string run(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen((command + " 2>/tmp/zk-stderr").c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
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
    if (!in) return "";
    std::stringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
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
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!trim(line).empty()) out.push_back(line);
    return out;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

std::string timed(const std::string& command, int* status, double* seconds) {
    auto start = std::chrono::steady_clock::now();
    std::string out = run(command, status);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return out;
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
        runOk("lsblk -J -l -b -o NAME,KNAME,TYPE,MAJ:MIN,SIZE,PKNAME " + options), nullptr, false);
    auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : ""; };
    for (const nlohmann::json& d : doc.value("blockdevices", nlohmann::json::array()))
        rows.push_back({text(d["name"]), text(d["kname"]), text(d["type"]), text(d["maj:min"]),
                        text(d["pkname"]), d["size"].is_number() ? d["size"].get<uint64_t>() : 0});
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

std::string kernelName(const std::string& devPath) {
    std::string mm = majMin(devPath);
    if (mm.empty()) return "";
    std::string link = "/sys/dev/block/" + mm;
    char buf[4096];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    std::string target = buf;
    return target.substr(target.rfind('/') + 1);
}

std::string majMin(const std::string& devPath) {
    struct stat st;
    if (stat(devPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

std::string hctl(const std::string& kname) {
    std::string target;
    char buf[4096];
    std::string link = "/sys/block/" + kname + "/device";
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = 0;
    target = buf;
    return target.substr(target.rfind('/') + 1);
}

std::vector<std::string> scsiDebugDisks() {
    std::vector<std::pair<std::string, std::string>> found;
    for (const std::string& name : listDir("/sys/block")) {
        if (name.compare(0, 2, "sd") != 0) continue;
        if (trim(readFile("/sys/block/" + name + "/device/model")) != "scsi_debug") continue;
        found.emplace_back(hctl(name), name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto& f : found) names.push_back(f.second);
    return names;
}

std::string kindName(int type) {
    switch (type) {
    case 0: return "NONE";
    case 1: return "SCSI_DISK";
    case 2: return "MPIO_DISK";
    case 7: return "XVD_DISK";
    case 8: return "NVME_DISK";
    default: return "TYPE_" + std::to_string(type);
    }
}

std::string peerKind(const std::string& kname) {
    std::string sys = "/sys/class/block/" + kname;
    std::string disk = kname;
    if (exists(sys + "/partition")) {
        // The whole disk is the directory above the partition's.
        char buf[4096];
        ssize_t n = readlink(sys.c_str(), buf, sizeof buf - 1);
        if (n > 0) {
            buf[n] = 0;
            std::string t = buf;
            t = t.substr(0, t.rfind('/'));
            disk = t.substr(t.rfind('/') + 1);
        }
    }
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

}  // namespace zk

namespace zk {

std::string formatParts(const std::list<ZoPartInfo>& parts) {
    std::vector<std::string> items;
    for (const ZoPartInfo& p : parts) {
        EXPECT_EQ(p.sectorSize, 512u) << p.partName;
        items.push_back(std::to_string(p.partNumber) + ":" + std::to_string(p.startSector) + "+" +
                        std::to_string(p.numSectors) + "@" + std::to_string(p.major) + ":" +
                        std::to_string(p.minor) + " " + kernelName(p.partName));
    }
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
    return out;
}

std::string sysfsParts(const std::string& disk) {
    std::vector<std::pair<int, std::string>> items;
    std::string base = "/sys/class/block/" + disk + "/";
    for (const std::string& name : listDir(base)) {
        std::string p = base + name + "/";
        if (!exists(p + "partition")) continue;
        int n = std::atoi(readFile(p + "partition").c_str());
        items.emplace_back(n, std::to_string(n) + ":" + readFile(p + "start") + "+" +
                                  readFile(p + "size") + "@" + readFile(p + "dev") + " " + name);
    }
    std::sort(items.begin(), items.end());
    std::string out;
    for (auto& i : items) out += (out.empty() ? "" : ", ") + i.second;
    return out;
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
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : " ") + s;
    return out;
}

std::string sgVpdNaaWwid(const std::string& devPath) {
    std::vector<std::string> ls = lines(runOk("/usr/bin/sg_vpd -p di " + devPath));
    bool lu = false, naa = false;
    for (const std::string& raw : ls) {
        std::string l = trim(raw);
        if (l.rfind("Addressed logical unit", 0) == 0) { lu = true; continue; }
        if (!lu) continue;
        if (raw.find_first_not_of(' ') <= 2 && l.back() == ':' &&
            l.find("designator") == std::string::npos)
            break;  // the next association (target port, target device)
        if (l.find("designator type: NAA") != std::string::npos) { naa = true; continue; }
        if (naa && l.rfind("0x", 0) == 0) {
            std::string hex = l.substr(2);
            for (char& c : hex) c = std::tolower(static_cast<unsigned char>(c));
            return "3" + hex;
        }
    }
    return "";
}

std::vector<LsblkRow> compareKindsOfAllDevices() {
    std::vector<LsblkRow> seen;
    for (const LsblkRow& r : lsblk()) {
        bool dup = false;
        for (const LsblkRow& s : seen) dup |= s.kname == r.kname;
        if (dup) continue;
        seen.push_back(r);
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
    return seen;
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

namespace {
// The library's partitions of the device at path into parts; "" on
// success, else what failed.
std::string partitionsOf(const std::string& path, bool refresh, std::list<ZoPartInfo>& parts) {
    CLuError err;
    SP<ZoDevice> dev = ZoDeviceTree::getDevice(path.c_str(), &err);
    if (!dev) return "no device: " + err.AsString();
    auto* part = static_cast<ZoDevicePartIface*>(dev->getInterface("ZoDevicePartIface"));
    if (!part) return "no ZoDevicePartIface";
    CLuError perr;
    int rc = part->getPartitions(parts, &perr, refresh);
    if (rc < 0) return "getPartitions " + std::to_string(rc) + ": " + perr.AsString();
    return "";
}
}  // namespace

std::string libraryParts(const std::string& path, bool refresh) {
    std::list<ZoPartInfo> parts;
    std::string failure = partitionsOf(path, refresh, parts);
    return failure.empty() ? formatParts(parts) : failure;
}

}  // namespace zk
