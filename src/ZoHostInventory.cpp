// SPDX-License-Identifier: LGPL-2.1-or-later
// The host inventory: one pass over /sys/block through ZoHost, every block
// device read once into a flat list, relations as indexes, then indexed.
#include "ZoHostInventory.h"

#include "ZoFabricReader.h"
#include "ZoHost.h"
#include "ZoIdentity.h"
#include "ZoInventoryParse.h"
#include "ZoKinds.h"
#include "ZoStrings.h"
#include "ZoSysfs.h"
#include "ZoUdev.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <unordered_set>

namespace {

using zo_kind::isWholeMapUuid;
using zo_kind::partitionMapNumber;
using zo_str::baseName;
using zo_str::dirName;
using zo_str::startsWith;
using zo_str::trimmed;
using zo_sysfs::linkTarget;

uint64_t numberKey(unsigned major, unsigned minor) {
    return (static_cast<uint64_t>(major) << 32) | minor;
}

// What the reader knows of a device beyond ZoBlockDevice.
struct Facts {
    std::string sysDir;                   // its sysfs directory
    std::string deviceDir;                // the device it is a block device of
    std::vector<std::string> slaveNames;  // slaves/, in directory order
    bool scsi = false;                    // the SCSI layer can address it
    bool nvmeDir = false;                 // its sysfs directory lies under an NVMe device
    bool dm = false;                      // a device-mapper device
    bool md = false;                      // a software RAID device with an md/level
};

// Devices the kernel makes without hardware and that never stack on other
// devices (their slaves/ is always empty).
bool neverStacks(const std::string& name) {
    for (const char* family : {"loop", "zram", "ram", "nbd"})
        if (startsWith(name, family)) return true;
    return false;
}

// A block device found in sysfs, before it is read: its kernel name, its
// sysfs directory and, when it was found by its number, that number.
struct Found {
    std::string name;
    std::string sysDir;
    bool numbered = false;
    unsigned major = 0, minor = 0;
};

// The transport of an NVMe controller from its transport attribute: PCIe
// (or none given) is NVME, fabrics their own.
ZoTransport nvmeTransport(const std::string& attribute) {
    for (ZoTransport fabric : {ZoTransport::FC, ZoTransport::TCP, ZoTransport::RDMA, ZoTransport::LOOP})
        if (attribute == zoTransportName(fabric)) return fabric;
    return ZoTransport::NVME;
}

// The value of KEY= in a uevent text, or "" when absent.
std::string ueventValue(const std::string& uevent, const std::string& key) {
    const std::string prefix = key + "=";
    for (size_t pos = 0; pos < uevent.size();) {
        size_t end = uevent.find('\n', pos);
        if (end == std::string::npos) end = uevent.size();
        if (uevent.compare(pos, prefix.size(), prefix) == 0)
            return uevent.substr(pos + prefix.size(), end - pos - prefix.size());
        pos = end + 1;
    }
    return std::string();
}

}  // namespace

// Reads the host into an inventory. One object per read.
class ZoInventoryReader {
public:
    ZoInventoryReader(ZoHost& host, const ZoInventoryOptions& options, ZoHostInventory* out)
        : m_host(host), m_options(options), m_out(out), m_fabric(host) {}

    bool run(CLuError* err) {
        std::vector<Found> found;
        std::map<std::string, std::vector<Found>> parts;  // by their disk's directory
        const bool numbered = findNumbered(&found, &parts);
        if (!numbered && !findNamed(&found, err)) return false;
        std::string procDevices;
        m_host.readFile("/proc/devices", &procDevices);
        m_majors = zo_kind::driverMajors(procDevices);
        readFabric();
        std::vector<std::string> mapperNames;
        m_host.listDir("/dev/mapper", &mapperNames);
        m_mapperNodes.insert(mapperNames.begin(), mapperNames.end());

        std::vector<size_t> disks;  // where each disk starts in m_devices
        size_t devices = found.size();
        for (const auto& p : parts) devices += p.second.size();
        m_devices.reserve(devices);
        m_facts.reserve(devices);
        for (const Found& disk : found) {
            const size_t before = m_devices.size();
            auto it = parts.find(disk.sysDir);
            static const std::vector<Found> none;
            readDisk(disk, numbered ? (it == parts.end() ? &none : &it->second) : nullptr);
            if (m_devices.size() > before) disks.push_back(before);
        }
        orderByNumber(disks);
        index();
        linkRelations();
        decideKinds();
        if (wants(ZoInventoryOptions::PATH_HEALTH)) readPathHealth();
        if (wants(ZoInventoryOptions::MOUNTS)) readMounts();
        // A host without udev's database (a container, a hand-made tree)
        // has no device's record: not looked up one by one.
        if (wants(ZoInventoryOptions::FILESYSTEM) && m_host.exists("/run/udev/data"))
            for (ZoBlockDevice& dev : m_devices) readFilesystem(dev);
        m_out->m_fabric = m_fabric.take();
        m_out->m_devices = std::move(m_devices);
        m_out->m_byName = std::move(m_byName);
        m_out->m_byNumber = std::move(m_byNumber);
        return true;
    }

private:
    using Fact = ZoInventoryOptions::Fact;

    // True iff the caller asked for the fact.
    bool wants(Fact fact) const { return (m_options.facts & fact) != 0; }

