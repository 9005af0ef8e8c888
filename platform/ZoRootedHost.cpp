// SPDX-License-Identifier: LGPL-2.1-or-later
// The rooted host: a directory tree standing in for "/" (a captured or
// synthetic machine). docs/host-trees.md gives the rules in full; the parts
// live apart (ZoRootedHostInternal.h):
//   - paths are resolved inside the root (ZoRootedPaths.cpp); nothing
//     outside it is ever touched, and no block or character device node is
//     ever opened;
//   - /dev nodes are made up from sysfs and SCSI INQUIRY is answered from
//     the device's sysfs attributes (ZoRootedDevices.cpp);
//   - a disk's image is its regular file, the further pieces in
//     /.zohost/disks/MAJ:MIN/<byte offset> and zeros up to the size sysfs
//     gives the disk (ZoRootedDisks.cpp);
//   - commands are answered from the table /.zohost/commands, device-mapper
//     state from /.zohost/dm/MAJ:MIN. Sleeps are recorded, not slept, and
//     move the clock on.
#include "ZoHost.h"

#include "ZoHostInternal.h"
#include "ZoRootedHostInternal.h"
#include "ZoStrings.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

using zohost::fail;
using zohost::sysResult;
using zohost::UniqueFd;

const char kClockFile[] = "/.zohost/clock";

bool isDeviceNode(const struct stat& st) { return S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode); }

class RootedHost final : public ZoRootedHost {
public:
    RootedHost(const std::string& dir, zohost::RootResolver::Resolution how) : m_paths(dir, how) {}
    RootedHost(const RootedHost&) = delete;
    RootedHost& operator=(const RootedHost&) = delete;

    const std::string& root() const override { return m_paths.root(); }

