// SPDX-License-Identifier: LGPL-2.1-or-later
// The whole host in one pass: every block device the kernel shows, read once
// through ZoHost into one flat list, with its relations as indexes into that
// list and the facts a whole-host view needs.
//
// Reading is not touching: taking an inventory never re-reads a partition
// table, never waits for udev, never runs a command and, unless asked to in
// ZoInventoryOptions, sends no I/O to any device. Identity (WWID, serial)
// comes from what the kernel already holds (vpd_pg83, vpd_pg80, wwid and
// serial attributes); device-mapper tables and status come from
// ZoHost::deviceMapperState.
//
// Cost: linear in the number of block devices, a handful of sysfs reads each;
// a caller that needs only some facts asks for those (ZoInventoryOptions::facts)
// and pays for no others.
//
// An inventory is a snapshot: it is not updated afterwards. It may be read
// from several threads at once.
#pragma once

#include "CLuError.h"
#include "ZoDevice.h"
#include "ZoExport.h"
#include "ZoFabric.h"
#include "ZoResult.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class ZoHost;

// What a block device is. Its text (ZoBlockDevice::typeName()) is lsblk's
// word: "disk", "part", "mpath", "dm", "lvm", "crypt", "loop", "rom", and for
// a software RAID device its level ("raid1", ...; "md" when unknown).
enum class ZoBlockType : uint8_t { DISK, PART, MPATH, DM, LVM, CRYPT, LOOP, ROM, RAID };

// How a device is attached; NONE when unknown. Its text (zoTransportName)
// is lsblk's word: "fc", "iscsi", "sas", "spi", "sata", "ata", "usb",
// "nvme" (NVMe over PCIe), "tcp", "rdma", "loop" (NVMe over fabrics), "xen",
// "virtio"; "" for NONE.
enum class ZoTransport : uint8_t { NONE, FC, ISCSI, SAS, SPI, SATA, ATA, USB, NVME, TCP, RDMA, LOOP, XEN, VIRTIO };

// The text of a type other than RAID ("md" for RAID) and of a transport.
ZODEVICE_API const char* zoBlockTypeName(ZoBlockType type);
ZODEVICE_API const char* zoTransportName(ZoTransport transport);

// One path of a multipath map as device-mapper reports it.
struct ZoMapPath {
    unsigned major = 0;
    unsigned minor = 0;
    int group = 0;              // the 1-based number of its path group
    std::string dmState;        // "active" or "failed"; empty when unknown
    unsigned failCount = 0;
};

// One path group of a multipath map.
struct ZoMapGroup {
    int number = 0;             // 1-based, in table order
    std::string state;          // "active", "enabled" or "disabled"; empty when unknown
    std::string selector;       // path selector with its arguments, e.g. "service-time 0"
};

// What device-mapper says of a multipath map.
struct ZoMapState {
    bool known = false;         // false: the host gave no table or status
    bool queueIfNoPath = false;
    std::string features;       // the table's feature arguments, e.g. "1 queue_if_no_path"
    std::string hardwareHandler;   // e.g. "alua"; empty for none
    std::vector<ZoMapGroup> groups;
    std::vector<ZoMapPath> paths;   // in table order
};

// One block device. Relations are indexes into ZoHostInventory::devices().
struct ZoBlockDevice {
    static constexpr size_t npos = static_cast<size_t>(-1);
    // start of a partition map whose table the host does not give.
    static constexpr uint64_t unknownStart = static_cast<uint64_t>(-1);

    std::string name;           // kernel name: "sdb", "dm-0", "nvme0n1p1", "vda"
    std::string path;           // the node a caller uses: "/dev/sdb"; a device-mapper
                                // device with a mapper node "/dev/mapper/<dm name>"
    unsigned major = 0;
    unsigned minor = 0;
    uint64_t sectors = 0;       // size in 512-byte sectors
    bool readOnly = false;
    bool removable = false;
    ZoBlockType type = ZoBlockType::DISK;
    std::string raidLevel;      // RAID: its md/level ("raid1", "raid5", ...)
    // The kind of this library that claims the device (what
    // ZoDeviceTree::getDevice would build for path); NONE when no kind does.
    ZoDevice::TYPE kind = ZoDevice::NONE;
    // Why no kind claims it (kind NONE only), e.g. "virtio_blk disks are not
    // a kind of this library".
    std::string unclaimedReason;
    std::string driver;         // the driver bound to the device, e.g. "sd", "virtio_blk"
    ZoTransport transport = ZoTransport::NONE;

