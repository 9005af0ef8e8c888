// SPDX-License-Identifier: LGPL-2.1-or-later
// ZoHost: the one door between the library and the machine.
//
// Every touch of the host (files, directories, links, device requests,
// processes, locks, sleeping, the clock) goes through the current ZoHost.
// Paths are always written as the machine shows them ("/sys/block/sdb",
// "/dev/sdb"); a host decides where they really live.
//
// Two hosts exist:
//   - the live host: the real machine at "/";
//   - a rooted host: a directory tree that stands in for "/" (a captured or
//     synthetic machine, see docs/host-trees.md).
// ZoHost::setRoot() selects one for the whole process.
//
// Results: every operation that can fail returns 0 on success, or the errno
// value of the failure (and leaves errno set to it), unless it says otherwise.
//
// Thread safety: hosts are safe to use from several threads at once.
// setRoot()/install() must not race with lookups that are in progress.
#pragma once

#include "ZoExport.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

// A file opened for writing. Not shared between threads.
class ZODEVICE_API ZoWritableFile {
public:
    virtual ~ZoWritableFile() = default;
    // Writes all of data; a short write is a failure (ENOSPC if the system
    // gave no reason).
    virtual int append(const char* data, size_t len) = 0;
    int append(const std::string& s) { return append(s.data(), s.size()); }
    // Makes the contents durable (fsync).
    virtual int sync() = 0;
    // Closes the file. Further calls fail with EBADF. The destructor closes
    // a file that is still open and ignores the result.
    virtual int close() = 0;
};

// An exclusive lock on a lock file; released by release() or destruction.
class ZODEVICE_API ZoHostLock {
public:
    virtual ~ZoHostLock() = default;
    virtual void release() = 0;
};

// One SCSI command for ZoHost::scsiCommand.
struct ZoScsiCommand {
    enum Direction { NONE = 0, TO_DEVICE = 1, FROM_DEVICE = 2 };
    const unsigned char* cdb = nullptr;
    int cdbLength = 0;
    void* data = nullptr;
    int dataLength = 0;
    Direction direction = NONE;
    unsigned char* sense = nullptr;  // may be null
    int senseLength = 0;
    unsigned timeoutMs = 10000;
};

// What the device and the transport said about a command that was sent.
struct ZoScsiStatus {
    int status = 0;         // SCSI status byte (0 = GOOD, 2 = CHECK CONDITION)
    int hostStatus = 0;     // transport (host adapter) status, 0 = OK
    int driverStatus = 0;   // driver status, 0 = OK
    int senseWritten = 0;   // bytes of sense data returned
    int residual = 0;       // data bytes not transferred
    std::string message;    // a host's own explanation of a failure, if any
};

// One partition as the partition-table reader sees it.
struct ZoHostPartition {
    uint64_t startSector = 0;   // in 512-byte sectors
    uint64_t sectorCount = 0;   // in 512-byte sectors
    int number = 0;             // the number the partition's node name ends with
};

// One target line of a device-mapper table or status, as dmsetup prints it:
// "<start> <length> <type> <params>".
struct ZoDmTarget {
    uint64_t start = 0;    // in 512-byte sectors
    uint64_t length = 0;   // in 512-byte sectors
    std::string type;      // "multipath", "linear", ...
    std::string params;    // the rest of the line, as the kernel gives it
};

// Table and status of one device-mapper device.
struct ZoDmState {
    std::vector<ZoDmTarget> table;
    std::vector<ZoDmTarget> status;
    // How many times the device is open (device-mapper's open count: each
    // mount, swap area, process and device stacked on it holding it counts
    // once); -1 when not known.
    int openCount = -1;
};

// Outcome of a command run through the shell.
struct ZoCommandResult {
    bool started = false;   // false: the shell could not be started
    int exitStatus = -1;    // exit status; 128+N when killed by signal N
    std::string out;
    std::string err;
};

class ZODEVICE_API ZoHost {
public:
    virtual ~ZoHost() = default;

    // --- Selection -------------------------------------------------------
    // The host every library call uses.
    static std::shared_ptr<ZoHost> current();
    // dir empty: the live machine; otherwise a rooted host on dir.
    static void setRoot(const std::string& dir);
    // Installs any host (tests wrap hosts); returns the previous one.
    static std::shared_ptr<ZoHost> install(std::shared_ptr<ZoHost> host);
    // Factories.
    static std::shared_ptr<ZoHost> makeLive();
    static std::shared_ptr<ZoHost> makeRooted(const std::string& dir);

