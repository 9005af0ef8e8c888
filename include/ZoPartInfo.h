// SPDX-License-Identifier: LGPL-2.1-or-later
// One partition of a disk, as the partition interfaces of the device model
// and the multipath facade report it.
#pragma once

#include "ZoExport.h"

#include <cstdint>

struct ZODEVICE_API ZoPartInfo {
    char partName[1024];   // device path of the partition, NUL-terminated
    int32_t partNumber;
    uint64_t startSector;
    uint64_t numSectors;
    uint64_t sectorSize;
    int32_t major;
    int32_t minor;

    ZoPartInfo();
};
