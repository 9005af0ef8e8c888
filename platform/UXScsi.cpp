// SPDX-License-Identifier: LGPL-2.1-or-later
// The SCSI layer over ZoHost: the list of SCSI disks read from sysfs, the
// address of any node found through its sysfs chain, and SG_IO commands.
#include "UXScsi.h"

#include "ZoException.h"
#include "ZoHost.h"
#include "ZoOpCache.h"
#include "ZoStrings.h"
#include "ZoSysfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

const char kScsiDeviceClass[] = "/sys/class/scsi_device";

using zo_sysfs::Hctl;
using zo_str::baseName;
using zo_str::dirName;
using zo_sysfs::linkTarget;
using zo_sysfs::parseHctl;
using zo_str::trimmed;

bool parseDevno(const std::string& text, dev_t* out) {
    unsigned maj = 0, min = 0;
    if (!zo_sysfs::parseDevno(text, &maj, &min)) return false;
    *out = makedev(maj, min);
    return true;
}

std::string devnoText(dev_t devno) {
    return std::to_string(major(devno)) + ":" + std::to_string(minor(devno));
}

// The SCSI device behind a block node, found through sysfs.
struct NodeAddress {
    Hctl hctl;
    std::string sysfsDevice;  // the SCSI device's directory under /sys/devices
};

// Follows node -> /sys/dev/block/MAJ:MIN -> (the disk for a partition) ->
// device -> H:C:T:L with a scsi_device subdirectory. On success returns true
// and fills *out. On failure returns false and says why in *why.
bool findNodeAddress(ZoHost& host, const std::string& node, NodeAddress* out, std::string* why) {
    struct stat st;
    if (zo_cache::stat(host, node, &st) != 0) {
        int err = errno;
        *why = "Failed to stat " + node + ": " + std::strerror(err);
        return false;
    }
    if (!S_ISBLK(st.st_mode)) {
        *why = node + " is not a block device";
        return false;
    }
    const std::string link = "/sys/dev/block/" + devnoText(st.st_rdev);
    std::string blockDir = linkTarget(host, link);
    if (blockDir.empty()) {
        *why = node + " (" + devnoText(st.st_rdev) + ") is not a SCSI device: " + link +
               " does not exist";
        return false;
    }
    struct stat probe;
    if (zo_cache::stat(host, blockDir + "/partition", &probe) == 0) blockDir = dirName(blockDir);
    const std::string device = linkTarget(host, blockDir + "/device");
    Hctl hctl;
    if (device.empty() || !parseHctl(baseName(device), &hctl) ||
        zo_cache::stat(host, device + "/scsi_device", &probe) != 0) {
        *why = node + " (" + devnoText(st.st_rdev) + ") is not a SCSI device: no SCSI device under " +
               blockDir;
        return false;
    }
    out->hctl = hctl;
    out->sysfsDevice = device;
    return true;
}

// The list of the last refresh with its indexes. Immutable once published.
struct Snapshot {
    std::vector<UXScsi::Device> entries;  // list order
    std::unordered_map<dev_t, std::vector<size_t>> byDevno;
    std::unordered_map<std::string, size_t> byNode;  // first entry with the node
};

std::mutex g_snapshotMutex;
std::shared_ptr<const Snapshot> g_snapshot = std::make_shared<Snapshot>();

std::shared_ptr<const Snapshot> currentSnapshot() {
    std::lock_guard<std::mutex> guard(g_snapshotMutex);
    return g_snapshot;
}

// One listed disk before sorting.
struct Found {
    Hctl hctl;
    UXScsi::Device device;
};

