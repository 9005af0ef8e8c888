// SPDX-License-Identifier: LGPL-2.1-or-later
// Helpers of the guest test program: running the peer tools, reading sysfs,
// and printing each comparison of a peer's answer with the library's.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <list>
#include <string>
#include <vector>

#include "ZoDevice.h"
#include "ZoStrings.h"  // zo_str::trimmed for the peers' answers

namespace zk {

// Standard output of command run through /bin/sh (standard error is kept
// apart in /tmp/zk-stderr); status receives the exit status and seconds the
// wall-clock time it took, when given.
std::string run(const std::string& command, int* status = nullptr, double* seconds = nullptr);
// Runs command and fails the current test unless it exits with status 0.
std::string runOk(const std::string& command);
// Contents of a file with one trailing newline removed, "" when unreadable.
std::string readFile(const std::string& path);
// Writes text to path; true on success.
bool writeFile(const std::string& path, const std::string& text);
// Names in a directory (without "." and ".."), sorted; empty when unreadable.
std::vector<std::string> listDir(const std::string& path);
bool exists(const std::string& path);
// Lines of text, without empty ones.
std::vector<std::string> lines(const std::string& text);
// Words of a line.
std::vector<std::string> words(const std::string& line);

// zodisk's JSON answer (--json) to args; *status its exit status.
nlohmann::json zodiskJson(const std::string& args, int* status = nullptr);
// Polls cond every half second for up to 60 s; true once it holds.
bool waitFor(const std::function<bool()>& cond);
// Prints "[measure] what: figures" for the host's report.
void measure(const std::string& what, const std::string& figures);

// Prints "[compare] what | peer: <peer> | library: <library>" and succeeds
// iff both answers are equal. The host side lists these lines per run.
::testing::AssertionResult same(const std::string& what, const std::string& peer,
                                const std::string& peerAnswer, const std::string& library);

// One row of `lsblk -J -l -o NAME,KNAME,TYPE,PKNAME`.
struct LsblkRow {
    std::string name, kname, type, pkname;
};
// lsblk's rows for every block device, each once (options added to the
// command).
std::vector<LsblkRow> lsblk(const std::string& options = "");
// Each path of map in `multipath -ll map`: its words from the H:C:T:L on
// ("0:0:0:0 sda 8:0 active ready running").
std::vector<std::vector<std::string>> multipathLl(const std::string& map);
// Each path of map as "dev dm-state device-state", sorted: multipath -ll's
// (peer) or zodisk show's, whose device state is given as multipath -ll
// gives it ("offline", or "running" for any other).
std::string pathStates(const std::string& map, bool peer);
// Runs zodisk check into *status; true iff a finding names device. Prints
// each new set of findings once.
bool checkNames(const std::string& device, int* status);
// Kernel name ("sdb") of a device node path ("/dev/sdb"), following links.
std::string kernelName(const std::string& devPath);

// Block devices whose SCSI device is a scsi_debug logical unit, as kernel
// names ("sda"), sorted by H:C:T:L.
std::vector<std::string> scsiDebugDisks();
// "H:C:T:L" of a SCSI disk's kernel name.
std::string hctl(const std::string& kname);

// The library's kind name of a device type value.
std::string kindName(int type);

// "N:start+length@major:minor name" of each partition of a disk (kernel
// name) in sysfs, joined by ", ": the form libraryParts gives.
std::string sysfsParts(const std::string& disk);
// The kernel name of a device's path ("" for a null device).
std::string knameOf(const SP<ZoDevice>& dev);
// Sorted kernel names of devices, joined by " ".
std::string knames(const std::list<SP<ZoDevice>>& devs);
// Items sorted and joined by " "; the texts of numbered items in number
// order joined by ", ".
std::string joinSorted(std::vector<std::string> items);
std::string joinSecond(std::vector<std::pair<int, std::string>> items);
// Compares getDevice's kind of every block device lsblk lists
// with the kind lsblk and sysfs give it: SCSI_DISK, MPIO_DISK, NVME_DISK or
// NONE (a partition answers its disk's kind, a device-mapper partition map
// NONE). A device of no kind is an error, and has no tree parent;
// returns lsblk's rows, one per device.
std::vector<LsblkRow> compareKindsOfAllDevices();
// For each partition lsblk lists whose kernel name starts with prefix: its
// disk (getParentDevice of the partition) is lsblk's PKNAME, and the tree's
// parent of that disk is the disk. Returns how many were compared.
int compareDisksOfPartitions(const std::string& prefix);
// The library's partition list of the device at path (refresh as given),
// formatted as formatParts does; else what failed.
std::string libraryParts(const std::string& path, bool refresh);
// GetDeviceWwid of the device at path into *wwid: its error text ("" on
// success; "no device" when there is no device or no disk information).
std::string wwidOf(const std::string& path, std::string* wwid);
// Compares the library's partitions of each disk (kernel names) with
// sysfsParts, for the disks with partitions; returns how many those were.
int comparePartitions(const std::vector<std::string>& disks);
// Compares getAllDevices(type) with the devices lsblk lists (no partitions)
// whose kind is type's (as compareKindsOfAllDevices finds it), under the peer label given; every device must
// be of type. Returns the library's devices.
std::list<SP<ZoDevice>> compareAllDevices(ZoDevice::TYPE type, const std::string& peer);
}  // namespace zk
