// SPDX-License-Identifier: LGPL-2.1-or-later
// Identity text of a disk from its Device Identification VPD page (0x83).
// Library-internal.
#pragma once

#include <string>

namespace zo_identity {

// Bytes of the page an INQUIRY for page 0x83 asks for; the walk reads no
// further.
const int kPage83Allocation = 255;

// The WWID text of the first logical-unit NAA designator of a page 0x83:
// "3", then the designator (ASCII as it is, otherwise in lowercase
// hexadecimal). The walk covers the page as its 16-bit length gives it, but
// no further than the available bytes (those the device transferred) and
// kPage83Allocation, and stops at a descriptor that runs past them. Returns
// "" when no descriptor qualifies.
std::string naaDesignator(const unsigned char* page, size_t available);

// As above for a page given as the bytes a device or sysfs returned.
std::string naaDesignator(const std::string& page);

// The WWID text of the logical unit's NAA designator that every rule udev
// and multipath-tools apply to a page 0x83 prefers to all others: the first
// IEEE Registered Extended one (NAA 6, 16 bytes), else the first IEEE
// Registered one (NAA 5, 8 bytes). "" when the page has neither, and the
// rules then disagree on what they take.
std::string preferredNaaDesignator(const std::string& page);

}  // namespace zo_identity
