// SPDX-License-Identifier: LGPL-2.1-or-later
// Partition discovery and whole-disk resolution shared by the SCSI, Xen and
// NVMe kinds.
//
// The three kinds list their partitions by one procedure (read the table,
// check that every partition node exists, otherwise re-read the table, wait
// for udev and try again, at most kPartitionAttempts times) and find the
// whole disk above a node by one procedure (device number -> kernel name ->
// device tree lookup). What differs between the kinds is data: a
// PartitionFamily. Nothing here keeps state between calls; all waiting
// happens on the caller's thread.
#pragma once

#include "CLuError.h"
#include "SP.h"
#include "ZoDevice.h"
#include "ZoPartitionReader.h"

#include <list>
#include <string>

namespace zo_parts {

// Minor numbers per whole SCSI or Xen disk: the disk's minor is a multiple
// of it, its partitions take the following ones.
const int MAX_MINORS_PER_DISK = 16;
// Attempts of one listing, and the udev settle time-out of each re-read.
const int kPartitionAttempts = 5;
const int kSettleTimeoutSec = 120;
// Every record gets this sector size.
const uint64_t kPartitionSectorSize = 512;

// Where a family's log lines go.
enum class LogChannel {
    Debug,      // EvDebug::Debug under the family's log name
    LogWriter,  // g_ptrLogWriter at level 0, under the operation's signature
};

// What distinguishes one kind's partition discovery and parent resolution.
// The message formats are printf formats; each is always given the
// arguments listed beside it (a format may leave the trailing ones unused).
struct PartitionFamily {
    const char* logName;                      // EvDebug function name
    LogChannel channel;
    std::string (*diskName)(int major, int minor);  // kernel whole-disk name lookup
    bool rejectPartitionNode;    // a node whose minor is not a disk's is refused
    bool busyRereadIsSuccess;    // EBUSY from the re-read counts as done
    const char* statFailed;      // (disk node, errno)
    const char* rereadFailed;    // (disk node, errno)
    const char* refreshed;       // (disk node)
    const char* absent;          // (partition node, mode, errno)
    const char* allFound;        // (disk node)
    const char* partNameFormat;  // (disk node, partition number)
    void (*settle)(int timeoutSec);
};

extern const PartitionFamily kScsiFamily;
extern const PartitionFamily kXenFamily;
extern const PartitionFamily kNvmeFamily;

// The settle routine of the NVMe kind (the SCSI and Xen kinds use
// waitForSettle): it logs a failure through g_ptrLogWriter as
// "%s return [%d]:[%s]" and sleeps through LUSLEEP_InTeRnAl.
void waitForSettleNvme(int timeoutSec);

// Lists the partitions of the whole disk at diskNode into out, in table
// order. refresh true makes the first attempt re-read the table. Errors
// carry the location where (the kind's own operation).
// On success returns the reader's result (>= 0) with every record's node
// present, each record carrying its node's own device number. When nodes
// are still missing after the last attempt, returns the last reader result
// and keeps that attempt's records (missing nodes with computed numbers).
// On failure returns -1 (disk node cannot be stat'ed, or is a partition of a
// family that refuses those) or the re-read's result, with out empty and err
// set; a failing reader sets err to "Failed to get partitions from device"
// and its negative result is returned unless a later attempt ends otherwise.
int listPartitions(const PartitionFamily& family, const std::string& diskNode,
                   const FXCodeLocation& where, std::list<ZoPartInfo>& out, CLuError* err,
                   bool refresh);

// The node of the whole disk holding node (a partition or a disk itself):
// "/dev/<kernel name>", which the kind hands to ZoDeviceTree::getDevice.
// On failure returns "" with err set: "Failed to stat %s" or "Failed to get
// parent device name for %s".
std::string parentDiskPath(const PartitionFamily& family, const std::string& node,
                           const FXCodeLocation& where, CLuError* err);

// getParentDevice of the kinds: the device ZoDeviceTree::getDevice builds
// for parentDiskPath's answer; null with err set when there is none.
SP<ZoDevice> parentDevice(const PartitionFamily& family, const std::string& node,
                          const FXCodeLocation& where, CLuError* err);

}  // namespace zo_parts

// Appends one ZoPartInfo per slice to a list: the partition node is the disk
// node with the slice's number appended by nameFormat, the device number the
// disk's major and the disk's minor plus the partition number. A slice whose
// number is below 1, beyond the kernel's minor range, or whose node name
// would not fit into partName is left out. Copies append to the same list.
class PartIterator {
public:
    PartIterator(const std::string& diskNode, int diskMajor, int diskMinor,
                 std::list<ZoPartInfo>& partList, const char* nameFormat = "%s%d");
    void operator()(slice s);

private:
    int32_t diskMajor;
    int32_t diskMinor;
    std::string diskNode;
    std::list<ZoPartInfo>& partList;
    const char* nameFormat;
};