    std::vector<std::string> commandsRun() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_commands;
    }
    std::vector<unsigned long> sleepsMs() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_sleeps;
    }
    std::vector<std::string> rereads() override {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_rereads;
    }
    void setClock(time_t t) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_clockSet = true;
        m_clock = t;
        m_sleptMs = 0;
    }

    // --- Files and directories ------------------------------------------
    int stat(const std::string& path, struct stat* st) override { return statIn(path, true, st); }
    int lstat(const std::string& path, struct stat* st) override { return statIn(path, false, st); }
    int readlink(const std::string& path, std::string* target) override {
        UniqueFd f;
        if (int rc = m_paths.openPath(path, O_NOFOLLOW, &f.fd))
            return rc;
        const int rc = zohost::readLinkAt(f.fd, "", target);
        return rc == ENOENT ? fail(EINVAL) : rc;  // the path is no link
    }
    int access(const std::string& path, int mode) override {
        const int rc = m_paths.access(path, mode);
        struct stat st;
        if (rc == ENOENT && zohost::isDevPath(path) && devStat(path, true, &st) == 0)
            return 0;  // a node made up from sysfs
        return rc;
    }
    int listDir(const std::string& path, std::vector<std::string>* names) override {
        UniqueFd f;
        if (int rc = m_paths.openDir(path, &f.fd))
            return rc;
        // A tree keeps no order of its own (a capture cannot keep sysfs's, and
        // the file system holding the tree has another): names come sorted, so
        // a tree answers the same on every machine.
        const int rc = zohost::listDirFd(f.release(), names);
        if (rc == 0)
            std::sort(names->begin(), names->end());
        return rc;
    }
    int listLinks(const std::string& dir,
                  std::vector<std::pair<std::string, std::string>>* links) override {
        // The directory is resolved inside the root; a name in it is read
        // without following it, so no target leads outside.
        UniqueFd f;
        if (int rc = m_paths.openDir(dir, &f.fd))
            return rc;
        const int rc = zohost::listLinksFd(f.release(), links);
        if (rc == 0)
            std::sort(links->begin(), links->end());  // as listDir: sorted names
        return rc;
    }
    using ZoHost::readFile;
    int readFile(const std::string& path, std::string* contents, size_t maxBytes) override {
        UniqueFd f;
        if (int rc = m_paths.openFile(path, O_RDONLY | O_NONBLOCK, 0, &f.fd))
            return rc;
        return zohost::readRegularFd(f.fd, maxBytes, contents);
    }
    int openForWrite(const std::string& path, mode_t mode,
                     std::unique_ptr<ZoWritableFile>* file) override {
        int fd = -1;
        if (int rc = m_paths.openFile(path, O_WRONLY | O_CREAT | O_TRUNC, mode, &fd))
            return rc;
        *file = zohost::writableFile(fd);
        return 0;
    }
    int probeOpen(const std::string& path, int flags) override {
        UniqueFd f;
        const int rc = m_paths.openFile(path, flags, 0600, &f.fd);
        struct stat st;
        // A node under /dev, made up from sysfs or a real one, opens
        // read-only without being opened.
        if ((rc == ENOENT || rc == EINVAL || rc == EROFS) && !(flags & O_CREAT) && zohost::isDevPath(path) &&
            devStat(path, true, &st) == 0 && isDeviceNode(st))
            return (flags & O_ACCMODE) == O_RDONLY ? 0 : fail(EROFS);
        return rc;
    }
    int rename(const std::string& from, const std::string& to) override {
        UniqueFd a, b;
        std::string nameA, nameB;
        if (int rc = m_paths.openParent(from, &a.fd, &nameA))
            return rc;
        if (int rc = m_paths.openParent(to, &b.fd, &nameB))
            return rc;
        return sysResult(::renameat(a.fd, nameA.c_str(), b.fd, nameB.c_str()));
    }
    int chmod(const std::string& path, mode_t mode) override { return m_paths.chmod(path, mode); }
    int chown(const std::string& path, uid_t uid, gid_t gid) override {
        UniqueFd f;
        if (int rc = m_paths.openPath(path, 0, &f.fd))
            return rc;
        return sysResult(::fchownat(f.fd, "", uid, gid, AT_EMPTY_PATH));
    }
    // Through the descriptor of the file resolved inside the tree.
    int listXattrs(const std::string& path,
                   std::vector<std::pair<std::string, std::string>>* attrs) override {
        UniqueFd f;
        if (int rc = m_paths.openPath(path, 0, &f.fd))
            return rc;
        return zohost::listXattrsAt(zohost::procPath(f.fd), attrs);
    }
    int setXattr(const std::string& path, const std::string& name, const std::string& value) override {
        UniqueFd f;
        if (int rc = m_paths.openPath(path, 0, &f.fd))
            return rc;
        return zohost::setXattrAt(zohost::procPath(f.fd), name, value);
    }
    int unlink(const std::string& path) override {
        UniqueFd d;
        std::string name;
        if (int rc = m_paths.openParent(path, &d.fd, &name))
            return rc;
        return sysResult(::unlinkat(d.fd, name.c_str(), 0));
    }
    int mkdir(const std::string& path, mode_t mode) override {
        UniqueFd d;
        std::string name;
        if (int rc = m_paths.openParent(path, &d.fd, &name))
            return rc;
        return sysResult(::mkdirat(d.fd, name.c_str(), mode));
    }
    int symlink(const std::string& target, const std::string& linkPath) override {
        UniqueFd d;
        std::string name;
        if (int rc = m_paths.openParent(linkPath, &d.fd, &name))
            return rc;
        return sysResult(::symlinkat(target.c_str(), d.fd, name.c_str()));
    }
    int syncDir(const std::string& path) override {
        UniqueFd f;
        if (int rc = m_paths.openDir(path, &f.fd))
            return rc;
        return sysResult(::fsync(f.fd));
    }

    // --- Devices -----------------------------------------------------------
    int rereadPartitions(const std::string& node) override {
        struct stat st;
        if (int rc = stat(node, &st)) {
            errno = rc;
            return -1;
        }
        if (!S_ISBLK(st.st_mode)) {
            errno = ENOTTY;  // what BLKRRPART says of anything but a disk
            return -1;
        }
        if (zohost::heldByAnother(*this, st.st_rdev)) {
            errno = EBUSY;  // the kernel keeps the table of a disk in use
            return -1;
        }
        std::lock_guard<std::mutex> g(m_mutex);
        m_rereads.push_back(node);
        return 0;
    }
    int readPartitionTable(const std::string& node, std::vector<ZoHostPartition>* parts) override {
        UniqueFd f;
        if (int rc = openImage(node, &f.fd)) {
            errno = rc;
            return -1;  // a node made up from sysfs has no contents to read
        }
        return zohost::readPartitionTableFd(f.fd, parts);
    }
    int readDisk(const std::string& node, uint64_t offset, size_t length, std::string* data,
                 uint64_t* diskBytes) override {
        UniqueFd f;
        if (int rc = openImage(node, &f.fd))
            return rc;
        if (int rc = zohost::diskBytesFd(f.fd, diskBytes))
            return rc;
        return zohost::preadFd(f.fd, offset, length, data);
    }
    int scsiCommand(const std::string& node, const ZoScsiCommand& cmd, ZoScsiStatus* st) override {
        *st = ZoScsiStatus();
        struct stat sb;
        if (int rc = stat(node, &sb)) {
            st->message = "host tree cannot open " + node + ": " + std::strerror(rc);
            return fail(rc);
        }
        if (!isDeviceNode(sb)) {
            st->message = "host tree cannot send a SCSI command to " + node + ": not a device node";
            return fail(ENOTTY);
        }
        return zohost::answerScsiCommand(*this, node, sb, cmd, st);
    }
    int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) override {
        // A state file is as small as an attribute but for maps of very
        // many paths.
        std::string text;
        int rc = readFile(deviceMapperStatePath(major, minor), &text, kAttributeBytes);
        if (rc == EFBIG)
            rc = readFile(deviceMapperStatePath(major, minor), &text);
        if (rc == ENOENT) {
            // No state captured: say whether the tree shows such a device.
            return fail(exists("/sys/dev/block/" + zohost::devText(major, minor) + "/dm") ? ENOENT : ENXIO);
        }
        return rc != 0 ? rc : zohost::parseDmState(text, state);
    }

    // --- Processes, locks, time ------------------------------------------
    ZoCommandResult run(const std::string& command) override {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_commands.push_back(command);
        }
        ZoCommandResult result;
        result.started = true;
        std::string text;
        if (readFile(commandTablePath(), &text) == 0) {
            auto table = zohost::parseCommandTable(text);
            auto it = table.find(command);
            if (it != table.end()) {
                result.exitStatus = it->second.exitStatus;
                result.out = it->second.out;
                result.err = it->second.err;
                return result;
            }
        }
        result.exitStatus = 127;
        result.err = "no answer in host tree for: " + command;
        return result;
    }
    // multipathd's answers come from the tree's table; without one (or
    // without the request) no daemon listens.
    int askMultipathd(const std::string& request, std::string* reply, unsigned) override {
        std::string text;
        const int rc = readFile(multipathdTablePath(), &text);
        if (rc == ENOENT)
            return fail(ECONNREFUSED);
        if (rc != 0)
            return rc;
        auto table = zohost::parseCommandTable(text);
        auto it = table.find(request);
        if (it == table.end())
            return fail(ECONNREFUSED);
        *reply = it->second.out;
        return 0;
    }
    int lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) override {
        int fd = -1;
        if (int rc = m_paths.openFile(path, O_RDWR | O_CREAT, 0600, &fd))
            return rc;
        return zohost::lockFd(fd, lock);
    }
    void sleepMs(unsigned long ms) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_sleeps.push_back(ms);
        m_sleptMs += ms;
    }
    time_t now() override {
        time_t base = 0;
        bool fixed = false;
        unsigned long long slept = 0;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            fixed = m_clockSet;
            base = m_clock;
            slept = m_sleptMs;
        }
        if (!fixed) {
            std::string text;
            char* end = nullptr;
            if (readAttr(kClockFile, &text) == 0) {
                long long v = std::strtoll(text.c_str(), &end, 10);
                if (end != text.c_str()) {
                    fixed = true;
                    base = static_cast<time_t>(v);
                }
            }
        }
        if (!fixed)
            base = ::time(nullptr);
        return base + static_cast<time_t>(slept / 1000);
    }

