// SPDX-License-Identifier: LGPL-2.1-or-later
// Small pieces for reading sysfs through ZoHost: path text, links between
// sysfs directories, SCSI addresses and device numbers. Library-internal.
#pragma once

#include "ZoHost.h"

#include <sys/types.h>

#include <string>

namespace zo_sysfs {

// An absolute path without "." and ".." components or doubled slashes.
std::string normalizePath(const std::string& path);
// Where a sysfs link points, as an absolute normalised path, or "" when
// link is no link. The link's own directory must hold no links (true of the
// kernel's class directories, /sys/block, /sys/dev/block and the device
// directories under /sys/devices).
std::string linkTarget(ZoHost& host, const std::string& link);
// The same of a link whose target text was read already ("" for "").
std::string linkTarget(const std::string& link, const std::string& target);

// A SCSI address "H:C:T:L".
struct Hctl {
    unsigned long long host = 0, channel = 0, target = 0, lun = 0;
    bool operator<(const Hctl& o) const;
};
// True iff text is exactly four colon-separated decimal numbers.
bool parseHctl(const std::string& text, Hctl* out);
// "MAJ:MIN", a trailing newline allowed. True iff text has that shape.
bool parseDevno(const std::string& text, unsigned* major, unsigned* minor);

// The number std::atoi reads at the start of text (blanks, a sign, digits),
// held to int's range where atoi would overflow; 0 when there is none.
int leadingInt(const std::string& text);

}  // namespace zo_sysfs