// The disk of one /sys/class/scsi_device entry: true when it is of the
// wanted peripheral type and has a block node.
bool readListedDisk(ZoHost& host, const std::string& name, int wantedType, Found* out) {
    Hctl hctl;
    if (!parseHctl(name, &hctl)) return false;
    const std::string entry = std::string(kScsiDeviceClass) + "/" + name;
    std::string type;
    if (host.readAttr(entry + "/device/type", &type) != 0) return false;
    type = trimmed(type);
    char* end = nullptr;
    long typeValue = std::strtol(type.c_str(), &end, 10);
    if (type.empty() || *end != '\0' || typeValue != wantedType) return false;

    std::vector<std::string> blocks;
    if (host.listDir(entry + "/device/block", &blocks) != 0 || blocks.empty()) return false;
    std::sort(blocks.begin(), blocks.end());
    const std::string& disk = blocks.front();
    const std::string node = "/dev/" + disk;

    dev_t devno = 0;
    std::string dev;
    if (host.readAttr(entry + "/device/block/" + disk + "/dev", &dev) != 0 ||
        !parseDevno(dev, &devno)) {
        struct stat st;
        if (host.stat(node, &st) == 0 && S_ISBLK(st.st_mode)) devno = st.st_rdev;
    }
    // The class entry links to .../H:C:T:L/scsi_device/H:C:T:L.
    std::string sysfsDevice = linkTarget(host, entry);
    if (!sysfsDevice.empty()) sysfsDevice = dirName(dirName(sysfsDevice));

    out->hctl = hctl;
    out->device.target = UXScsiTarget::make(node, static_cast<int>(hctl.host),
                                            static_cast<int>(hctl.channel),
                                            static_cast<int>(hctl.target),
                                            static_cast<int>(hctl.lun), sysfsDevice);
    out->device.devno = devno;
    return true;
}

// Builds a ZoScsiCommand's sense handling and message pieces.
std::string hex2(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", v & 0xff);
    return buf;
}

// "SCSI status 0x02, sense key 0x5, ASC 0x20, ASCQ 0x00" (the sense part
// only when sense data in fixed or descriptor format came back).
std::string describeStatus(const ZoScsiStatus& st, const unsigned char* sense, int senseLength) {
    std::string text;
    if (st.status != 0) {
        text = "SCSI status " + hex2(st.status);
        int n = std::min(st.senseWritten, senseLength);
        if (n >= 3) {
            const int code = sense[0] & 0x7f;
            int key = -1, asc = -1, ascq = -1;
            if ((code == 0x70 || code == 0x71) && n >= 14) {
                key = sense[2] & 0x0f;
                asc = sense[12];
                ascq = sense[13];
            } else if ((code == 0x72 || code == 0x73) && n >= 4) {
                key = sense[1] & 0x0f;
                asc = sense[2];
                ascq = sense[3];
            }
            if (key >= 0) {
                char buf[64];
                std::snprintf(buf, sizeof buf, ", sense key 0x%x, ASC 0x%02x, ASCQ 0x%02x", key, asc,
                              ascq);
                text += buf;
            }
        }
    }
    if (st.hostStatus != 0)
        text += std::string(text.empty() ? "" : ", ") + "transport status " + hex2(st.hostStatus);
    // Driver status 0x08 only says that sense data came back.
    if ((st.driverStatus & ~0x08) != 0)
        text += std::string(text.empty() ? "" : ", ") + "driver status " + hex2(st.driverStatus);
    return text;
}

bool isVpdInquiry(const unsigned char* cdb, int cdbLength, int page) {
    return cdbLength >= 6 && cdb[0] == 0x12 && (cdb[1] & 1) && cdb[2] == page;
}

// Answers an INQUIRY of page 0x83 from the device's vpd_pg83 attribute,
// which the kernel lets every user read. True when it could.
// Bytes the last command of this thread brought in (-1: unknown).
thread_local int t_lastTransferred = -1;

bool answerPage83FromSysfs(ZoHost& host, const UXScsiTarget& target, const unsigned char* cdb,
                           void* data, int dataLength) {
    std::string device = target.getSysfsDevice();
    if (device.empty()) {
        NodeAddress address;
        std::string why;
        if (!findNodeAddress(host, target.getNativePath(), &address, &why)) return false;
        device = address.sysfsDevice;
    }
    std::string page;
    if (host.readFile(device + "/vpd_pg83", &page, ZoHost::kAttributeBytes) != 0 || page.size() < 4) return false;
    const size_t allocation = (static_cast<size_t>(cdb[3]) << 8) | cdb[4];
    size_t n = std::min(page.size(), allocation);
    n = std::min(n, static_cast<size_t>(std::max(dataLength, 0)));
    if (n > 0) std::memcpy(data, page.data(), n);
    t_lastTransferred = static_cast<int>(n);
    return true;
}

[[noreturn]] void throwScsi(const char* function, const std::string& message, int line) {
    throw ZoException(function, message, __FILE__, line, -1);
}

}  // namespace