    // The endpoints asked for. NVMe controllers are read whenever the host
    // has the driver: a namespace of several controllers has its state
    // and transport from them.
    void readFabric() {
        if (wants(ZoInventoryOptions::FC_PORTS)) m_fabric.readFc();
        if (wants(ZoInventoryOptions::ISCSI_SESSIONS)) m_fabric.readIscsi();
        if (wants(ZoInventoryOptions::NVME_PATHS) || m_majors.nvme != 0) m_fabric.readNvme();
        m_fabric.finish();
    }

    // multipathd's view of every path of a map, when the host has a map
    // and multipathd answers; a failure other than no daemon listening is
    // a problem of each map.
    void readPathHealth() {
        std::vector<size_t> maps;
        for (size_t i = 0; i < m_devices.size(); ++i)
            if (isWholeMapUuid(m_devices[i].dmUuid)) maps.push_back(i);
        if (maps.empty()) return;
        std::string reply;
        const int rc = m_host.askMultipathd(zo_fabric::kPathHealthRequest, &reply, m_options.multipathdTimeoutMs);
        if (rc == ECONNREFUSED || rc == ENOENT || rc == ENOSYS) return;
        if (rc != 0) {
            for (size_t m : maps) m_devices[m].problems.push_back(std::string("multipathd: ") + std::strerror(rc));
            return;
        }
        const std::map<std::string, ZoPathHealth> health = zo_fabric::parsePathHealth(reply);
        for (size_t m : maps)
            for (size_t p : m_devices[m].slaves) {
                ZoBlockDevice& path = m_devices[p];
                auto it = health.find(std::to_string(path.major) + ":" + std::to_string(path.minor));
                if (it != health.end()) path.health = it->second;
            }
    }

    // Where each device is mounted (/proc/self/mountinfo) or used as swap
    // (/proc/swaps). A host without these files has nothing mounted.
    void readMounts() {
        std::string text;
        if (m_host.readFile("/proc/self/mountinfo", &text) == 0) {
            for (const zo_inv::MountEntry& m : zo_inv::parseMountinfo(text)) {
                auto it = m_byNumber.find(numberKey(m.major, m.minor));
                const size_t i = m.major != 0 ? (it == m_byNumber.end() ? ZoBlockDevice::npos : it->second)
                                              : deviceAt(m.source);
                if (i != ZoBlockDevice::npos) m_devices[i].mountpoints.push_back(m.target);
            }
        }
        if (m_host.readFile("/proc/swaps", &text) == 0) {
            for (const std::string& area : zo_inv::parseSwaps(text)) {
                const size_t i = deviceAt(area);
                if (i != ZoBlockDevice::npos) m_devices[i].mountpoints.push_back("[SWAP]");
            }
        }
    }

    // The device a node under /dev is, or npos.
    size_t deviceAt(const std::string& node) {
        struct stat st;
        if (!startsWith(node, "/dev/") || m_host.stat(node, &st) != 0 || !S_ISBLK(st.st_mode))
            return ZoBlockDevice::npos;
        auto it = m_byNumber.find(numberKey(major(st.st_rdev), minor(st.st_rdev)));
        return it == m_byNumber.end() ? ZoBlockDevice::npos : it->second;
    }

    // Type, label and UUID of what udev found on the device.
    void readFilesystem(ZoBlockDevice& dev) {
        std::map<std::string, std::string> properties;
        if (!zo_udev::blockProperties(dev.major, dev.minor, &properties)) return;
        dev.fsType = properties["ID_FS_TYPE"];
        dev.fsLabel = zo_inv::decodeUdevValue(properties["ID_FS_LABEL_ENC"]);
        dev.fsUuid = zo_inv::decodeUdevValue(properties["ID_FS_UUID_ENC"]);
    }

    // Every block device with a number, from the links of /sys/dev/block,
    // which tell name, place and number at once: the disks in *disks, the
    // partitions (a device in another's directory) by that directory.
    // False when the host has no such directory.
    bool findNumbered(std::vector<Found>* disks, std::map<std::string, std::vector<Found>>* parts) {
        std::vector<std::pair<std::string, std::string>> links;  // number, target
        if (m_host.listLinks("/sys/dev/block", &links) != 0) return false;
        std::vector<Found> all;
        std::set<std::string> dirs;
        for (const auto& link : links) {
            Found f;
            f.numbered = true;
            if (!zo_sysfs::parseDevno(link.first, &f.major, &f.minor)) continue;
            f.sysDir = linkTarget("/sys/dev/block/" + link.first, link.second);
            if (f.sysDir.empty()) continue;
            f.name = baseName(f.sysDir);
            dirs.insert(f.sysDir);
            all.push_back(std::move(f));
        }
        for (Found& f : all) {
            const std::string dir = dirName(f.sysDir);
            if (dirs.count(dir))
                (*parts)[dir].push_back(std::move(f));
            else
                disks->push_back(std::move(f));
        }
        return true;
    }