    // Partitions (kernel partitions and device-mapper partition maps).
    int partition = 0;          // the partition number; 0 for a whole device
    uint64_t start = 0;         // first sector of a partition on its disk or map;
                                // unknownStart when its map's table is not known
    size_t whole = npos;        // a partition's disk or map
    std::vector<size_t> partitions;   // by partition number

    // Stacking, as sysfs holders/ and slaves/ show it.
    std::vector<size_t> holders;
    std::vector<size_t> slaves;

    // Device-mapper devices.
    std::string dmName;
    std::string dmUuid;
    ZoMapState map;             // multipath maps only

    // SCSI devices (and what other disks have of these); a partition
    // carries its disk's facts (these, driver, transport and identity).
    // Texts are trimmed of blanks. SCSI vendor, model and revision come from
    // the INQUIRY response the kernel keeps (device/inquiry) where it holds
    // them, else from device/vendor, model and rev: the same texts.
    std::string hctl;           // "1:0:0:2"
    std::string vendor;         // virtio: the PCI vendor id, "0x1af4"
    std::string model;          // NVMe: the controller's
    std::string revision;       // NVMe: the controller's firmware revision
    std::string state;          // device/state: "running", "offline", ... (NVMe: the
                                // controller's state, "live", ...; a namespace of
                                // several controllers: "live" while one of them
                                // is, else the first one's; device-mapper:
                                // "running" or "suspended")
    std::string fcNodeName;     // of the remote port, for Fibre Channel paths

    // Identity, from the kernel's attributes.
    // SCSI: as GetDeviceWwid gives it ("3" and the NAA designator) from
    // device/vpd_pg83; without one, from device/wwid written the same way
    // ("naa.X" "3x", "eui.X" "2x", "t10.X" "1X"). Multipath map: its uuid
    // without "mpath-". NVMe: the namespace's wwid attribute as it is.
    std::string wwid;
    std::string serial;         // SCSI: vpd_pg80; NVMe: the controller's; virtio: serial
    std::string nvmeVolumeId;   // NVMe: the cloud volume id of its serial, if any

    // The fabric under it, as indexes into ZoHostInventory::fabric(); a
    // partition carries its disk's. A SCSI device reached through a Fibre
    // Channel remote port (and the host port that sees it), or through an
    // iSCSI session; npos when none.
    size_t fcRemotePort = npos;
    size_t fcHostPort = npos;
    size_t iscsiSession = npos;
    // An NVMe namespace: its paths, one per controller it is reached
    // through (a namespace of one controller has one, itself).
    std::vector<size_t> nvmePaths;
    // A path of a multipath map, as multipathd checks it.
    ZoPathHealth health;

    // What is on the device, as lsblk shows it, without touching the
    // device. Where it is mounted, in /proc/self/mountinfo's order (a mount
    // whose file system reports no device number, as btrfs does, by its
    // source), and "[SWAP]" where /proc/swaps lists it (MOUNTS).
    std::vector<std::string> mountpoints;
    // What udev's probe found on it (/run/udev/data/bMAJ:MIN): the type of
    // its file system or other contents ("ext4", "LVM2_member",
    // "mpath_member", ...), its label and its UUID (FILESYSTEM).
    std::string fsType;
    std::string fsLabel;
    std::string fsUuid;
    // Device-mapper devices: how many times the device is open (each mount,
    // swap area, process and device stacked on it counts once); -1 when
    // not known (OPEN_COUNT).
    int openCount = -1;

    // Facts that could not be read (a vanished device, an unreadable
    // attribute), one "<what>: <why>" each. The rest of the entry stands.
    std::vector<std::string> problems;

    // lsblk's words for type and transport.
    std::string typeName() const {
        return type == ZoBlockType::RAID && !raidLevel.empty() ? raidLevel : zoBlockTypeName(type);
    }
    const char* transportName() const { return zoTransportName(transport); }
};

