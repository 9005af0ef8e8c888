// What zodisk tells about one device: the answers of the library's public
// interfaces, gathered once and then printed as JSON or as text.
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

    // The error text of a failed answer, or null.
    const std::string* errorOf(const std::string& what) const;
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

// Short kind name of a device type; "none" for a value that is not a kind.
std::string kindName(int type);

// True iff the report or one of its children holds an error.
bool hasErrors(const DeviceReport& r);

Json toJson(const DeviceReport& r);
Json toJson(const std::vector<DeviceReport>& reports);   // {"devices": [...]}

// "show" text: one block of "field: value" lines per device.
std::string showText(const DeviceReport& r);

}  // namespace zodisk