    // Every disk of /sys/block, for a host without /sys/dev/block.
    bool findNamed(std::vector<Found>* disks, CLuError* err) {
        std::vector<std::string> names;
        if (int rc = m_host.listDir("/sys/block", &names)) {
            if (err)
                *err = FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "Unable to list /sys/block: %s",
                                               std::strerror(rc));
            return false;
        }
        for (const std::string& name : names) {
            Found f;
            f.name = name;
            f.sysDir = linkTarget(m_host, "/sys/block/" + name);
            if (f.sysDir.empty()) f.sysDir = "/sys/block/" + name;
            disks->push_back(std::move(f));
        }
        return true;
    }

    // Reads an attribute; a missing one is "" without a problem entry, any
    // other failure is recorded in dev.problems. Returns true iff read.
    bool attr(ZoBlockDevice& dev, const std::string& dir, const std::string& name,
              std::string* value, bool raw = false) {
        const std::string path = dir + "/" + name;
        int rc = raw ? m_host.readFile(path, value, ZoHost::kAttributeBytes) : m_host.readAttr(path, value);
        if (rc == 0) return true;
        value->clear();
        if (rc != ENOENT && rc != ENOTDIR) dev.problems.push_back(name + ": " + std::strerror(rc));
        return false;
    }

    // Reads each attribute named in fields from dir into its field of dev,
    // trimmed.
    void trimmedAttrs(ZoBlockDevice& dev, const std::string& dir,
                      std::initializer_list<std::pair<const char*, std::string ZoBlockDevice::*>> fields) {
        std::string value;
        for (const auto& field : fields) {
            attr(dev, dir, field.first, &value);
            dev.*field.second = trimmed(value);
        }
    }

    // A decimal attribute; 0 when missing (*present then false) or
    // unreadable.
    uint64_t number(ZoBlockDevice& dev, const std::string& dir, const char* name,
                    bool* present = nullptr) {
        std::string text;
        const size_t problems = dev.problems.size();
        const bool read = attr(dev, dir, name, &text);
        if (present) *present = read || dev.problems.size() > problems;
        if (!read) return 0;
        char* end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(text.c_str(), &end, 10);
        if (errno != 0 || end == text.c_str() || *end != '\0') {
            dev.problems.push_back(std::string(name) + ": unreadable value \"" + text + "\"");
            return 0;
        }
        return v;
    }

    // Name, number, node, size and read-only flag of the device found.
    // False when it has no number (gone, or a hidden device such as an NVMe
    // path under a multipath namespace) or no size (gone).
    bool readBlock(const Found& found, ZoBlockDevice* dev) {
        std::string text;
        if (found.numbered) {
            dev->major = found.major;
            dev->minor = found.minor;
        } else if (m_host.readAttr(found.sysDir + "/dev", &text) != 0 ||
                   !zo_sysfs::parseDevno(text, &dev->major, &dev->minor)) {
            return false;
        }
        dev->name = found.name;
        std::string node = found.name;
        std::replace(node.begin(), node.end(), '!', '/');
        dev->path = "/dev/" + node;
        bool present = false;
        dev->sectors = number(*dev, found.sysDir, "size", &present);
        dev->readOnly = number(*dev, found.sysDir, "ro") != 0;
        return present;
    }

    // Reads the disk found and its partitions: partsFound, or, when they
    // were not found by number, those its directory holds.
    void readDisk(const Found& found, const std::vector<Found>* partsFound) {
        const std::string& sysDir = found.sysDir;
        ZoBlockDevice dev;
        Facts facts;
        facts.sysDir = sysDir;
        if (!readBlock(found, &dev)) return;
        // What the kernel makes without hardware is never removable and,
        // directly under virtual/block, has no device.
        const bool isVirtual = startsWith(sysDir, "/sys/devices/virtual/");
        if (!isVirtual && wants(ZoInventoryOptions::REMOVABLE))
            dev.removable = number(dev, sysDir, "removable") != 0;
        if (!startsWith(sysDir, "/sys/devices/virtual/block/")) facts.deviceDir = deviceOf(sysDir);
        facts.nvmeDir = zo_kind::isNvmePlace(sysDir);
        // Only stacking devices (device-mapper, md, ...) have devices under
        // them, and all of them are virtual; every holders/ entry is some
        // device's slaves/ entry.
        if (isVirtual) readStacking(dev, facts);

        dev.type = typeOf(dev, facts);
        readHardware(dev, facts);
        if (facts.dm) readMapState(dev);

        const size_t diskAt = m_devices.size();
        m_devices.push_back(std::move(dev));
        m_facts.push_back(facts);
        if (partsFound) {
            readPartitions(diskAt, *partsFound);
        } else {
            std::vector<std::string> entries;
            m_host.listDir(sysDir, &entries);
            std::vector<Found> inDir;
            for (const std::string& e : entries) {
                if (!startsWith(e, found.name)) continue;
                inDir.emplace_back();
                inDir.back().name = e;
                inDir.back().sysDir = sysDir + "/" + e;
            }
            readPartitions(diskAt, inDir);
        }
    }

    // The device a disk in sysDir is a block device of. The kernel puts a
    // disk of a device that is no class device of its own in that device's
    // block/ directory, so the answer is told by the place; other disks
    // (an NVMe namespace under its controller) have their device link read.
    std::string deviceOf(const std::string& sysDir) {
        const std::string glue = dirName(sysDir);
        if (baseName(glue) == "block" && startsWith(sysDir, "/sys/devices/") &&
            !startsWith(sysDir, "/sys/devices/virtual/"))
            return dirName(glue);
        return linkTarget(m_host, sysDir + "/device");
    }

    // Device-mapper name, uuid and state, md level, slaves of a virtual
    // device.
    void readStacking(ZoBlockDevice& dev, Facts& facts) {
        const std::string& sysDir = facts.sysDir;
        std::string uuid;
        const int rc = m_host.readAttr(sysDir + "/dm/uuid", &uuid);
        const bool dm = rc == 0;
        if (dm) {
            dev.dmUuid = uuid;
            attr(dev, sysDir, "dm/name", &dev.dmName);
            if (!dev.dmName.empty() && dev.dmName.find('/') == std::string::npos &&
                m_mapperNodes.count(dev.dmName))
                dev.path = "/dev/mapper/" + dev.dmName;
            std::string suspended;
            if (wants(ZoInventoryOptions::STATE) && attr(dev, sysDir, "dm/suspended", &suspended))
                dev.state = suspended == "1" ? "suspended" : "running";
        } else if (rc != ENOENT && rc != ENOTDIR) {
            dev.problems.push_back(std::string("dm/uuid: ") + std::strerror(rc));
        } else if (startsWith(dev.name, "md")) {
            facts.md = m_host.readAttr(sysDir + "/md/level", &dev.raidLevel) == 0;
        }
        if (dm || !neverStacks(dev.name)) m_host.listDir(sysDir + "/slaves", &facts.slaveNames);
        facts.dm = dm;
    }

    static ZoBlockType typeOf(const ZoBlockDevice& dev, const Facts& facts) {
        if (facts.dm) {
            if (isWholeMapUuid(dev.dmUuid)) return ZoBlockType::MPATH;
            if (partitionMapNumber(dev.dmUuid) > 0) return ZoBlockType::PART;
            if (startsWith(dev.dmUuid, "LVM-")) return ZoBlockType::LVM;
            if (startsWith(dev.dmUuid, "CRYPT-")) return ZoBlockType::CRYPT;
            return ZoBlockType::DM;
        }
        if (startsWith(dev.name, "loop")) return ZoBlockType::LOOP;
        if (startsWith(dev.name, "sr")) return ZoBlockType::ROM;
        if (facts.md) return ZoBlockType::RAID;
        return ZoBlockType::DISK;
    }

    // Driver, transport, SCSI address and attributes, identity.
    void readHardware(ZoBlockDevice& dev, Facts& facts) {
        const std::string& device = facts.deviceDir;
        zo_sysfs::Hctl hctl;
        if (!device.empty() && zo_sysfs::parseHctl(baseName(device), &hctl) &&
            isScsiDevice(device, baseName(device))) {
            facts.scsi = true;
            readScsi(dev, device, hctl);
        } else if (facts.nvmeDir) {
            readNvme(dev, facts);
        } else if (!device.empty()) {
            dev.driver = driverOf(device);
            if (dev.driver == "virtio_blk") {
                dev.transport = ZoTransport::VIRTIO;
                if (wants(ZoInventoryOptions::SERIAL)) attr(dev, facts.sysDir, "serial", &dev.serial);
                if (wants(ZoInventoryOptions::PRODUCT))
                    attr(dev, device, "vendor", &dev.vendor);  // the PCI vendor, "0x1af4"
            } else if (dev.driver == "vbd" || startsWith(dev.name, "xvd")) {
                dev.transport = ZoTransport::XEN;
            }
        }
        if (dev.transport == ZoTransport::NONE && zo_kind::isXenMajor(dev.major, m_majors.xvd))
            dev.transport = ZoTransport::XEN;
        if (isWholeMapUuid(dev.dmUuid) && wants(ZoInventoryOptions::IDENTITY))
            dev.wwid = dev.dmUuid.substr(6);
    }

    // The driver bound to a device directory: its driver link, else the
    // DRIVER of its uevent.
    std::string driverOf(const std::string& device) {
        std::string target;
        if (m_host.readlink(device + "/driver", &target) == 0 && !target.empty())
            return baseName(target);
        std::string uevent;
        if (m_host.readFile(device + "/uevent", &uevent, ZoHost::kAttributeBytes) != 0) return std::string();
        return ueventValue(uevent, "DRIVER");
    }

    void readScsi(ZoBlockDevice& dev, const std::string& device, const zo_sysfs::Hctl& hctl) {
        dev.hctl = baseName(device);
        // SCSI block devices are made by sd (sdX) and sr (srN).
        dev.driver = startsWith(dev.name, "sd") ? "sd" : startsWith(dev.name, "sr") ? "sr" : driverOf(device);
        if (wants(ZoInventoryOptions::PRODUCT)) readProduct(dev, device);
        if (wants(ZoInventoryOptions::STATE)) attr(dev, device, "state", &dev.state);
        dev.transport = scsiTransport(hctl.host, device);
        if (wants(ZoInventoryOptions::FC_PORTS) && dev.transport == ZoTransport::FC) {
            dev.fcRemotePort = m_fabric.remotePortOf(device);
            dev.fcHostPort = m_fabric.fabric().fcHost("host" + std::to_string(hctl.host));
        }
        if (wants(ZoInventoryOptions::ISCSI_SESSIONS) && dev.transport == ZoTransport::ISCSI)
            dev.iscsiSession = m_fabric.sessionOf(device);
        if (wants(ZoInventoryOptions::FC_NODE_NAME)) dev.fcNodeName = fcNodeName(dev, hctl);

        std::string page, value;
        if (wants(ZoInventoryOptions::IDENTITY)) {
            if (attr(dev, device, "vpd_pg83", &page, true)) dev.wwid = zo_identity::naaDesignator(page);
            if (dev.wwid.empty() && attr(dev, device, "wwid", &value))
                dev.wwid = zo_inv::wwidOfAttribute(value);
            if (dev.wwid.empty() && m_options.inquireMissingIdentity) inquireWwid(dev);
        }
        if (wants(ZoInventoryOptions::SERIAL) && attr(dev, device, "vpd_pg80", &page, true))
            dev.serial = zo_inv::unitSerial(page);
    }

    // Vendor, model and revision of a SCSI device: from the INQUIRY
    // response the kernel keeps (one file where the attributes are three,
    // which tells at a thousand paths), else, on a kernel or tree without
    // it or with a response too short to hold them, from the attributes.
    void readProduct(ZoBlockDevice& dev, const std::string& device) {
        std::string response;
        if (m_host.readFile(device + "/inquiry", &response, ZoHost::kAttributeBytes) == 0 &&
            zo_inv::inquiryStrings(response, &dev.vendor, &dev.model, &dev.revision))
            return;
        trimmedAttrs(dev, device, {{"vendor", &ZoBlockDevice::vendor},
                                   {"model", &ZoBlockDevice::model},
                                   {"rev", &ZoBlockDevice::revision}});
    }

    // True iff the SCSI layer addresses the device in deviceDir, named
    // hctl: it has a scsi_device, listed in the class when the host has it.
    bool isScsiDevice(const std::string& deviceDir, const std::string& hctl) {
        if (!m_scsiListed) {
            std::vector<std::string> names;
            m_scsiClass = m_host.listDir("/sys/class/scsi_device", &names) == 0;
            m_scsiDevices.insert(names.begin(), names.end());
            m_scsiListed = true;
        }
        if (m_scsiClass) return m_scsiDevices.count(hctl) > 0;
        return m_host.access(deviceDir + "/scsi_device", F_OK) == 0;
    }

    // Asks the device for page 0x83, waiting at most the configured time.
    void inquireWwid(ZoBlockDevice& dev) {
        ZoResult<std::string> wwid = ZoHostInventory::inquireWwid(dev.path, m_options.inquiryTimeoutMs);
        if (wwid)
            dev.wwid = *wwid;
        else
            dev.problems.push_back("wwid: INQUIRY of page 0x83 failed: " + wwid.error().AsString());
    }

    // The transport of a SCSI host (fc, iscsi, sas, spi, sata, ata or usb),
    // from its transport classes, its driver's name and its place; NONE
    // when unknown.
    ZoTransport scsiTransport(unsigned long long host, const std::string& device) {
        auto known = m_transports.find(host);
        if (known != m_transports.end()) return known->second;
        const std::string hostName = "host" + std::to_string(host);
        ZoTransport transport = ZoTransport::NONE;
        for (ZoTransport kind : {ZoTransport::FC, ZoTransport::ISCSI, ZoTransport::SAS, ZoTransport::SPI}) {
            if (m_host.exists(std::string("/sys/class/") + zoTransportName(kind) + "_host/" + hostName)) {
                transport = kind;
                break;
            }
        }
        if (transport == ZoTransport::NONE) {
            std::string proc;
            m_host.readAttr("/sys/class/scsi_host/" + hostName + "/proc_name", &proc);
            if (startsWith(proc, "ahci") || startsWith(proc, "sata"))
                transport = ZoTransport::SATA;
            else if (proc.find("ata") != std::string::npos)
                transport = ZoTransport::ATA;
            else if (proc == "usb-storage" || proc == "uas" || device.find("/usb") != std::string::npos)
                transport = ZoTransport::USB;
        }
        m_transports.emplace(host, transport);
        return transport;
    }

    // The node name of the remote port of a Fibre Channel target, as the SCSI
    // kind reads it (/sys/class/fc_transport/targetH:C:T/node_name).
    std::string fcNodeName(ZoBlockDevice& dev, const zo_sysfs::Hctl& hctl) {
        const std::string target = std::to_string(hctl.host) + ":" + std::to_string(hctl.channel) +
                                   ":" + std::to_string(hctl.target);
        auto known = m_nodeNames.find(target);
        if (known != m_nodeNames.end()) return known->second;
        std::string value;
        attr(dev, "/sys/class/fc_transport/target" + target, "node_name", &value);
        value = trimmed(value);
        m_nodeNames.emplace(target, value);
        return value;
    }

    void readNvme(ZoBlockDevice& dev, const Facts& facts) {
        // A namespace's device is its controller; a multipath namespace lies
        // in its subsystem's directory. Namespaces share their controller's
        // facts, read once.
        const std::string controller =
            facts.deviceDir.empty() ? dirName(facts.sysDir) : facts.deviceDir;
        auto known = m_controllers.find(controller);
        if (known == m_controllers.end()) {
            ZoBlockDevice c;
            std::string target;
            c.driver = m_host.readlink(controller + "/device/driver", &target) == 0 ? baseName(target)
                                                                                  : "nvme";
            std::string value;
            attr(c, controller, "transport", &value);
            c.transport = nvmeTransport(value);
            if (wants(ZoInventoryOptions::STATE)) attr(c, controller, "state", &c.state);
            if (wants(ZoInventoryOptions::SERIAL)) trimmedAttrs(c, controller, {{"serial", &ZoBlockDevice::serial}});
            if (wants(ZoInventoryOptions::PRODUCT))
                trimmedAttrs(c, controller, {{"model", &ZoBlockDevice::model},
                                             {"firmware_rev", &ZoBlockDevice::revision}});
            known = m_controllers.emplace(controller, std::move(c)).first;
        }
        const ZoBlockDevice& c = known->second;
        dev.transport = c.transport;
        for (auto field : {&ZoBlockDevice::driver, &ZoBlockDevice::state, &ZoBlockDevice::serial,
                           &ZoBlockDevice::model, &ZoBlockDevice::revision})
            dev.*field = c.*field;
        dev.problems.insert(dev.problems.end(), c.problems.begin(), c.problems.end());
        readNvmePaths(dev, facts);
        if (startsWith(dev.serial, "vol")) dev.nvmeVolumeId = dev.serial;
        if (wants(ZoInventoryOptions::IDENTITY)) trimmedAttrs(dev, facts.sysDir, {{"wwid", &ZoBlockDevice::wwid}});
    }

    // The paths of a namespace. A namespace of several controllers lies in
    // its subsystem's directory: its transport and state are its
    // controllers' (live while one of them is).
    void readNvmePaths(ZoBlockDevice& dev, const Facts& facts) {
        const std::vector<size_t>& paths = m_fabric.pathsOf(dev.name);
        if (wants(ZoInventoryOptions::NVME_PATHS)) dev.nvmePaths = paths;
        if (facts.sysDir.find("/nvme-subsystem/") == std::string::npos || paths.empty()) return;
        const ZoFabric& f = m_fabric.fabric();
        std::vector<const ZoNvmeController*> controllers;
        for (size_t p : paths)
            if (f.nvmePaths[p].controller != ZoFabric::npos)
                controllers.push_back(&f.nvmeControllers[f.nvmePaths[p].controller]);
        if (controllers.empty()) return;
        const std::string& transport = controllers.front()->transport;
        if (!transport.empty()) dev.transport = nvmeTransport(transport);
        if (!wants(ZoInventoryOptions::STATE)) return;
        dev.state = controllers.front()->state;
        for (const ZoNvmeController* c : controllers)
            if (c->state == "live") dev.state = c->state;
    }

    // Table, status and open count of a device-mapper device, when asked
    // for: a multipath map's paths and groups, a partition map's start.
    void readMapState(ZoBlockDevice& dev) {
        const bool whole = isWholeMapUuid(dev.dmUuid);
        const int partno = partitionMapNumber(dev.dmUuid);
        const bool table = whole ? wants(ZoInventoryOptions::MAP_STATE)
                                 : partno > 0 && wants(ZoInventoryOptions::PARTITION_START);
        if (!table && !wants(ZoInventoryOptions::OPEN_COUNT)) return;
        if (table && !whole) dev.start = ZoBlockDevice::unknownStart;  // until the table says
        ZoDmState state;
        const int rc = m_host.deviceMapperState(dev.major, dev.minor, &state);
        if (rc == ENOSYS || rc == ENOENT || rc == ENXIO) return;  // the host cannot tell
        if (rc != 0) {
            dev.problems.push_back(std::string("map state: ") + std::strerror(rc));
            return;
        }
        if (wants(ZoInventoryOptions::OPEN_COUNT)) dev.openCount = state.openCount;
        if (!table) return;
        if (whole) {
            if (!zo_inv::parseMultipathState(state, &dev.map))
                dev.problems.push_back("map state: the table is not a multipath table");
            return;
        }
        unsigned maj = 0, min = 0;
        if (!zo_inv::parseLinearTarget(state, &maj, &min, &dev.start))
            dev.problems.push_back("map state: the table is not one linear target");
    }

    void readPartitions(size_t diskAt, const std::vector<Found>& found) {
        std::vector<std::pair<int, size_t>> parts;
        for (const Found& f : found) {
            const ZoBlockDevice& disk = m_devices[diskAt];
            const std::string& dir = f.sysDir;
            std::string text;
            if (m_host.readAttr(dir + "/partition", &text) != 0) continue;  // not a partition
            ZoBlockDevice part;
            if (!readBlock(f, &part)) continue;
            part.partition = zo_sysfs::leadingInt(text);
            part.type = ZoBlockType::PART;
            if (wants(ZoInventoryOptions::PARTITION_START)) part.start = number(part, dir, "start");
            part.whole = diskAt;
            part.transport = disk.transport;
            for (auto field : {&ZoBlockDevice::driver, &ZoBlockDevice::hctl, &ZoBlockDevice::vendor,
                               &ZoBlockDevice::model, &ZoBlockDevice::revision, &ZoBlockDevice::state,
                               &ZoBlockDevice::fcNodeName, &ZoBlockDevice::wwid,
                               &ZoBlockDevice::serial, &ZoBlockDevice::nvmeVolumeId})
                part.*field = disk.*field;
            part.removable = disk.removable;
            part.fcRemotePort = disk.fcRemotePort;
            part.fcHostPort = disk.fcHostPort;
            part.iscsiSession = disk.iscsiSession;
            part.nvmePaths = disk.nvmePaths;
            Facts facts = m_facts[diskAt];
            facts.sysDir = dir;
            facts.slaveNames.clear();
            facts.nvmeDir = zo_kind::isNvmePlace(dir);
            parts.emplace_back(part.partition, m_devices.size());
            m_devices.push_back(std::move(part));
            m_facts.push_back(facts);
        }
        // Kernel partitions follow their disk in number order.
        std::stable_sort(parts.begin(), parts.end());
        std::vector<ZoBlockDevice> ordered;
        std::vector<Facts> orderedFacts;
        for (const auto& p : parts) {
            ordered.push_back(std::move(m_devices[p.second]));
            orderedFacts.push_back(std::move(m_facts[p.second]));
        }
        m_devices.resize(diskAt + 1);
        m_facts.resize(diskAt + 1);
        for (size_t i = 0; i < ordered.size(); ++i) {
            m_devices[diskAt].partitions.push_back(m_devices.size());
            m_devices.push_back(std::move(ordered[i]));
            m_facts.push_back(std::move(orderedFacts[i]));
        }
    }

    // Puts the disks, each followed by its partitions, in device-number
    // order: the order of a directory is not the same on a machine and on a
    // capture of it. disks: where each disk starts in m_devices.
    void orderByNumber(std::vector<size_t> disks) {
        std::vector<size_t> ends(m_devices.size());
        for (size_t k = 0; k < disks.size(); ++k)
            ends[disks[k]] = k + 1 < disks.size() ? disks[k + 1] : m_devices.size();
        std::stable_sort(disks.begin(), disks.end(), [this](size_t a, size_t b) {
            return numberKey(m_devices[a].major, m_devices[a].minor) <
                   numberKey(m_devices[b].major, m_devices[b].minor);
        });
        std::vector<size_t> moved(m_devices.size());
        std::vector<ZoBlockDevice> devices;
        std::vector<Facts> facts;
        devices.reserve(m_devices.size());
        facts.reserve(m_facts.size());
        for (size_t start : disks)
            for (size_t k = start; k < ends[start]; ++k) {
                moved[k] = devices.size();
                devices.push_back(std::move(m_devices[k]));
                facts.push_back(std::move(m_facts[k]));
            }
        for (ZoBlockDevice& d : devices) {
            if (d.whole != ZoBlockDevice::npos) d.whole = moved[d.whole];
            for (size_t& p : d.partitions) p = moved[p];
        }
        m_devices.swap(devices);
        m_facts.swap(facts);
    }

    void index() {
        for (size_t i = 0; i < m_devices.size(); ++i) {
            m_byName.emplace(m_devices[i].name, i);
            m_byNumber.emplace(numberKey(m_devices[i].major, m_devices[i].minor), i);
        }
    }

    // Slaves and holders both ways; partition maps as partitions of their map.
    void linkRelations() {
        for (size_t i = 0; i < m_devices.size(); ++i) {
            for (const std::string& slave : m_facts[i].slaveNames) {
                auto it = m_byName.find(slave);
                if (it == m_byName.end()) {
                    m_devices[i].problems.push_back("slaves: " + slave + " is no block device");
                    continue;
                }
                m_devices[i].slaves.push_back(it->second);
                m_devices[it->second].holders.push_back(i);
            }
            ZoBlockDevice& dev = m_devices[i];
            const int partno = partitionMapNumber(dev.dmUuid);
            if (partno > 0 && !dev.slaves.empty()) {
                dev.partition = partno;
                dev.whole = dev.slaves.front();
                m_devices[dev.whole].partitions.push_back(i);
            }
        }
        for (ZoBlockDevice& dev : m_devices) {
            // Devices are in number order; so are the devices above and below one.
            std::sort(dev.slaves.begin(), dev.slaves.end());
            std::sort(dev.holders.begin(), dev.holders.end());
            std::stable_sort(dev.partitions.begin(), dev.partitions.end(),
                             [this](size_t a, size_t b) {
                                 return m_devices[a].partition < m_devices[b].partition;
                             });
        }
    }

    // The kind of every device, decided by the kinds' rules from what was
    // read.
    void decideKinds() {
        std::vector<zo_kind::Device> kinds;
        kinds.reserve(m_devices.size());
        for (size_t i = 0; i < m_devices.size(); ++i) {
            const ZoBlockDevice& dev = m_devices[i];
            const Facts& facts = m_facts[i];
            std::string stray;
            for (const std::string& s : facts.slaveNames)
                if (!m_byName.count(s)) stray = s;
            kinds.push_back({dev.name, dev.major, facts.nvmeDir, facts.scsi, facts.dm, dev.dmUuid,
                             dev.slaves, stray, dev.transport == ZoTransport::XEN, dev.driver,
                             dev.partition > 0 && dev.whole != ZoBlockDevice::npos});
        }
        for (size_t i = 0; i < m_devices.size(); ++i) {
            zo_kind::Claim claim = zo_kind::claim(kinds, i, m_majors);
            m_devices[i].kind = claim.kind;
            m_devices[i].unclaimedReason = std::move(claim.unclaimedReason);
        }
    }

    ZoHost& m_host;
    const ZoInventoryOptions& m_options;
    ZoHostInventory* m_out;
    zo_fabric::Reader m_fabric;
    zo_kind::DriverMajors m_majors;
    std::set<std::string> m_mapperNodes;
    std::map<unsigned long long, ZoTransport> m_transports;  // by SCSI host
    bool m_scsiListed = false, m_scsiClass = false;          // /sys/class/scsi_device
    std::unordered_set<std::string> m_scsiDevices;           // its entries
    std::map<std::string, std::string> m_nodeNames;          // by "H:C:T"
    std::map<std::string, ZoBlockDevice> m_controllers;      // NVMe facts, by controller directory
    std::vector<ZoBlockDevice> m_devices;
    std::vector<Facts> m_facts;  // beside m_devices
    std::unordered_map<std::string, size_t> m_byName;
    std::unordered_map<uint64_t, size_t> m_byNumber;
};

