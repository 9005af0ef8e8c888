// SPDX-License-Identifier: LGPL-2.1-or-later
// The findings of `zodisk check`, for the commands that report them too
// (metrics).
#pragma once

#include "ZoHostInventory.h"

#include <string>
#include <vector>

namespace zodisk {

struct Finding {
    const char* severity;   // "error", "warning" or "info" (info needs no attention)
    const char* check;      // stable identifier of the kind of finding
    std::string message;
    std::vector<std::string> devices;
    std::string wwid;
};

// What check finds on the host the inventory was read from (its
// configuration is read from the current host).
std::vector<Finding> checkFindings(const ZoHostInventory& inv);

}  // namespace zodisk
