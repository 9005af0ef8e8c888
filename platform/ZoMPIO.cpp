// SPDX-License-Identifier: LGPL-2.1-or-later
// The multipath facade over device-mapper state.
//
// What the kernel shows of a map (all read through ZoHost):
//   /sys/dev/block/MAJ:MIN/dm/uuid   "mpath-<wwid>" for a whole map,
//                                    "part<N>-mpath-<wwid>" for a partition map
//   /sys/dev/block/MAJ:MIN/dm/name   the map's name (its alias, or the WWID)
//   /sys/dev/block/MAJ:MIN/slaves/   the devices under it (paths of a map, the
//                                    whole map under a partition map)
//   /sys/dev/block/MAJ:MIN/holders/  the devices above it (partition maps)
// Partition maps are recognised by their uuid, never by their name: udev
// names them "<map>-part<N>", a manual kpartx "<map><N>".
//
// Every name handed to a shell goes through FXString::ShellQuote.
#include "ZoMPIO.h"

#include "FXString.h"
#include "ZoException.h"
#include "ZoHost.h"
#include "ZoOpCache.h"
#include "ZoProcess.h"
#include "ZoStrings.h"
#include "ZoUdev.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kWholeMapPrefix[] = "mpath-";
const char kMapperDir[] = "/dev/mapper/";
// Polls of "multipathd show daemon" while a reconfiguration runs, and the
// pause between two of them.
const int kReconfigurePolls = 600;
const unsigned long kReconfigurePollMs = 100;
const int kSettleTimeoutSeconds = 120;

using zo_str::startsWith;
using zo_str::trimmed;

[[noreturn]] void fail(const char* function, const std::string& message) {
    throw ZoException(function, message, __FILE__, __LINE__, -1);
}

// The sysfs directory of the block device at path ("/sys/dev/block/MAJ:MIN").
// Returns 0, ENOTBLK when path is something else, or the errno of the stat.
int blockSysDir(ZoHost& host, const std::string& path, std::string* dir, dev_t* devno = nullptr) {
    struct stat st;
    if (int rc = zo_cache::stat(host, path, &st)) return rc;
    if (!S_ISBLK(st.st_mode)) return ENOTBLK;
    *dir = FXString::Format("/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    if (devno) *devno = st.st_rdev;
    return 0;
}

// As blockSysDir, but a path that is no block device is an exception.
std::string requireBlockSysDir(ZoHost& host, const std::string& path, const char* function,
                               dev_t* devno = nullptr) {
    std::string dir;
    if (int rc = blockSysDir(host, path, &dir, devno))
        fail(function, FXString::Format("%s is not a block device: %s", path.c_str(),
                                        std::strerror(rc)));
    return dir;
}

std::string requireAttr(ZoHost& host, const std::string& path, const char* function) {
    std::string value;
    if (int rc = host.readAttr(path, &value))
        fail(function, FXString::Format("Unable to read %s: %s", path.c_str(), std::strerror(rc)));
    return value;
}

// The node under which a map is addressed: "/dev/mapper/<name>", or
// "/dev/<kernel name>" when udev made no mapper node.
std::string mapNode(ZoHost& host, const std::string& kernelName, const std::string& name) {
    std::string node = kMapperDir + name;
    struct stat st;
    if (!name.empty() && name.find('/') == std::string::npos && zo_cache::stat(host, node, &st) == 0)
        return node;
    return "/dev/" + kernelName;
}

// "/dev/<name>" of a sysfs block device name (sysfs writes '/' as '!').
std::string devNodeOf(std::string kernelName) {
    std::replace(kernelName.begin(), kernelName.end(), '!', '/');
    return "/dev/" + kernelName;
}

// The minor number of a "dm-N" kernel name, or -1.
long dmIndex(const std::string& kernelName) {
    if (!startsWith(kernelName, "dm-") || kernelName.size() == 3) return -1;
    char* end = nullptr;
    long n = std::strtol(kernelName.c_str() + 3, &end, 10);
    return (*end == '\0' && n >= 0) ? n : -1;
}

struct Run {
    int rc = 0;
    std::string out;
    std::string err;
};

Run run(const std::string& command) {
    Run r;
    r.rc = ZoProcess::system(command.c_str(), &r.out, &r.err, 0, false);
    return r;
}

void setError(CLuError* err, const CLuError& value) {
    if (err) *err = value;
}

// The state word of "multipathd show daemon" ("pid 1234 idle"), or "" when
// the daemon did not answer.
std::string daemonState() {
    Run r = run("multipathd show daemon");
    if (r.rc != 0) return std::string();
    unsigned long pid = 0;
    char state[64] = {0};
    if (std::sscanf(r.out.c_str(), " pid %lu %63s", &pid, state) != 2) return std::string();
    return state;
}

// "0 <length> linear <maj>:<min> <start>": the first line of a partition
// map's table. True and the numbers when it has that shape.
bool parseLinearTable(const std::string& table, unsigned long long* length, unsigned* major,
                      unsigned* minor, unsigned long long* start) {
    unsigned long long first = 0;
    char target[32] = {0};
    if (std::sscanf(table.c_str(), "%llu %llu %31s %u:%u %llu", &first, length, target, major,
                    minor, start) != 6)
        return false;
    return first == 0 && std::strcmp(target, "linear") == 0;
}

// The nodes of the whole multipath maps among the block devices named
// (kernel names), ordered by minor. Other names are skipped without reading
// them, which keeps a host with thousands of paths cheap.
std::list<std::string> wholeMapNodes(ZoHost& host, const std::vector<std::string>& names,
                                     const char* fn) {
    // Device-mapper disks are always "dm-<minor>".
    std::vector<std::pair<long, std::string>> maps;
    for (const std::string& name : names) {
        long index = dmIndex(name);
        if (index < 0) continue;
        std::string uuid;
        int rc = host.readAttr("/sys/block/" + name + "/dm/uuid", &uuid);
        if (rc == ENOENT) continue;  // removed while we looked
        if (rc != 0)
            fail(fn, FXString::Format("Unable to read /sys/block/%s/dm/uuid: %s", name.c_str(),
                                      std::strerror(rc)));
        if (!zo_mpio::isWholeMapUuid(uuid)) continue;
        maps.emplace_back(index, name);
    }
    std::sort(maps.begin(), maps.end());

    std::list<std::string> result;
    for (const auto& m : maps) {
        std::string mapName = requireAttr(host, "/sys/block/" + m.second + "/dm/name", fn);
        result.push_back(mapNode(host, m.second, mapName));
    }
    return result;
}

}  // namespace

