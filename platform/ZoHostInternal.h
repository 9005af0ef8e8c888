// SPDX-License-Identifier: LGPL-2.1-or-later
// Pieces shared by the live host and the rooted host, and the host-tree
// formats' readers. Not part of the library's interface.
#pragma once

#include "ZoHost.h"

#include <map>
#include <string>
#include <vector>

namespace zohost {

// The components of path, without empty ones and "." (no file system is
// asked; zo_str has the other path text helpers).
std::vector<std::string> splitPath(const std::string& path);

// The one errno mapper: for a libc result rc (-1 with errno set on failure)
// returns 0 or the errno value, and leaves errno set to it.
int sysResult(int rc);
// Sets errno to err and returns it (err 0 gives 0).
int fail(int err);

// Operations on open descriptors, shared by both hosts (each host opens the
// path its own way). Each returns 0 on success, otherwise the errno value
// (errno set). None closes fd unless it says so.
//
// The contents of the regular file open on fd, as ZoHost::readFile.
int readRegularFd(int fd, size_t maxBytes, std::string* contents);
// The entries of the directory open on fd (not "." and ".."); closes fd.
int listDirFd(int fd, std::vector<std::string>* names);
// The links of the directory open on fd (O_RDONLY), as ZoHost::listLinks
// gives them in directory order; closes fd.
int listLinksFd(int fd, std::vector<std::pair<std::string, std::string>>* links);
// The extended attributes of the file at path (a path the kernel resolves:
// the machine's, or /proc/self/fd/N), as ZoHost::listXattrs.
int listXattrsAt(const std::string& path, std::vector<std::pair<std::string, std::string>>* attrs);
// Sets one, as ZoHost::setXattr.
int setXattrAt(const std::string& path, const std::string& name, const std::string& value);
// A file that writes to fd and closes it.
std::unique_ptr<ZoWritableFile> writableFile(int fd);
// Waits for an exclusive lock on fd; the lock then owns fd. On failure fd is
// closed.
int lockFd(int fd, std::unique_ptr<ZoHostLock>* lock);
// The size of the disk or image open on fd (a block device or a regular
// file; EINVAL for anything else).
int diskBytesFd(int fd, uint64_t* bytes);
// Up to length bytes at offset (fewer only at the end of the file).
int preadFd(int fd, uint64_t offset, size_t length, std::string* data);
// Reads the partition table of the disk or image open on fd with libblkid.
// Returns 0 and the partitions in table order, or -1 with errno set when
// there is no readable table.
int readPartitionTableFd(int fd, std::vector<ZoHostPartition>* parts);
// Asks the multipathd of this machine over its socket (ZoHost::askMultipathd).
int askMultipathdSocket(const std::string& request, std::string* reply, unsigned timeoutMs);
// The whole target of the link name in the directory open on dirfd
// (AT_FDCWD: the current directory; "" with a descriptor opened O_PATH |
// O_NOFOLLOW on the link itself), however long.
int readLinkAt(int dirfd, const char* name, std::string* target);
// Closes fd, keeping errno.
void closeQuietly(int fd);

// Owns a descriptor and closes it at the end of a scope.
struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    ~UniqueFd() {
        if (fd >= 0)
            closeQuietly(fd);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    // Hands the descriptor over; the object then owns none.
    int release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};
// Sleeps for ms milliseconds, resuming after signals.
void sleepRealMs(unsigned long ms);

// A rooted host that resolves every path itself, component by component, as
// it does where the kernel cannot resolve inside a root (no openat2).
std::shared_ptr<ZoRootedHost> makeRootedResolvingHere(const std::string& dir);
// A rooted host whose reads always take the checked way, as where the
// process may not make mounts.
std::shared_ptr<ZoRootedHost> makeRootedAlwaysChecking(const std::string& dir);

}  // namespace zohost

namespace zohost {

// The answer a host tree gives to one command line.
struct CommandAnswer {
    int exitStatus = 0;
    std::string out;
    std::string err;
};

// "MAJ:MIN": a device number as sysfs writes it and as host trees name
// their files.
std::string devText(unsigned major, unsigned minor);
// The directory of the pieces a host tree keeps of the disk with this
// number, "/.zohost/disks/MAJ:MIN" (ZoRootedHost::diskPiecePath).
std::string diskPiecesDir(unsigned major, unsigned minor);
// Returns true iff text is a decimal number of digits only that fits in 64
// bits, and then sets *value.
bool parseDecimal(const std::string& text, uint64_t* value);
// Returns true iff text is "MAJ:MIN" exactly (each part fitting in 32
// bits), as sysfs writes a dev attribute, and then sets *dev.
bool parseDevNumber(const std::string& text, dev_t* dev);

// Parses a host tree's command table (format: docs/host-trees.md). A later
// block for the same command replaces an earlier one.
std::map<std::string, CommandAnswer> parseCommandTable(const std::string& text);
// One block of the command table answering command; parseCommandTable gives
// back exactly out and err. On failure (a command line holding a newline
// cannot be written) returns false and leaves *block untouched.
bool formatCommandAnswer(const std::string& command, const CommandAnswer& answer,
                         std::string* block);

// Parses a host tree's device-mapper state file (format: docs/host-trees.md;
// ZoRootedHost::formatDeviceMapperState writes it). Returns 0, or EINVAL at
// the first line it cannot read (*state then untouched).
int parseDmState(const std::string& text, ZoDmState* state);

}  // namespace zohost