    // --- Files and directories ------------------------------------------
    // stat follows symbolic links, lstat does not.
    virtual int stat(const std::string& path, struct stat* st) = 0;
    virtual int lstat(const std::string& path, struct stat* st) = 0;
    // The link's target text, as stored (not rewritten).
    virtual int readlink(const std::string& path, std::string* target) = 0;
    virtual int access(const std::string& path, int mode) = 0;
    // Entry names other than "." and "..", in the directory's own order.
    virtual int listDir(const std::string& path, std::vector<std::string>* names) = 0;
    // The symbolic links of a directory as (name, target text as stored)
    // pairs, in listDir's order; entries that are no link, or are gone by
    // the time they are read, are left out. Returns 0 or the errno of
    // listing the directory. (Hosts answer it in one pass over the
    // directory; the default asks listDir and readlink.)
    virtual int listLinks(const std::string& dir,
                          std::vector<std::pair<std::string, std::string>>* links);
    // The contents of a regular file of at most maxBytes bytes. The file is
    // opened and read without waiting (a FIFO never blocks): EISDIR for a
    // directory, EINVAL for a FIFO or device that has nothing to give at
    // once or more than a buffer's worth. A longer file fails with EFBIG
    // after at most maxBytes + 1 bytes were read. With a bound of at most
    // kAttributeBytes the file is taken to be an attribute, which the
    // kernel makes whole at the first read: a read shorter than a page ends
    // it.
    virtual int readFile(const std::string& path, std::string* contents, size_t maxBytes) = 0;
    // Bounds for readFile. An attribute of sysfs or proc is a page of text
    // at most, or a raw VPD page (at most 4 + 65535 bytes).
    static constexpr size_t kAttributeBytes = 65540;
    // Files that grow with the machine: /proc/partitions with tens of
    // thousands of devices, /etc/multipath.conf, a host tree's tables.
    static constexpr size_t kFileBytes = 64u << 20;
    // readFile with the bound for files that grow with the machine.
    int readFile(const std::string& path, std::string* contents) {
        return readFile(path, contents, kFileBytes);
    }
    // Creates or truncates a file for writing with the given mode.
    virtual int openForWrite(const std::string& path, mode_t mode,
                             std::unique_ptr<ZoWritableFile>* file) = 0;
    // Checks that the path can be opened with the given open(2) flags
    // (the descriptor is closed again).
    virtual int probeOpen(const std::string& path, int flags) = 0;
    virtual int rename(const std::string& from, const std::string& to) = 0;
    virtual int chmod(const std::string& path, mode_t mode) = 0;
    virtual int chown(const std::string& path, uid_t uid, gid_t gid) = 0;
    virtual int unlink(const std::string& path) = 0;
    virtual int mkdir(const std::string& path, mode_t mode) = 0;
    virtual int symlink(const std::string& target, const std::string& linkPath) = 0;
    // fsync of a directory (after a rename in it).
    virtual int syncDir(const std::string& path) = 0;
    // The extended attributes of a file (symbolic links followed) as (name,
    // value) pairs, of every namespace the caller may read (user, security,
    // system, trusted), in the file system's order. Returns 0, ENOTSUP when
    // the file system keeps none, or the errno of the failure. (The
    // default: ENOTSUP.)
    virtual int listXattrs(const std::string& path,
                           std::vector<std::pair<std::string, std::string>>* attrs);
    // Sets one extended attribute of a file (symbolic links followed),
    // creating or replacing it. (The default: ENOTSUP.)
    virtual int setXattr(const std::string& path, const std::string& name, const std::string& value);

