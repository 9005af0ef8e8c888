// The multipath configuration editor behind
// ZoDeviceTree::addMultipathBlacklistExceptions and
// ZoDeviceTree::delMultipathBlacklistExceptions, split into steps that tests
// and tools can reach one by one.
//
// Every rewrite of /etc/multipath.conf holds the file lock on
// /etc/multipath.conf.zo_lock, writes the new content to
// /etc/multipath.conf.zo_temp (mode 0600, every write, the fsync and the
// close checked), copies the old file's owner and then its mode onto it,
// renames it over the configuration file and syncs /etc. When
// /etc/multipath.conf is a symbolic link, the file it names is rewritten
// instead (temporary file "<that file>.zo_temp"), and the link stays. A
// file whose braces do not balance is not edited. The configuration file is
// either left exactly as it was or replaced as a whole; the temporary file
// never outlives a call (unless the process is killed during it).
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

// The WWIDs of the disks named by paths, in path order, each once. A path
// that yields none (no device, a multipath device when rejectMpio is set, no
// disk-identity interface, a failed or unusable WWID) is skipped with an
// entry pushed onto error (when given).
std::vector<std::string> collectWwids(const std::list<std::string>& paths, bool rejectMpio,
                                      CLuError* error);

// Gives every WWID a blacklist exception unless one exists (pushing
// "Blacklist exception already exists for %s" onto error then) and a
// multipath block unless one exists, then refreshes the multipath maps.
// Returns true iff the operation completed: the file was replaced, or it
// had every entry already and neither it nor the maps were touched. On
// failure the file is unchanged and error (when given) holds the reason.
bool addWwids(const std::vector<std::string>& wwids, const char* function, CLuError* error);

// Removes the exception lines and multipath blocks of the WWIDs. Returns 0
// when the file was replaced, -1 otherwise (the file unchanged, the reason
// in error when given).
int delWwids(const std::vector<std::string>& wwids, const char* function, CLuError* error);

}  // namespace zo_editor
