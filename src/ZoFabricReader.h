// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading the storage fabric (ZoFabric.h) through ZoHost: each kind of
// endpoint from its sysfs class, every endpoint read once, so that the cost
// grows with the number of endpoints and not with the disks they carry.
// Library-internal.
#pragma once

#include "ZoFabric.h"
#include "ZoHost.h"

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace zo_fabric {

class Reader {
public:
    explicit Reader(ZoHost& host) : m_host(host) {}

    // Each reads one kind of endpoint into the tables; call each at most
    // once, then finish().
    void readFc();      // /sys/class/fc_host, /sys/class/fc_remote_ports
    void readIscsi();   // /sys/class/iscsi_session, /sys/class/iscsi_connection
    void readNvme();    // /sys/class/nvme-subsystem, /sys/class/nvme, path devices
    // Sorts the tables by name and links them. Call once, before the
    // questions below.
    void finish();

    // The remote port or session the SCSI device whose sysfs directory is
    // deviceDir (under /sys/devices) is reached through, or npos.
    size_t remotePortOf(const std::string& deviceDir) const;
    size_t sessionOf(const std::string& deviceDir) const;
    // The paths of the NVMe namespace with this kernel name ("nvme0n1"),
    // indexes into nvmePaths; none when it has no path the reader saw.
    const std::vector<size_t>& pathsOf(const std::string& nameSpace) const;

    const ZoFabric& fabric() const { return m_fabric; }
    ZoFabric take() { return std::move(m_fabric); }

private:
    template <class Entry>
    void attrs(Entry& e, const std::string& dir,
               std::initializer_list<std::pair<const char*, std::string Entry::*>> fields);
    bool attr(std::vector<std::string>& problems, const std::string& path, std::string* value);
    std::vector<std::pair<std::string, std::string>> classEntries(const std::string& cls);
    void readConnections();
    void readNvmeSubsystems();
    void readControllerPaths(const std::string& dir, const std::string& controller);

    ZoHost& m_host;
    ZoFabric m_fabric;
    std::unordered_map<std::string, size_t> m_rports, m_sessions;
    std::unordered_map<std::string, std::vector<size_t>> m_paths;   // by namespace
    std::map<std::string, std::vector<std::string>> m_subsystemControllers;
    std::map<std::string, std::string> m_pathControllers;            // path name -> controller
};

// True iff a sorts before b when the digit runs in both are compared as
// numbers ("session2" before "session10").
bool naturalLess(const std::string& a, const std::string& b);

// Splits an NVMe controller's address ("traddr=..,trsvcid=..,host_traddr=..",
// or a PCI address for PCIe) into c's traddr, trsvcid and hostTraddr.
void splitNvmeAddress(const std::string& address, ZoNvmeController* c);

// The request that asks multipathd for every path's device number, device-
// mapper state, priority and checker state, and the parser of its reply
// (one line per path), by "MAJ:MIN". Lines that are not of that shape are
// skipped.
extern const char kPathHealthRequest[];
std::map<std::string, ZoPathHealth> parsePathHealth(const std::string& reply);

}  // namespace zo_fabric
