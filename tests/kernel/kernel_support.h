// Helpers of the guest test program: running the peer tools, reading sysfs,
// and printing each comparison of a peer's answer with the library's.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <list>
#include <map>
#include <string>
#include <vector>

namespace zk {

// Standard output of command run through /bin/sh (standard error is kept
// apart); status receives the exit status when given.
std::string run(const std::string& command, int* status = nullptr);
// Runs command and fails the current test unless it exits with status 0.
std::string runOk(const std::string& command);
// Contents of a file with one trailing newline removed, "" when unreadable.
std::string readFile(const std::string& path);
// Writes text to path; true on success.
bool writeFile(const std::string& path, const std::string& text);
// Names in a directory (without "." and ".."), sorted; empty when unreadable.
std::vector<std::string> listDir(const std::string& path);
bool exists(const std::string& path);
// Text with leading and trailing white space removed.
std::string trim(const std::string& text);
// Lines of text, without empty ones.
std::vector<std::string> lines(const std::string& text);
// Words of a line.
std::vector<std::string> words(const std::string& line);

// Standard output of command; *status its exit status, *seconds the
// wall-clock time it took.
std::string timed(const std::string& command, int* status, double* seconds);
// zodisk's JSON answer (--json) to args; *status its exit status.
nlohmann::json zodiskJson(const std::string& args, int* status = nullptr);
// Prints "[measure] what: figures" for the host's report.
void measure(const std::string& what, const std::string& figures);

// Prints "[compare] what | peer: <peer> | library: <library>" and succeeds
// iff both answers are equal. The host side lists these lines per run.
::testing::AssertionResult same(const std::string& what, const std::string& peer,
                                const std::string& peerAnswer, const std::string& library);

// One row of `lsblk -J -l -b -o NAME,KNAME,TYPE,MAJ:MIN,SIZE,PKNAME`.
struct LsblkRow {
    std::string name, kname, type, majmin, pkname;
    uint64_t size = 0;
};
// lsblk's rows for every block device (options added to the command).
std::vector<LsblkRow> lsblk(const std::string& options = "");
// Each path of map in `multipath -ll map`: its words from the H:C:T:L on
// ("0:0:0:0 sda 8:0 active ready running").
std::vector<std::vector<std::string>> multipathLl(const std::string& map);
// Kernel name ("sdb") of a device node path ("/dev/sdb"), following links.
std::string kernelName(const std::string& devPath);
// "major:minor" of a block device node, "" when it is none.
std::string majMin(const std::string& devPath);

// Block devices whose SCSI device is a scsi_debug logical unit, as kernel
// names ("sda"), sorted by H:C:T:L.
std::vector<std::string> scsiDebugDisks();
// "H:C:T:L" of a SCSI disk's kernel name.
std::string hctl(const std::string& kname);

// The library's kind name of a device type value.
std::string kindName(int type);
// The kind lsblk and sysfs give a block device, in the library's terms:
// "SCSI_DISK", "MPIO_DISK", "NVME_DISK" or "NONE" (partitions of a disk
// answer their disk's kind; device-mapper partition maps answer "NONE").
std::string peerKind(const std::string& kname);

}  // namespace zk

#include "ZoDevice.h"

namespace zk {
// "N:start+length@major:minor name" of each record, joined by ", ".
std::string formatParts(const std::list<ZoPartInfo>& parts);
// The same text built from sysfs for the partitions of a disk (kernel name).
std::string sysfsParts(const std::string& disk);
// The kernel name of a device's path ("" for a null device).
std::string knameOf(const SP<ZoDevice>& dev);
// Sorted kernel names of devices, joined by " ".
std::string knames(const std::list<SP<ZoDevice>>& devs);
// Joins sorted words with " ".
std::string joinSorted(std::vector<std::string> items);
// "3" + the first NAA designator of the addressed logical unit in
// `sg_vpd -p di` of a device, lower-case; "" when there is none.
std::string sgVpdNaaWwid(const std::string& devPath);
// Compares getDevice's kind of every block device lsblk lists (each once)
// with peerKind (a device of no kind: an error, and no tree parent);
// returns lsblk's rows, one per device.
std::vector<LsblkRow> compareKindsOfAllDevices();
// For each partition lsblk lists whose kernel name starts with prefix: its
// disk (getParentDevice of the partition) is lsblk's PKNAME, and the tree's
// parent of that disk is the disk. Returns how many were compared.
int compareDisksOfPartitions(const std::string& prefix);
// The library's partition list of the device at path (refresh as given).
std::string libraryParts(const std::string& path, bool refresh);
}  // namespace zk
