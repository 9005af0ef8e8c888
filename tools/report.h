// SPDX-License-Identifier: LGPL-2.1-or-later
// The answers of the library's public interfaces about one device, asked
// through the device objects (partition discovery, WWID by INQUIRY, the map
// above a path). Listings do not use this: they read the host inventory.
// A capture asks it to record the commands the library runs.
#pragma once

#include "output.h"

#include "ZoDevice.h"

#include <optional>
#include <string>
#include <vector>

namespace zodisk {

struct PartitionReport {
    std::string path;
    int number = 0;
    unsigned long long start = 0;
    unsigned long long sectors = 0;
    unsigned long long sectorSize = 0;
    int major = 0;
    int minor = 0;
};

// An answer the kind does not give stays empty (null in JSON). An answer
// that failed stays empty too, and its error is in errors as
// "<what>: <text>".
struct DeviceReport {
    std::string path;
    std::string kind;   // "scsi", "mpath", "xvd", "nvme" (or "none")
    int type = 0;
    std::vector<DeviceReport> children;
    std::optional<std::vector<PartitionReport>> partitions;
    std::optional<std::string> wholeDisk;
    std::optional<std::string> map;
    std::optional<std::string> wwid;
    std::optional<std::string> fcNodeName;
    std::optional<std::string> activePath;
    // Failed answers: what was asked ("partitions", "whole disk", "map",
    // "wwid", "fc node name") and the library's error text.
    struct Problem {
        std::string what;
        std::string text;
    };
    std::vector<Problem> errors;
};

// How much to ask of a device.
enum class Depth {
    Full,   // every answer
    Path,   // a path device inside a map: its partitions, whole disk and
            // map are the map's business and are not asked
};

// Asks the device everything its interfaces answer; children are described
// with Depth::Path.
DeviceReport describe(const SP<ZoDevice>& dev, Depth depth = Depth::Full);

// Short kind name of a device type; unclaimed for a value that is not a kind.
std::string kindName(int type, const char* unclaimed = "none");

}  // namespace zodisk
