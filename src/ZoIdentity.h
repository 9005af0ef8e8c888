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
// hexadecimal). The walk covers the page as its 16-bit length gives it,
// within kPage83Allocation bytes, and stops at a descriptor that does not
// fit. page must hold at least kPage83Allocation bytes. Returns "" when
// no descriptor qualifies.
std::string naaDesignator(const unsigned char* page);

// As above for a page given as the bytes a device or sysfs returned (any
// length; missing bytes count as zero).
std::string naaDesignator(const std::string& page);

}  // namespace zo_identity