UXScsiTarget::UXScsiTarget(const char* path, bool) : m_node(path ? path : "") {
    NodeAddress address;
    std::string why;
    if (!m_node.empty() && findNodeAddress(*ZoHost::current(), m_node, &address, &why)) {
        m_host = static_cast<int>(address.hctl.host);
        m_channel = static_cast<int>(address.hctl.channel);
        m_target = static_cast<int>(address.hctl.target);
        m_lun = static_cast<int>(address.hctl.lun);
        m_sysfsDevice = address.sysfsDevice;
    }
}

std::string UXScsiTarget::getAdapter() const {
    return m_host < 0 ? std::string() : "scsi" + std::to_string(m_host);
}

UXScsiTarget UXScsiTarget::make(const std::string& node, int host, int channel, int target,
                                int lun, const std::string& sysfsDevice) {
    UXScsiTarget t;
    t.m_node = node;
    t.m_host = host;
    t.m_channel = channel;
    t.m_target = target;
    t.m_lun = lun;
    t.m_sysfsDevice = sysfsDevice;
    return t;
}

void UXScsi::refreshDeviceList(Device::DEVICE_TYPE type, bool) {
    std::shared_ptr<ZoHost> host = ZoHost::current();
    std::vector<std::string> names;
    int rc = host->listDir(kScsiDeviceClass, &names);
    if (rc != 0 && rc != ENOENT)
        throwScsi("UXScsi::refreshDeviceList",
                  std::string("Failed to list ") + kScsiDeviceClass + ": " + std::strerror(rc),
                  __LINE__);

    std::vector<Found> found;
    found.reserve(names.size());
    for (const std::string& name : names) {
        Found f;
        if (readListedDisk(*host, name, static_cast<int>(type), &f)) found.push_back(std::move(f));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.hctl < b.hctl; });

    auto snapshot = std::make_shared<Snapshot>();
    snapshot->entries.reserve(found.size());
    for (Found& f : found) {
        const size_t index = snapshot->entries.size();
        if (f.device.devno != 0) snapshot->byDevno[f.device.devno].push_back(index);
        snapshot->byNode.emplace(f.device.target.getNativePath(), index);
        snapshot->entries.push_back(std::move(f.device));
    }
    std::lock_guard<std::mutex> guard(g_snapshotMutex);
    g_snapshot = std::move(snapshot);
}

std::list<UXScsi::Device> UXScsi::getDeviceList(Device::DEVICE_TYPE, bool, bool, bool) {
    std::shared_ptr<const Snapshot> snapshot = currentSnapshot();
    return std::list<Device>(snapshot->entries.begin(), snapshot->entries.end());
}

bool UXScsi::findByDevno(dev_t devno, UXScsiTarget* target) {
    std::shared_ptr<const Snapshot> snapshot = currentSnapshot();
    auto it = snapshot->byDevno.find(devno);
    if (it == snapshot->byDevno.end() || it->second.empty()) return false;
    if (target) *target = snapshot->entries[it->second.front()].target;
    return true;
}

bool UXScsi::findByNode(const std::string& node, UXScsiTarget* target) {
    std::shared_ptr<const Snapshot> snapshot = currentSnapshot();
    auto it = snapshot->byNode.find(node);
    if (it == snapshot->byNode.end()) return false;
    if (target) *target = snapshot->entries[it->second].target;
    return true;
}

bool UXScsi::findListed(const std::string& path, dev_t devno, UXScsiTarget* target) {
    std::shared_ptr<const Snapshot> snapshot = currentSnapshot();
    std::vector<size_t> candidates;
    auto byDevno = snapshot->byDevno.find(devno);
    if (devno != 0 && byDevno != snapshot->byDevno.end()) candidates = byDevno->second;
    auto byNode = snapshot->byNode.find(path);
    if (byNode != snapshot->byNode.end()) candidates.push_back(byNode->second);
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

    std::shared_ptr<ZoHost> host = ZoHost::current();
    for (size_t index : candidates) {
        const UXScsiTarget& listed = snapshot->entries[index].target;
        const std::string node = listed.getNativePath();
        struct stat st;
        if (zo_cache::stat(*host, node, &st) != 0) continue;
        if (st.st_rdev == devno || node == path) {
            if (target) *target = listed;
            return true;
        }
    }
    return false;
}

