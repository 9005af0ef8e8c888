// Pieces shared by the live host and the rooted host: the operations that
// act on a real path of this machine's file system with plain libc. The live
// host hands them machine paths unchanged; the rooted host hands them the
// path it mapped into its tree. Not part of the library's interface.
#pragma once

#include "ZoHost.h"

#include <map>
#include <string>
#include <vector>

namespace zohost {

// The one errno mapper: for a libc result rc (-1 with errno set on failure)
// returns 0 or the errno value, and leaves errno set to it.
int sysResult(int rc);
// Sets errno to err and returns it (err 0 gives 0).
int fail(int err);

// Each of these: 0 on success, otherwise the errno value (errno set).
int readWholeFile(const std::string& realPath, std::string* contents);
int listDirAt(const std::string& realPath, std::vector<std::string>* names);
int openForWriteAt(const std::string& realPath, mode_t mode, std::unique_ptr<ZoWritableFile>* file);
int probeOpenAt(const std::string& realPath, int flags);
int syncDirAt(const std::string& realPath);
int lockFileAt(const std::string& realPath, std::unique_ptr<ZoHostLock>* lock);
// Reads the partition table of a disk node or image file with libblkid.
// Returns 0 and the partitions in table order, or -1 (errno set when the
// file could not be opened) when there is no readable table.
int readPartitionTableAt(const std::string& realPath, std::vector<ZoHostPartition>* parts);
// Sleeps for ms milliseconds, resuming after signals.
void sleepRealMs(unsigned long ms);

}  // namespace zohost

namespace zohost {

// The answer a host tree gives to one command line.
struct CommandAnswer {
    int exitStatus = 0;
    std::string out;
    std::string err;
};

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