struct ZoInventoryOptions {
    // Facts a caller may leave unread, one bit each. What every view needs
    // is always read: name, path, numbers, size, read-only flag, type, kind
    // (and why none claims a device), driver, transport, HCTL, partitions
    // and their numbers, holders and slaves, device-mapper name and uuid,
    // and the problems met while reading the facts asked for.
    enum Fact : unsigned {
        PRODUCT = 1u << 0,          // vendor, model, revision
        STATE = 1u << 1,            // state
        IDENTITY = 1u << 2,         // wwid
        SERIAL = 1u << 3,           // serial, nvmeVolumeId
        REMOVABLE = 1u << 4,        // removable
        MAP_STATE = 1u << 5,        // map: a multipath map's table and status
        FC_NODE_NAME = 1u << 6,     // fcNodeName
        PARTITION_START = 1u << 7,  // start (of a partition map: from its table)
        FC_PORTS = 1u << 8,         // fcRemotePort, fcHostPort; fabric() FC host and remote ports
        ISCSI_SESSIONS = 1u << 9,   // iscsiSession; fabric() iSCSI sessions
        NVME_PATHS = 1u << 10,      // nvmePaths; fabric() NVMe subsystems, controllers, paths
        PATH_HEALTH = 1u << 11,     // health: asks multipathd, when it runs (no process is run)
        MOUNTS = 1u << 12,          // mountpoints
        FILESYSTEM = 1u << 13,      // fsType, fsLabel, fsUuid
        OPEN_COUNT = 1u << 14,      // openCount
        ALL_FACTS = ~0u,
    };
    // The facts to read, a set of Fact bits. The fields of a fact left out
    // stay empty ("", false, 0, a map state not known) and cost no read.
    unsigned facts = ALL_FACTS;

    // When the kernel holds no identity for a SCSI device (and IDENTITY is
    // asked for), ask the device with an INQUIRY (page 0x83), waiting at
    // most inquiryTimeoutMs.
    bool inquireMissingIdentity = false;
    unsigned inquiryTimeoutMs = 3000;

    // How long multipathd may take to answer (PATH_HEALTH).
    unsigned multipathdTimeoutMs = 2000;
};

class ZODEVICE_API ZoHostInventory {
public:
    // Reads every block device of the current host (ZoHost::current()) once.
    // Returns the inventory, or the error when the host shows no block layer
    // at all (the errno of listing /sys/block). A device that vanishes while
    // it is read is left out.
    static ZoResult<ZoHostInventory> read(const ZoInventoryOptions& options = ZoInventoryOptions());

    // Every block device: the disks in device-number order, each followed by
    // its partitions. (The order is the same on a machine and on a capture of
    // it; holders, slaves and partitions are in the same order.)
    const std::vector<ZoBlockDevice>& devices() const { return m_devices; }
    const ZoBlockDevice& at(size_t index) const { return m_devices.at(index); }
    // The fabric endpoints of the host (those of the fact bits asked for).
    const ZoFabric& fabric() const { return m_fabric; }

    // Index of the device with this kernel name or number, or npos.
    size_t byName(const std::string& kernelName) const;
    size_t byNumber(unsigned major, unsigned minor) const;
    // Index of the device a path names (a node, a /dev/mapper or by-id link;
    // its device number asked of the host the inventory was read from), or
    // npos.
    size_t find(const std::string& path) const;

    // Devices that are no partition and that nothing but their own
    // partitions holds (a map with partition maps is the top of its stack):
    // where a tree of the host starts, in devices() order.
    std::vector<size_t> roots() const;
    // The multipath map that holds the device at index (one of its paths),
    // or npos.
    size_t mapOf(size_t index) const;

    // Asks the SCSI device at node (on the current host) for INQUIRY page
    // 0x83, waiting at most timeoutMs (the kernel gives a command sent
    // through a disk's block node at least 7 s). Returns the WWID as
    // GetDeviceWwid gives it ("" when the page holds no logical-unit NAA
    // designator), without echoing it; or the error, its text in the user's
    // words ("timed out after 7 s", "No such device or address", ...) and
    // its code the errno (ETIMEDOUT, ENXIO, ...) or 774 for a SCSI status.
    static ZoResult<std::string> inquireWwid(const std::string& node, unsigned timeoutMs);

private:
    std::shared_ptr<ZoHost> m_host;  // the host read; null for an empty inventory
    std::vector<ZoBlockDevice> m_devices;
    ZoFabric m_fabric;
    std::unordered_map<std::string, size_t> m_byName;
    std::unordered_map<uint64_t, size_t> m_byNumber;
    friend class ZoInventoryReader;
};