const char* zoBlockTypeName(ZoBlockType type) {
    switch (type) {
    case ZoBlockType::DISK: return "disk";
    case ZoBlockType::PART: return "part";
    case ZoBlockType::MPATH: return "mpath";
    case ZoBlockType::DM: return "dm";
    case ZoBlockType::LVM: return "lvm";
    case ZoBlockType::CRYPT: return "crypt";
    case ZoBlockType::LOOP: return "loop";
    case ZoBlockType::ROM: return "rom";
    case ZoBlockType::RAID: return "md";
    }
    return "";
}

const char* zoTransportName(ZoTransport transport) {
    switch (transport) {
    case ZoTransport::NONE: return "";
    case ZoTransport::FC: return "fc";
    case ZoTransport::ISCSI: return "iscsi";
    case ZoTransport::SAS: return "sas";
    case ZoTransport::SPI: return "spi";
    case ZoTransport::SATA: return "sata";
    case ZoTransport::ATA: return "ata";
    case ZoTransport::USB: return "usb";
    case ZoTransport::NVME: return "nvme";
    case ZoTransport::TCP: return "tcp";
    case ZoTransport::RDMA: return "rdma";
    case ZoTransport::LOOP: return "loop";
    case ZoTransport::XEN: return "xen";
    case ZoTransport::VIRTIO: return "virtio";
    }
    return "";
}