bool zo_mpio::isWholeMapUuid(const std::string& uuid) { return startsWith(uuid, kWholeMapPrefix); }

int zo_mpio::partitionMapNumber(const std::string& uuid) {
    if (!startsWith(uuid, "part")) return 0;
    size_t pos = 4;
    long n = 0;
    while (pos < uuid.size() && uuid[pos] >= '0' && uuid[pos] <= '9' && n < 100000000)
        n = n * 10 + (uuid[pos++] - '0');
    if (pos == 4 || pos >= uuid.size() || uuid[pos] != '-') return 0;
    if (!isWholeMapUuid(uuid.substr(pos + 1))) return 0;
    return static_cast<int>(n);
}

std::list<std::string> zo_mpio::mapsHolding(const std::string& path) {
    const char* fn = "ZoMPIO::mapsHolding";
    ZoHost& host = *ZoHost::current();
    std::string dir;
    struct stat st;
    if (zo_cache::stat(host, path, &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) {
        dir = FXString::Format("/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    } else if (startsWith(path, "/dev/") && path.size() > 5) {
        std::string name = path.substr(5);
        std::replace(name.begin(), name.end(), '/', '!');
        dir = "/sys/class/block/" + name;
    } else {
        return std::list<std::string>();
    }
    std::vector<std::string> holders;
    int rc = host.listDir(dir + "/holders", &holders);
    if (rc == ENOENT || rc == ENOTDIR) return std::list<std::string>();
    if (rc != 0)
        fail(fn, FXString::Format("Unable to list the devices above %s: %s", path.c_str(),
                                  std::strerror(rc)));
    return wholeMapNodes(host, holders, fn);
}

std::list<std::string> ZoMPIO::getMPIODevices(MPIOVendor_Context*, CLuError*) {
    const char* fn = "ZoMPIO::getMPIODevices";
    ZoHost& host = *ZoHost::current();
    std::vector<std::string> names;
    if (int rc = host.listDir("/sys/block", &names))
        fail(fn, FXString::Format("Unable to list /sys/block: %s", std::strerror(rc)));
    return wholeMapNodes(host, names, fn);
}

ZoMPIO::ZoMPIO() : m_log(nullptr) {}

ZoMPIO::~ZoMPIO() = default;

int ZoMPIO::isMPIODevice(const char* path, CLuError* err) {
    if (!path) return 0;
    return isMPIODevice(std::string(path), err);
}

int ZoMPIO::isMPIODevice(const std::string& path, CLuError* err) {
    ZoHost& host = *ZoHost::current();
    std::string dir;
    if (blockSysDir(host, path, &dir) != 0) return 0;
    std::string uuid;
    int rc = zo_cache::readAttr(host, dir + "/dm/uuid", &uuid);
    if (rc == ENOENT || rc == ENOTDIR) return 0;  // not a device-mapper device
    if (rc != 0) {
        setError(err, FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "Unable to read %s/dm/uuid: %s",
                                              dir.c_str(), std::strerror(rc)));
        return 0;
    }
    return zo_mpio::isWholeMapUuid(uuid) ? 1 : 0;
}


std::list<std::string> ZoMPIO::getUnderlyingDevices(MPIOVendor_Context*, const char* path,
                                                    CLuError*) {
    const char* fn = "ZoMPIO::getUnderlyingDevices";
    if (!path) fail(fn, "No device given");
    ZoHost& host = *ZoHost::current();
    std::string dir = requireBlockSysDir(host, path, fn);
    std::vector<std::string> slaves;
    if (int rc = host.listDir(dir + "/slaves", &slaves))
        fail(fn, FXString::Format("Unable to list the devices under %s: %s", path,
                                  std::strerror(rc)));
    // The host's directory order is kept: it is the order the kernel lists.
    std::list<std::string> result;
    for (const std::string& s : slaves) result.push_back(devNodeOf(s));
    return result;
}

int ZoMPIO::setFailIfNoPathDevice(MPIOVendor_Context*, const std::string& path, CLuError* err) {
    const char* fn = "ZoMPIO::setFailIfNoPathDevice";
    ZoHost& host = *ZoHost::current();
    std::string dir = requireBlockSysDir(host, path, fn);
    std::string name = requireAttr(host, dir + "/dm/name", fn);
    Run r = run("dmsetup message " + FXString::ShellQuote(name) + " 0 fail_if_no_path");
    if (r.rc != 0) {
        setError(err, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                              "Failed to set fail_if_no_path on %s: %s",
                                              name.c_str(), trimmed(r.err).c_str()));
        return -1;
    }
    m_log.DebugLvl(fn, 2, "Map %s fails I/O when no path is left", name.c_str());
    return 0;
}

