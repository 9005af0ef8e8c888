// SPDX-License-Identifier: LGPL-2.1-or-later
// The page-0x83 designator walk on any bytes a device or sysfs may return.
#include "ZoIdentity.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string page(reinterpret_cast<const char*>(data), size);
    const std::string wwid = zo_identity::naaDesignator(page);
    // Only an NAA designator qualifies; its text begins with its type.
    if (!wwid.empty() && wwid[0] != '3') std::abort();
    return 0;
}