ZoResult<ZoHostInventory> ZoHostInventory::read(const ZoInventoryOptions& options) {
    ZoHostInventory inventory;
    inventory.m_host = ZoHost::current();
    ZoInventoryReader reader(*inventory.m_host, options, &inventory);
    CLuError err;
    if (!reader.run(&err)) return err;
    return inventory;
}

size_t ZoHostInventory::byName(const std::string& kernelName) const {
    auto it = m_byName.find(kernelName);
    return it == m_byName.end() ? ZoBlockDevice::npos : it->second;
}

size_t ZoHostInventory::byNumber(unsigned major, unsigned minor) const {
    auto it = m_byNumber.find(numberKey(major, minor));
    return it == m_byNumber.end() ? ZoBlockDevice::npos : it->second;
}

size_t ZoHostInventory::find(const std::string& path) const {
    struct stat st;
    if (!m_host || m_host->stat(path, &st) != 0 || !S_ISBLK(st.st_mode)) return ZoBlockDevice::npos;
    return byNumber(::major(st.st_rdev), ::minor(st.st_rdev));
}

std::vector<size_t> ZoHostInventory::roots() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < m_devices.size(); ++i) {
        const ZoBlockDevice& d = m_devices[i];
        // A map with partition maps is still the top of its stack.
        if (d.partition == 0 && std::all_of(d.holders.begin(), d.holders.end(),
                                            [&](size_t h) { return m_devices[h].whole == i; }))
            out.push_back(i);
    }
    return out;
}