int ZoMPIO::getPartitionDevices(MPIOVendor_Context*, const std::string& path,
                                std::list<ZoPartInfo>& out, bool refresh, CLuError* err) {
    const char* fn = "ZoMPIO::getPartitionDevices";
    ZoHost& host = *ZoHost::current();
    out.clear();
    dev_t mapDev = 0;
    std::string dir = requireBlockSysDir(host, path, fn, &mapDev);
    std::string mapName = requireAttr(host, dir + "/dm/name", fn);

    if (refresh) {
        Run r = run("kpartx -u " + FXString::ShellQuote(kMapperDir + mapName));
        if (r.rc != 0) {
            setError(err, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                                  "Failed to refresh the partition maps of %s: %s",
                                                  mapName.c_str(), trimmed(r.err).c_str()));
            return -1;
        }
        zo_udev::settle(kSettleTimeoutSeconds);
    }

    std::vector<std::string> holders;
    if (int rc = host.listDir(dir + "/holders", &holders))
        fail(fn, FXString::Format("Unable to list the devices above %s: %s", path.c_str(),
                                  std::strerror(rc)));
    std::vector<ZoPartInfo> parts;
    for (const std::string& holder : holders) {
        std::string hdir = "/sys/block/" + holder;
        std::string uuid;
        if (host.readAttr(hdir + "/dm/uuid", &uuid) != 0) continue;  // not a dm device
        const int number = zo_mpio::partitionMapNumber(uuid);
        if (number == 0) continue;  // something else stacked on the map
        std::string name = requireAttr(host, hdir + "/dm/name", fn);
        std::string devText = requireAttr(host, hdir + "/dev", fn);
        unsigned maj = 0, min = 0;
        if (std::sscanf(devText.c_str(), "%u:%u", &maj, &min) != 2)
            fail(fn, FXString::Format("Unreadable device number \"%s\" of %s", devText.c_str(),
                                      hdir.c_str()));

        Run t = run("dmsetup table " + FXString::ShellQuote(name));
        unsigned long long length = 0, start = 0;
        unsigned tmaj = 0, tmin = 0;
        if (t.rc != 0 || !parseLinearTable(t.out, &length, &tmaj, &tmin, &start)) {
            setError(err, FXErrorUtil::ErrorWin32(
                              FX_LOCATION, ZO_ERROR_CODE, "Unable to read the table of %s: %s",
                              name.c_str(), trimmed(t.rc != 0 ? t.err : t.out).c_str()));
            return -1;
        }
        if (makedev(tmaj, tmin) != mapDev) {
            setError(err, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                                  "Partition map %s does not map onto %s",
                                                  name.c_str(), mapName.c_str()));
            return -1;
        }
        ZoPartInfo info;
        std::snprintf(info.partName, sizeof info.partName, "%s",
                      mapNode(host, holder, name).c_str());
        info.partNumber = number;
        info.startSector = start;
        info.numSectors = length;
        info.sectorSize = 512;
        info.major = static_cast<int32_t>(maj);
        info.minor = static_cast<int32_t>(min);
        parts.push_back(info);
    }
    std::stable_sort(parts.begin(), parts.end(), [](const ZoPartInfo& a, const ZoPartInfo& b) {
        return a.partNumber < b.partNumber;
    });
    out.assign(parts.begin(), parts.end());
    m_log.DebugLvl(fn, 2, "%zu partition maps on %s", out.size(), mapName.c_str());
    return 0;
}

