// SPDX-License-Identifier: LGPL-2.1-or-later
// The readers of /proc/partitions (kernel disk names) and /proc/devices
// (driver majors) on any text. The first two bytes choose the device
// number that is looked up.
#include "ZoKernelNames.h"
#include "ZoKinds.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    for (const char* pattern : {"sd[a-z]+", "xvd[a-z]+", "nvme[0-9]+n[0-9]+"}) {
        const std::string name = zo_names::wholeDiskName(text, pattern, data[0], data[1]);
        if (!name.empty() && text.find(name) == std::string::npos) std::abort();
    }
    zo_kind::driverMajors(text);
    return 0;
}
