// SPDX-License-Identifier: LGPL-2.1-or-later
// The multipath configuration editor behind
// ZoDeviceTree::addMultipathBlacklistExceptions and
// ZoDeviceTree::delMultipathBlacklistExceptions, split into steps that tests
// and tools can reach one by one.
//
// Every rewrite of /etc/multipath.conf holds the file lock on
// /etc/multipath.conf.zo_lock, writes the new content to
// /etc/multipath.conf.zo_temp (mode 0600, every write, the fsync and the
// close checked), copies the old file's owner, extended attributes (SELinux
// label, ACL, user attributes) and mode onto it, renames it over the
// configuration file and syncs /etc. When
// /etc/multipath.conf is a symbolic link, the file it names is rewritten
// instead (temporary file "<that file>.zo_temp"), and the link stays. The
// configuration file is either left exactly as it was or replaced as a
// whole; the temporary file never outlives a call (unless the process is
// killed during it). A file
// the editor would read otherwise than multipath-tools (see
// ZoMultipathConf.h), in /etc/multipath.conf or in a configuration
// directory, is not edited, nor is a configuration file with several hard
// links.
//
// All host access goes through ZoHost::current(). Not thread-safe within a
// process beyond what the file lock gives (rewrites are serialised, but the
// temporary file's name is fixed, so only one editor per host may run at a
// time, which the lock ensures).
#pragma once

#include "CLuError.h"

#include <list>
#include <string>
#include <vector>

namespace zo_editor {

extern const char* const kConfPath;  // "/etc/multipath.conf"
extern const char* const kTempPath;  // "/etc/multipath.conf.zo_temp"
extern const char* const kLockPath;  // "/etc/multipath.conf.zo_lock"

// Returns true iff the configuration store enables editing:
// "nConfigureBlacklistException" in section "Ferrovane" exists and is
// non-zero.
bool editingEnabled();

// The WWID multipath-tools gives the disk at node: the ID_SERIAL property
// udev recorded for it (multipath-tools' uid_attribute for SCSI disks), or
// else, from the page 0x83 sysfs holds for the disk, the NAA designator
// every rule of udev and multipath-tools prefers (NAA 6, else NAA 5). ""
// when neither is known.
std::string multipathWwidOf(const std::string& node);

// The WWIDs of the disks named by paths, in path order, each once. A path
// that yields none (no device, a multipath device when rejectMpio is set, no
// disk-identity interface, a failed or unusable WWID) is skipped with an
// entry pushed onto error (when given). When adding (rejectMpio), a WWID is
// also skipped, with an entry naming the path, when an entry for it would
// except other disks too (plainWwidFault) or would not match the disk
// because multipath-tools knows it by another WWID (multipathWwidOf).
std::vector<std::string> collectWwids(const std::list<std::string>& paths, bool rejectMpio,
                                      CLuError* error);

// Gives every WWID that has no blacklist exception in the files
// multipath-tools reads (/etc/multipath.conf and its configuration
// directories) an exception and, unless one exists, a multipath block in
// /etc/multipath.conf, then refreshes the multipath maps. A WWID that has
// an exception gets nothing ("Blacklist exception already exists for %s"
// is pushed onto error). Returns true iff the operation completed: the file
// was replaced, or nothing was to be added and neither it nor the maps were
// touched. On failure the file is unchanged and error (when given) holds
// the reason.
bool addWwids(const std::vector<std::string>& wwids, const char* function, CLuError* error);

// Removes the exception lines and multipath blocks of the WWIDs from
// /etc/multipath.conf. Refuses (changing nothing) when a file of the
// configuration directories holds an entry for one of them, naming the file
// and line. Returns 0 when the file was replaced, -1 otherwise (the file
// unchanged, the reason in error when given).
int delWwids(const std::vector<std::string>& wwids, const char* function, CLuError* error);

}  // namespace zo_editor