bool ZoMPIO::isPartitionDevice(MPIOVendor_Context*, const std::string& path, std::string& parent,
                               CLuError*) {
    const char* fn = "ZoMPIO::isPartitionDevice";
    ZoHost& host = *ZoHost::current();
    std::string dir;
    if (blockSysDir(host, path, &dir) != 0) return false;
    std::string uuid;
    if (host.readAttr(dir + "/dm/uuid", &uuid) != 0) return false;
    if (zo_mpio::partitionMapNumber(uuid) == 0) return false;

    std::vector<std::string> slaves;
    if (int rc = host.listDir(dir + "/slaves", &slaves))
        fail(fn, FXString::Format("Unable to list the devices under %s: %s", path.c_str(),
                                  std::strerror(rc)));
    if (slaves.empty())
        fail(fn, FXString::Format("Partition map %s has no map under it", path.c_str()));
    std::string name = requireAttr(host, "/sys/block/" + slaves.front() + "/dm/name", fn);
    parent = mapNode(host, slaves.front(), name);
    return true;
}

int ZoMPIO::refreshMPIO(MPIOVendor_Context*, CLuError* err) {
    const char* fn = "ZoMPIO::refreshMPIO";
    if (!daemonState().empty()) {
        Run r = run("multipathd reconfigure");
        if (r.rc != 0 || trimmed(r.out) == "fail") {
            setError(err, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                                  "multipathd reconfigure failed: %s",
                                                  trimmed(r.err + r.out).c_str()));
            return -1;
        }
        // The daemon reconfigures in the background; it is done when it is
        // idle again.
        ZoHost& host = *ZoHost::current();
        int polls = 0;
        for (;;) {
            std::string state = daemonState();
            if (state == "idle") break;
            if (state.empty() || ++polls >= kReconfigurePolls) {
                setError(err, FXErrorUtil::ErrorWin32(
                                  FX_LOCATION, ZO_ERROR_CODE,
                                  "multipathd did not finish its reconfiguration (state \"%s\")",
                                  state.c_str()));
                return -1;
            }
            host.sleepMs(kReconfigurePollMs);
        }
        m_log.DebugLvl(fn, 2, "multipathd reconfigured");
    } else {
        Run r = run("multipath -r");
        if (r.rc != 0) {
            setError(err, FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                                  "multipath -r failed: %s",
                                                  trimmed(r.err).c_str()));
            return -1;
        }
        m_log.DebugLvl(fn, 2, "multipath maps reloaded");
    }
    zo_udev::settle(kSettleTimeoutSeconds);
    return 0;
}