ZoResult<std::string> ZoHostInventory::inquireWwid(const std::string& node, unsigned timeoutMs) {
    static const unsigned char cdb[6] = {0x12, 0x01, 0x83, 0x00, zo_identity::kPage83Allocation,
                                         0x00};
    unsigned char page[zo_identity::kPage83Allocation] = {0};
    unsigned char sense[32] = {0};
    ZoScsiCommand cmd;
    cmd.cdb = cdb;
    cmd.cdbLength = sizeof cdb;
    cmd.data = page;
    cmd.dataLength = sizeof page;
    cmd.direction = ZoScsiCommand::FROM_DEVICE;
    cmd.sense = sense;
    cmd.senseLength = sizeof sense;
    cmd.timeoutMs = timeoutMs;
    ZoScsiStatus status;
    const int rc = ZoHost::current()->scsiCommand(node, cmd, &status);
    // The kernel gives a command sent through a disk's block node at least
    // 7 s: that is what it waited.
    const unsigned kLeastTimeoutMs = 7000;
    const std::string told = status.message.empty() ? "" : " (" + status.message + ")";
    if (rc == ETIMEDOUT)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "timed out after %u s",
                                       (std::max(timeoutMs, kLeastTimeoutMs) + 999) / 1000);
    if (rc != 0)
        return FXErrorUtil::ErrorErrNo(FX_LOCATION, rc, "%s%s", std::strerror(rc), told.c_str());
    if (status.status != 0 || status.hostStatus != 0 || (status.driverStatus & ~0x08) != 0)
        return FXErrorUtil::ErrorWin32(FX_LOCATION, ZO_ERROR_CODE,
                                       "SCSI status %d, transport status %d, driver status %d%s",
                                       status.status, status.hostStatus, status.driverStatus,
                                       told.c_str());
    const int residual = std::max(0, std::min(status.residual, static_cast<int>(sizeof page)));
    return zo_identity::naaDesignator(page, sizeof page - static_cast<size_t>(residual));
}

size_t ZoHostInventory::mapOf(size_t index) const {
    for (size_t h : m_devices.at(index).holders)
        if (isWholeMapUuid(m_devices[h].dmUuid)) return h;
    return ZoBlockDevice::npos;
}