    // --- Devices -----------------------------------------------------------
    // Asks the kernel to re-read a disk's partition table: BLKRRPART on a
    // read-only descriptor. Returns 0 or -1 with errno set (ioctl style).
    virtual int rereadPartitions(const std::string& node) = 0;
    // Sends one SCSI command (SG_IO). Returns 0 when the command reached the
    // device (st then says how it ended), ETIMEDOUT when it did not complete
    // within cmd.timeoutMs, or the errno value of the failure to open the
    // node or issue the request.
    virtual int scsiCommand(const std::string& node, const ZoScsiCommand& cmd,
                            ZoScsiStatus* st) = 0;
    // Reads the partition table of a disk node or image. Returns 0 and the
    // partitions in table order (none for a disk without a partition
    // table), or a negative value when the disk cannot be read.
    virtual int readPartitionTable(const std::string& node,
                                   std::vector<ZoHostPartition>* parts) = 0;
    // Reads up to length bytes at offset of a disk node (of a host tree's
    // disk: the image the partition-table reader sees). Returns 0, the bytes
    // in *data (fewer at the end of the disk) and the disk's size in bytes
    // in *diskBytes; or the errno of the failure (EINVAL when the node is
    // neither a block device nor a regular file).
    virtual int readDisk(const std::string& node, uint64_t offset, size_t length,
                         std::string* data, uint64_t* diskBytes) = 0;
    // The table, status and open count of the device-mapper device with
    // this number, as the kernel keeps them (no I/O reaches the devices
    // under it, no process is run). Returns 0, ENXIO when no such mapped
    // device exists, or the errno of the failure.
    virtual int deviceMapperState(unsigned major, unsigned minor, ZoDmState* state) = 0;
    // Sends one request to multipathd over its control socket ("show paths
    // ...") and waits at most timeoutMs for the whole reply; no process is
    // run. Returns 0 and the reply text; ECONNREFUSED or ENOENT when no
    // multipathd listens; ETIMEDOUT; EPROTO for a reply of the wrong shape;
    // or the errno of the failure. (The default: ENOSYS, a host that cannot
    // ask.)
    virtual int askMultipathd(const std::string& request, std::string* reply, unsigned timeoutMs);

    // --- Processes, locks, time ------------------------------------------
    // Runs the command line through /bin/sh -c and waits for it.
    virtual ZoCommandResult run(const std::string& command) = 0;
    // Takes an exclusive lock on the file (created 0600 when missing),
    // waiting as long as another holder keeps it.
    virtual int lockFile(const std::string& path, std::unique_ptr<ZoHostLock>* lock) = 0;
    virtual void sleepMs(unsigned long ms) = 0;
    virtual time_t now() = 0;

    // --- Helpers shared by every host ------------------------------------
    // Writes a file atomically: temporary file beside it, fsync, rename.
    int writeFileAtomic(const std::string& path, const std::string& contents, mode_t mode);
    // Reads an attribute (bounded by kAttributeBytes) and strips one
    // trailing newline.
    int readAttr(const std::string& path, std::string* value);
    bool exists(const std::string& path);
};

// A host tree: a directory standing in for "/". See docs/host-trees.md.
//
// Beyond ZoHost it records what was done that the tree cannot do for real
// (commands run, sleeps, re-read requests) and has a settable clock.
class ZODEVICE_API ZoRootedHost : public ZoHost {
public:
    virtual const std::string& root() const = 0;
    virtual std::vector<std::string> commandsRun() = 0;
    virtual std::vector<unsigned long> sleepsMs() = 0;
    virtual std::vector<std::string> rereads() = 0;
    virtual void setClock(time_t t) = 0;

    // --- Writing host trees (for tools that capture machines) ------------
    // The machine paths of the tree's own files: the command table,
    // "/.zohost/commands";
    static std::string commandTablePath();
    // the device-mapper state of the device with this number,
    // "/.zohost/dm/MAJ:MIN";
    static std::string deviceMapperStatePath(unsigned major, unsigned minor);
    // bytes of the disk with this number at a byte offset, beyond the first
    // ones that the file at its node holds, "/.zohost/disks/MAJ:MIN/OFFSET".
    static std::string diskPiecePath(unsigned major, unsigned minor, uint64_t offset);
    // multipathd's answers, in the command table's format (a block per
    // request, its reply as standard output), "/.zohost/multipathd". A tree
    // without it, or without the request, answers as a machine on which no
    // multipathd runs.
    static std::string multipathdTablePath();
    // The mark of a capture that is not whole, "/.zohost/incomplete": a
    // capture's writer makes it first and removes it last (its first line
    // says what happened; further lines name what was left out).
    static std::string incompleteMarkerPath();

    // The block of the command table that answers command with result (a
    // result whose shell did not start exits 127). Returns false and leaves
    // *block untouched when the command line holds a line break.
    static bool formatCommandAnswer(const std::string& command, const ZoCommandResult& result,
                                    std::string* block);
    // The contents of a device-mapper state file for state. Returns false
    // and leaves *text untouched when the state cannot be written (a target
    // type that is empty or holds a blank or a line break, parameters
    // holding a line break).
    static bool formatDeviceMapperState(const ZoDmState& state, std::string* text);
};
