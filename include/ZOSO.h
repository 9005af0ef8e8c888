// SPDX-License-Identifier: LGPL-2.1-or-later
// Array identity and the WWID derived from INQUIRY page 0x83.
#pragma once

#include "CLuError.h"
#include "ZoExport.h"

#include <string>

namespace ZOSO {
ZODEVICE_API CLuError GetArrayIscsiIqn(const std::string& path, std::string& out, bool flag);
ZODEVICE_API CLuError GetArrayFCWWN(const std::string& path, std::string& out, bool flag);
ZODEVICE_API CLuError GetArrayInitiatorId(const std::string& path, std::string& out, bool flag);

// Appends "3" and the first logical-unit NAA designator of the device's
// INQUIRY page 0x83 to serial (and echoes it to standard output). True when
// the INQUIRY succeeded, whether or not such a designator was found.
ZODEVICE_API bool DetermineDeviceSerial(const unsigned long long& jobId, const std::string& path,
                           std::string& serial);
}  // namespace ZOSO