private:
    int statIn(const std::string& path, bool follow, struct stat* st) {
        if (zohost::isDevPath(path))
            return devStat(path, follow, st);
        UniqueFd f;
        if (int rc = m_paths.openPath(path, follow ? 0 : O_NOFOLLOW, &f.fd))
            return rc;
        return sysResult(::fstat(f.fd, st));
    }

    // stat of a path under /dev by the tree's node rules.
    int devStat(const std::string& path, bool follow, struct stat* st) {
        zohost::RootResolver::Resolved r;
        if (int rc = m_paths.resolve(path, follow, &r))
            return rc;
        if (r.machine.compare(0, 5, "/dev/") != 0)
            return m_paths.statResolved(r, st);
        struct stat real;
        const bool present = m_paths.statResolved(r, &real) == 0;
        return zohost::treeNodeStat(*this, zo_str::baseName(r.machine), present ? &real : nullptr, st);
    }

    // A descriptor of the disk image at node (the tree never opens a
    // device node: one that is there has no contents).
    int openImage(const std::string& node, int* fd) {
        int file = -1;
        if (int rc = m_paths.openFile(node, O_RDONLY | O_NONBLOCK, 0, &file))
            return rc;
        return zohost::openDiskImage(*this, node, file, fd);
    }

    zohost::RootResolver m_paths;
    std::mutex m_mutex;  // guards the records and the clock below
    std::vector<std::string> m_commands;
    std::vector<unsigned long> m_sleeps;
    std::vector<std::string> m_rereads;
    bool m_clockSet = false;
    time_t m_clock = 0;
    unsigned long long m_sleptMs = 0;
};

}  // namespace

std::shared_ptr<ZoHost> ZoHost::makeRooted(const std::string& dir) {
    return std::make_shared<RootedHost>(dir, zohost::RootResolver::kNodevCopy);
}

std::shared_ptr<ZoRootedHost> zohost::makeRootedAlwaysChecking(const std::string& dir) {
    return std::make_shared<RootedHost>(dir, zohost::RootResolver::kKernel);
}

std::shared_ptr<ZoRootedHost> zohost::makeRootedResolvingHere(const std::string& dir) {
    return std::make_shared<RootedHost>(dir, zohost::RootResolver::kHere);
}
