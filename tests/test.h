// SPDX-License-Identifier: LGPL-2.1-or-later
// What the test files share: GoogleTest, the host-tree builders and test
// doubles of support/, and the library's headers they reach into.
#pragma once

#include "support/devices.h"
#include "support/fault_host.h"
#include "support/log_capture.h"

#include "FXString.h"
#include "UXScsi.h"
#include "ZoDeviceTree.h"
#include "ZoException.h"
#include "ZoHostInternal.h"
#include "ZoInternal.h"
#include "ZoMPIO.h"
#include "ZoMpioDiskDevice.h"
#include "ZoNVMEDiskDevice.h"
#include "ZoScsiDiskDevice.h"
#include "ZoVDDiskDevice.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace zotest {
// A host tree of tests/data/hosts (its README says what each holds).
inline std::string dataTree(const std::string& name) { return ZODEVICE_SOURCE_DIR "/tests/data/hosts/" + name; }
}  // namespace zotest
