// SPDX-License-Identifier: LGPL-2.1-or-later
// The set of files multipath-tools reads its configuration from, read through
// the current ZoHost: /etc/multipath.conf, then the "*.conf" regular files of
// the configuration directory in name order. The directory is
// /etc/multipath/conf.d (which multipath-tools 0.9 and later always read);
// when the defaults section of /etc/multipath.conf sets config_dir to
// another directory (honoured by earlier releases), that directory is read
// too, before it. Used by the editor, zodisk's check and snapshot, and any
// tool that wants "the entries multipath sees".
//
// Thread safety: reentrant.
#pragma once

#include "ZoMultipathConf.h"

#include <string>
#include <vector>

namespace zo_mpconf {

extern const char* const kMainConf;        // "/etc/multipath.conf"
extern const char* const kDefaultConfDir;  // "/etc/multipath/conf.d"

// One file of the configuration and how multipath-tools reads it.
struct ConfFile {
    std::string path;  // as the machine shows it
    std::string text;
    ConfReading reading;
};

// The configuration directories main names (see above), in reading order.
std::vector<std::string> confDirs(const ConfReading& main);

// Appends the "*.conf" files of the configuration directories of main to
// files. A missing directory holds no file. Returns 0, or the errno of the
// first directory or file that could not be read (*failed names it; files
// then holds what was read before it).
int readConfDirs(const ConfReading& main, std::vector<ConfFile>* files, std::string* failed);

// Reads /etc/multipath.conf (first in files; missing: *mainMissing is set
// and its text is empty) and the files of its configuration directories.
// Returns 0 or the errno of the first failure (*failed names the path).
int readAllConf(std::vector<ConfFile>* files, bool* mainMissing, std::string* failed);

// An entry multipath-tools sees, with the file it is in.
struct ConfEntryAt {
    ConfEntry entry;
    const ConfFile* file;
};

// Every entry of the files, in reading order.
std::vector<ConfEntryAt> allEntries(const std::vector<ConfFile>& files);

// What multipath-tools' blacklist is matched against for a disk.
struct DiskFacts {
    std::string devnode;  // kernel name, "sdb"
    std::string wwid;     // the WWID multipath-tools knows it by
    std::string vendor, product;
};

// Whether the configuration keeps a disk from multipath-tools, and by what.
struct BlacklistVerdict {
    bool blacklisted = false;
    std::string criterion;  // "devnode", "device" or "wwid"
    std::string entry;      // the blacklist entry as written, e.g. wwid ".*"
    std::string where;      // "line 6 of /etc/multipath.conf", or "the built-in blacklist"
};

// The blacklist's verdict on the disk, criterion by criterion in
// multipath-tools' order (devnode, device, wwid), an exception of a
// criterion taking precedence over a blacklist entry of the same criterion.
// The property and protocol criteria need udev and transport facts and are
// not evaluated.
BlacklistVerdict blacklistVerdict(const std::vector<ConfFile>& files, const DiskFacts& disk);

}  // namespace zo_mpconf
