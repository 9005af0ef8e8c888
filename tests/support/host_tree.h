// SPDX-License-Identifier: LGPL-2.1-or-later
// Building host trees for tests and benchmarks: a temporary directory that
// stands in for "/" (see docs/host-trees.md). No GoogleTest dependency.
#pragma once

#include "ZoHost.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zotest {

// The whole contents of a file of this machine; throws when it cannot be read.
std::string slurp(const std::string& realPath);
// The fields of text between separators (one more than there are separators).
std::vector<std::string> split(const std::string& text, char separator);
// The rows of a table file: fields separated by tabs, "\\n" in a field for a
// newline; blank lines and lines that begin with '#' are skipped. Each row
// has at least minFields fields (missing ones empty). A table without rows
// throws, as an unreadable file does.
std::vector<std::vector<std::string>> readTable(const std::string& realPath, size_t minFields);

class HostTree {
public:
    // A fresh, empty tree in a new temporary directory, removed on
    // destruction unless keep() was called.
    HostTree();
    // A fresh tree holding a copy of the tree (a directory) at copyOf.
    explicit HostTree(const std::string& copyOf);
    ~HostTree();
    HostTree(const HostTree&) = delete;
    HostTree& operator=(const HostTree&) = delete;

    const std::string& root() const { return m_root; }
    // Real location of a machine path (no link resolution): root + path.
    std::string at(const std::string& path) const;
    void keep() { m_owned = false; }

    // Plain tree edits at machine paths; parent directories are created.
    void write(const std::string& path, const std::string& contents);
    std::string read(const std::string& path) const;
    bool exists(const std::string& path) const;  // lstat
    void symlink(const std::string& target, const std::string& linkPath);
    void mkdir(const std::string& path);
    void remove(const std::string& path);  // file, link or whole directory

    // A block device as the kernel shows it in its sysfs directory sysDir
    // (e.g. "/sys/devices/virtual/block/dm-0"): dev and size attributes,
    // /sys/class/block, /sys/block and /sys/dev/block links and a
    // /proc/partitions line. No /dev node: the tree's rules make one.
    void addBlockDevice(const std::string& name, int major, int minor, uint64_t sectors, const std::string& sysDir);
    // A partition of a disk added with addBlockDevice, in the disk's sysfs
    // directory, with partition and start attributes.
    void addPartition(const std::string& disk, const std::string& name, int partno, int major, int minor,
                      uint64_t start, uint64_t sectors);
    // The sysfs directory of a block device name ("" when unknown).
    std::string sysDirOf(const std::string& name) const;

    // The device-mapper table and status of device major:minor, each target
    // as `dmsetup table` and `dmsetup status` print it ("0 2048 linear 8:16 0").
    void setDmState(unsigned major, unsigned minor, const std::vector<std::string>& table,
                    const std::vector<std::string>& status);
    // Answers a command line (exact text) run through the tree's host.
    void answerCommand(const std::string& command, int exitStatus, const std::string& out, const std::string& err = "");
    // The configuration store file (/etc/quorvel/config.ini).
    void setConfig(const std::string& iniText);

    // Installs a rooted host on this tree for the process until the guard
    // dies; then the previous host comes back.
    class Installed {
    public:
        Installed(std::shared_ptr<ZoHost> host, std::shared_ptr<ZoHost> previous)
            : m_host(std::move(host)), m_previous(std::move(previous)) {}
        ~Installed();
        Installed(Installed&&) = default;
        ZoRootedHost& host() const;
        std::shared_ptr<ZoHost> shared() const { return m_host; }

    private:
        std::shared_ptr<ZoHost> m_host;
        std::shared_ptr<ZoHost> m_previous;
    };
    Installed install();

private:
    std::string m_root;
    bool m_owned = true;
};

}  // namespace zotest
