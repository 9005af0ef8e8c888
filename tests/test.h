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

// Every host tree shipped under examples/hosts and tests/data/hosts, sorted;
// of a capture kept with its peers' answers beside it, the tree in it
// (snapshot/).
inline std::vector<std::string> shippedTrees() {
    std::vector<std::string> trees;
    for (const char* dir : {"/examples/hosts", "/tests/data/hosts"})
        for (const auto& e : fs::directory_iterator(ZODEVICE_SOURCE_DIR + std::string(dir)))
            if (e.is_directory())
                trees.push_back(fs::is_directory(e.path() / "snapshot") ? (e.path() / "snapshot").string()
                                                                       : e.path().string());
    std::sort(trees.begin(), trees.end());
    return trees;
}
}  // namespace zotest
