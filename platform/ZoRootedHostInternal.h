// SPDX-License-Identifier: LGPL-2.1-or-later
// The parts of the rooted host (docs/host-trees.md), one concern each:
//   - RootResolver: paths resolved and opened inside the root;
//   - device emulation: /dev nodes and SCSI INQUIRY from sysfs attributes;
//   - disk images: a disk's contents from the sectors a tree keeps.
// Not part of the library's interface.
#pragma once

#include "ZoHost.h"

#include <sys/stat.h>

#include <atomic>
#include <string>

namespace zohost {

// --- Paths inside the root ----------------------------------------------

// Resolves and opens machine paths inside a directory standing in for "/":
// symbolic links are followed, an absolute target from the root, a relative
// one from the link's directory; ".." never climbs above the root; more than
// 40 links give ELOOP. The kernel resolves (openat2 with RESOLVE_IN_ROOT),
// one system call per open; on a kernel without openat2, or when the host
// was made to, each path is resolved here component by component from the
// root's descriptor and the result opened without following links.
//
// Every open names what it opens for: a path (O_PATH), a directory, or a
// file's contents; only the last opens a file for reading or writing, and
// it never opens a block or character device node. Thread-safe.
//
// Reads take a shorter way where the process may make mounts: the root's
// mount is copied, detached from every namespace and private to this
// resolver, and marked nodev, so the kernel itself refuses to open any
// device node through it. A read-only open then is one openat2 on the copy
// that may not leave its mount (RESOLVE_NO_XDEV); whatever that refuses
// (a node, another mount in the tree, permissions) takes the checked way.
class RootResolver {
public:
    // How paths are resolved and opened: by the kernel, reads through a
    // nodev copy of the root's mount where one can be made (kNodevCopy) or
    // always checked (kKernel); or here, component by component (kHere).
    enum Resolution { kNodevCopy, kKernel, kHere };
    // dir's real path is the root; a root of "/" is the machine itself.
    RootResolver(const std::string& dir, Resolution how);
    ~RootResolver();
    RootResolver(const RootResolver&) = delete;
    RootResolver& operator=(const RootResolver&) = delete;

    const std::string& root() const { return m_root; }

    // A path resolved here: as the machine would show it (links resolved),
    // and relative to the root's descriptor.
    struct Resolved {
        std::string machine;
        std::string rel;
    };
    // Resolves path here. followLast: a link in the last place is followed
    // too. The last component need not exist.
    int resolve(const std::string& path, bool followLast, Resolved* out) const;
    // fstatat of a resolved path, its last component not followed.
    int statResolved(const Resolved& r, struct stat* st) const;

    // An O_PATH descriptor of path (extra: O_NOFOLLOW, O_DIRECTORY).
    int openPath(const std::string& path, int extra, int* fd);
    // A descriptor of the directory at path, for listing or syncing it.
    int openDir(const std::string& path, int* fd);
    // Opens the directory holding path's last component (O_PATH) and names
    // that component (a trailing slash kept).
    int openParent(const std::string& path, int* dirFd, std::string* name);
    // Opens path's contents with open(2) flags (O_CLOEXEC added), creating
    // a missing file with O_CREAT. A block or character device node is
    // never opened: it fails with EINVAL when opened read-only and with
    // EROFS otherwise. What the path leads to is checked on its O_PATH
    // descriptor and then opened through that descriptor, so nothing else
    // is opened. (Without /proc, and when a node appears at a missing path
    // while it is created, the check comes after the open and the node is
    // closed unused.)
    int openFile(const std::string& path, int flags, mode_t mode, int* fd);
    // access(2) and chmod(2) of the file at path, links followed.
    int access(const std::string& path, int mode);
    int chmod(const std::string& path, mode_t mode);

private:
    int openIn(const std::string& path, int flags, mode_t mode, int* fd);
    bool kernelResolves() const;
    int create(const std::string& path, int flags, mode_t mode, int* fd);
    int openChecked(const std::string& path, int flags, mode_t mode, int* fd);
    int openOnNodevCopy(const std::string& path, int flags, int* fd) const;

    std::string m_root;
    int m_rootFd = -1;
    int m_nodevRootFd = -1;  // the root on a nodev copy of its mount, or -1
    int m_rootErr = 0;
    std::atomic<bool> m_kernelResolves;
};

// The path of descriptor fd through /proc, for the calls that take no
// descriptor.
std::string procPath(int fd);
// Returns true iff path is written under /dev, where a path's final name
// decides what node it is.
bool isDevPath(const std::string& path);

// --- Device emulation ---------------------------------------------------

// The node at a path under /dev whose final resolved name is name, by a
// tree's rules: a real block or character node, link or directory in the
// tree (*present, null when the tree holds nothing there) is what it is;
// otherwise a block device when /sys/class/block/<name>/dev holds
// "MAJ:MIN", else a character device when some /sys/class/<class>/<name>/dev
// does; otherwise *present, or ENOENT.
int treeNodeStat(ZoHost& tree, const std::string& name, const struct stat* present, struct stat* st);

// Returns true iff the tree's sysfs shows the disk with number dev, or one
// of its partitions, held by another device (a device-mapper map over it).
bool heldByAnother(ZoHost& tree, dev_t dev);

// Answers a SCSI command sent to node (which stats as sb, a block or
// character device) from the tree's sysfs attributes, as
// ZoHost::scsiCommand: INQUIRY, its VPD pages and the list of them; any
// other command ends with CHECK CONDITION, ILLEGAL REQUEST.
int answerScsiCommand(ZoHost& tree, const std::string& node, const struct stat& sb,
                      const ZoScsiCommand& cmd, ZoScsiStatus* st);

// --- Disk images --------------------------------------------------------

// A descriptor of the image of the disk at node, whose first bytes are the
// file open on file (which must be a regular file, else EINVAL): with the
// pieces the tree keeps further on (ZoRootedHost::diskPiecePath) and zeros
// up to the size sysfs gives the disk, assembled in memory when there is
// more than the file. Takes file over: it is closed, or is the image.
// Returns 0, EINVAL when a piece's name is no offset, or the errno of the
// failure.
int openDiskImage(ZoHost& tree, const std::string& node, int file, int* image);

}  // namespace zohost
