// SPDX-License-Identifier: LGPL-2.1-or-later
// The storage fabric under the disks, as the kernel shows it in sysfs: Fibre
// Channel host ports and remote ports, iSCSI sessions, NVMe subsystems,
// controllers and the paths of each namespace; and what multipathd says of
// each path it checks. The host inventory reads it when asked
// (ZoInventoryOptions fact bits) and links every disk to its endpoints.
//
// Plain values: texts are the kernel's, trimmed of blanks, "" when the kernel
// has no such attribute. Relations are indexes into the tables of ZoFabric,
// npos when there is none. Facts that could not be read are listed in the
// entry's problems ("<attribute>: <why>"); the rest of the entry stands.
#pragma once

#include "ZoExport.h"

#include <cstddef>
#include <string>
#include <vector>

// A Fibre Channel port of this host (class fc_host).
struct ZoFcHostPort {
    std::string name;          // its SCSI host: "host3"
    std::string portName;      // WWPN: "0x10000090fa1b2c3d"
    std::string nodeName;      // WWNN
    std::string portState;     // "Online", "Linkdown", "Offline", ...
    std::string speed;         // "16 Gbit", "unknown"
    std::string fabricName;
    std::string portId;        // "0x010200"
    std::string portType;      // "NPort (fabric via point-to-point)", ...
    std::vector<std::string> problems;
};

// A remote Fibre Channel port seen by a host port (class fc_remote_ports).
struct ZoFcRemotePort {
    std::string name;          // "rport-3:0-2"
    std::string host;          // the host port it is seen by: "host3"
    std::string portName;      // WWPN
    std::string nodeName;      // WWNN
    std::string portState;     // "Online", "Blocked", "Not Present", ...
    std::string roles;         // "FCP Target", ...
    std::string portId;
    std::vector<std::string> problems;
};

// An iSCSI session and its (first) connection (classes iscsi_session,
// iscsi_connection, iscsi_host).
struct ZoIscsiSession {
    std::string name;          // "session1"
    unsigned sid = 0;          // 1
    std::string host;          // the SCSI host it made: "host2"
    std::string targetName;    // the target's IQN
    // Where the connection goes, "address:port" ("[address]:port" for IPv6):
    // the current address, or the persistent one while not connected.
    std::string portal;
    std::string persistentPortal;
    std::string tpgt;          // target portal group tag
    std::string state;         // "LOGGED_IN", "FAILED", "FREE"
    std::string connectionState;   // "up", "down", "failed", "bound"; "" on older kernels
    std::string initiatorName;
    std::string iface;         // the open-iscsi interface: "default"
    std::vector<std::string> problems;
};

// An NVMe subsystem (class nvme-subsystem).
struct ZoNvmeSubsystem {
    static constexpr size_t npos = static_cast<size_t>(-1);
    std::string name;          // "nvme-subsys0"
    std::string nqn;
    std::string model;
    std::string serial;
    std::string firmware;
    std::string iopolicy;      // "numa", "round-robin", ...; "" without native multipath
    std::vector<size_t> controllers;   // into ZoFabric::nvmeControllers, by name
    std::vector<std::string> problems;
};

// An NVMe controller (class nvme).
struct ZoNvmeController {
    static constexpr size_t npos = static_cast<size_t>(-1);
    std::string name;          // "nvme0"
    std::string transport;     // "pcie", "tcp", "rdma", "fc", "loop"
    // The address as the kernel gives it: "traddr=10.0.0.5,trsvcid=4420,..."
    // for fabrics, the PCI address for PCIe; and its parts ("" when absent;
    // for PCIe traddr is the PCI address).
    std::string address;
    std::string traddr;
    std::string trsvcid;
    std::string hostTraddr;    // host_traddr, else src_addr
    std::string state;         // "live", "connecting", "resetting", "deleting", "dead", "new"
    std::string cntlid;
    std::string subsysNqn;
    std::string model;
    std::string serial;
    std::string firmware;
    size_t subsystem = npos;   // into ZoFabric::nvmeSubsystems
    std::vector<std::string> problems;
};

// One way to an NVMe namespace: a path device (nvme0c1n1) under a
// multipath namespace (nvme0n1), or, for a namespace reached through one
// controller only, the namespace itself.
struct ZoNvmePath {
    static constexpr size_t npos = static_cast<size_t>(-1);
    std::string name;          // "nvme0c1n1", or "nvme0n1"
    std::string nameSpace;     // the namespace's block device: "nvme0n1"
    size_t controller = npos;  // into ZoFabric::nvmeControllers
    // "optimized", "non-optimized", "inaccessible", "persistent-loss",
    // "change"; "" when the controller reports no ANA state.
    std::string anaState;
    std::vector<std::string> problems;
};

// What multipathd says of a path it checks.
struct ZoPathHealth {
    bool known = false;        // false: not asked, no multipathd, or it does not know the path
    std::string checker;       // "ready", "faulty", "shaky", "ghost", "i/o pending", "delayed", ...
    std::string dmState;       // "active", "failed", "undef"
    int priority = -1;         // -1 when it has none
};

// Every fabric endpoint of the host, in name order within each table.
struct ZODEVICE_API ZoFabric {
    static constexpr size_t npos = static_cast<size_t>(-1);
    std::vector<ZoFcHostPort> fcHosts;
    std::vector<ZoFcRemotePort> fcRemotePorts;
    std::vector<ZoIscsiSession> iscsiSessions;
    std::vector<ZoNvmeSubsystem> nvmeSubsystems;
    std::vector<ZoNvmeController> nvmeControllers;
    std::vector<ZoNvmePath> nvmePaths;   // by namespace, then by controller

    // Index of the entry with this name, or npos.
    size_t fcHost(const std::string& name) const;
    size_t nvmeController(const std::string& name) const;
};