void UXScsi::open(UXScsiTarget& target, int) {
    std::shared_ptr<ZoHost> host = ZoHost::current();
    const std::string node = target.getNativePath();
    if (node.empty()) throwScsi("UXScsi::open", "No device node given", __LINE__);
    NodeAddress address;
    std::string why;
    if (!findNodeAddress(*host, node, &address, &why)) throwScsi("UXScsi::open", why, __LINE__);
    int rc = host->probeOpen(node, O_RDONLY | O_NONBLOCK);
    if (rc != 0)
        throwScsi("UXScsi::open", "Cannot open " + node + ": " + std::strerror(rc), __LINE__);
    target = UXScsiTarget::make(node, static_cast<int>(address.hctl.host),
                                static_cast<int>(address.hctl.channel),
                                static_cast<int>(address.hctl.target),
                                static_cast<int>(address.hctl.lun), address.sysfsDevice);
}

int UXScsi::lastTransferred() { return t_lastTransferred; }

void UXScsi::forgetTransferred() { t_lastTransferred = -1; }

int UXScsi::send(const UXScsiTarget& target, const void* cdb, int cdbLength, void* data,
                 int dataLength, bool dataOut, bool dataIn, void* sense, int senseLength,
                 int timeout) {
    const char* fn = "UXScsi::send";
    const std::string node = target.getNativePath();
    if (!cdb || cdbLength <= 0 || cdbLength > 255)
        throwScsi(fn, "Invalid SCSI command block for " + node, __LINE__);
    if (dataLength < 0 || (dataLength > 0 && !data))
        throwScsi(fn, "Invalid data buffer for a SCSI command to " + node, __LINE__);
    if (dataOut && dataIn && dataLength > 0)
        throwScsi(fn, "A SCSI command to " + node + " cannot move data in both directions",
                  __LINE__);

    const unsigned char* block = static_cast<const unsigned char*>(cdb);
    unsigned char senseBuffer[255];
    std::memset(senseBuffer, 0, sizeof senseBuffer);
    ZoScsiCommand cmd;
    cmd.cdb = block;
    cmd.cdbLength = cdbLength;
    cmd.data = data;
    cmd.dataLength = dataLength;
    cmd.direction = dataLength == 0 ? ZoScsiCommand::NONE
                    : dataIn        ? ZoScsiCommand::FROM_DEVICE
                    : dataOut       ? ZoScsiCommand::TO_DEVICE
                                    : ZoScsiCommand::NONE;
    cmd.sense = senseBuffer;
    cmd.senseLength = sizeof senseBuffer;
    // The kernel gives a command sent through a disk's block node at least
    // 7 s (its least SG_IO time-out): a shorter one takes effect as 7 s.
    const unsigned kLeastTimeoutMs = 7000;
    if (timeout > 0) cmd.timeoutMs = std::max(static_cast<unsigned>(timeout) * 1000u, kLeastTimeoutMs);

    std::shared_ptr<ZoHost> host = ZoHost::current();
    ZoScsiStatus status;
    t_lastTransferred = -1;
    int rc = host->scsiCommand(node, cmd, &status);
    if (rc == 0 && dataIn) t_lastTransferred = std::max(0, std::min(dataLength, dataLength - status.residual));

    if (sense && senseLength > 0) {
        int n = std::min(std::min(status.senseWritten, senseLength),
                         static_cast<int>(sizeof senseBuffer));
        if (rc == 0 && n > 0) std::memcpy(sense, senseBuffer, static_cast<size_t>(n));
    }

    const std::string what = "SCSI command " + hex2(block[0]) + " to " + node + " failed: ";
    if (rc == ETIMEDOUT)
        throwScsi(fn, what + "timed out after " + std::to_string((cmd.timeoutMs + 999) / 1000) + " s",
                  __LINE__);
    if (rc != 0) {
        if ((rc == EPERM || rc == EACCES) && dataIn && isVpdInquiry(block, cdbLength, 0x83) &&
            answerPage83FromSysfs(*host, target, block, data, dataLength))
            return 0;
        std::string message = what + std::strerror(rc);
        if (!status.message.empty()) message += " (" + status.message + ")";
        throwScsi(fn, message, __LINE__);
    }
    std::string failure = describeStatus(status, senseBuffer, sizeof senseBuffer);
    if (!failure.empty()) {
        std::string message = what + failure;
        if (!status.message.empty()) message += " (" + status.message + ")";
        throwScsi(fn, message, __LINE__);
    }
    return 0;
}
