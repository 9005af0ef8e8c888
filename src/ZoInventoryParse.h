// SPDX-License-Identifier: LGPL-2.1-or-later
// Pure parsers of kernel texts the host inventory reads: device-mapper
// multipath and linear targets, the standard INQUIRY response, VPD page
// 0x80, the wwid attribute, mountinfo, /proc/swaps and udev's escaped
// values. Library-internal; no I/O.
#pragma once

#include "ZoHost.h"
#include "ZoHostInventory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zo_inv {

// Fills *out from the table and status of a multipath map, as dmsetup
// prints them ("0 <len> multipath <params>"): features, hardware handler,
// path groups (selector, state) and every path (number, group, state, fail
// count). Returns true and sets out->known iff the table holds exactly one
// multipath target of that shape; the status may be missing or malformed,
// which leaves the states empty. On false *out is a default ZoMapState.
bool parseMultipathState(const ZoDmState& dm, ZoMapState* out);

// The device and the first sector a one-target linear table maps onto
// ("0 <len> linear <maj>:<min> <start>"). False for any other table.
bool parseLinearTarget(const ZoDmState& dm, unsigned* major, unsigned* minor, uint64_t* start);

// The product serial number of a VPD page 0x80 (Unit Serial Number), blanks
// and NULs around it removed; "" when the page holds none.
std::string unitSerial(const std::string& page);

// The vendor, product and revision of a standard INQUIRY response, as the
// kernel's vendor, model and rev attributes of the device print them: bytes
// 8-15, 16-31 and 32-35, each up to its first NUL, blanks around removed.
// False, and nothing set, when the response is too short to hold them all.
bool inquiryStrings(const std::string& response, std::string* vendor, std::string* model, std::string* revision);

// The WWID text of a kernel wwid attribute, written as the page-0x83
// designator walk writes it: "naa.<hex>" gives "3<hex>", "eui.<hex>"
// "2<hex>" (lowercase), "t10.<text>" "1<text>"; anything else stays as it
// is. Trailing blanks and the newline are dropped.
std::string wwidOfAttribute(const std::string& attribute);

// One mount of /proc/self/mountinfo: the device number its file system
// reports, its source ("/dev/sdb1", "tmpfs") and where it is mounted, with
// the kernel's octal escapes ("\040" for a blank) decoded.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string source;
    std::string target;
};
// The mounts of a mountinfo text, in its order; a line of another shape is
// skipped.
std::vector<MountEntry> parseMountinfo(const std::string& text);

// The files and block devices /proc/swaps lists as swap areas, escapes
// decoded, in its order.
std::vector<std::string> parseSwaps(const std::string& text);

// A value of udev's database with its "\xHH" escapes decoded, as lsblk reads
// ID_FS_LABEL_ENC and ID_FS_UUID_ENC: an escape that is cut short stays as
// it is, an escaped NUL ends the value.
std::string decodeUdevValue(const std::string& value);

}  // namespace zo_inv
