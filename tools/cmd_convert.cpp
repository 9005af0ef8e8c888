// SPDX-License-Identifier: LGPL-2.1-or-later
// nvme-volume, nvme-device, xvd-to-sd, sd-to-xvd: the name conversions.
#include "columns.h"
#include "output.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoNVMEDiskDevice.h"
#include "ZoVDDiskDevice.h"

#include <cctype>

namespace zodisk {

namespace {

// Prints "from" converted to "to"; an empty result is a failure with the
// given message.
int answer(const Options& opts, Output& out, const char* fromKey, const char* toKey,
           const std::string& result, const std::string& failure) {
    if (result.empty()) {
        Output::error(failure);
        if (opts.json) {
            Json doc;
            doc[fromKey] = opts.name;
            doc[toKey] = nullptr;
            doc["errors"] = Json::array({failure});
            out.json(doc);
        }
        return EXIT_FAILED;
    }
    if (opts.json) {
        Json doc;
        doc[fromKey] = opts.name;
        doc[toKey] = result;
        doc["errors"] = Json::array();
        out.json(doc);
    } else {
        out.text(result + "\n");
    }
    return EXIT_OK;
}

// Splits "/dev/xvdf1" into "/dev/xvdf" and "1" when it is such a name:
// optionally /dev/, the prefix, letters, then digits. Returns false otherwise.
bool splitName(const std::string& name, const std::string& prefix, std::string* disk,
               std::string* digits) {
    size_t start = name.compare(0, 5, "/dev/") == 0 ? 5 : 0;
    if (name.compare(start, prefix.size(), prefix) != 0)
        return false;
    size_t letters = start + prefix.size();
    size_t end = letters;
    while (end < name.size() && std::islower(static_cast<unsigned char>(name[end])))
        ++end;
    size_t stop = end;
    while (stop < name.size() && std::isdigit(static_cast<unsigned char>(name[stop])))
        ++stop;
    if (end == letters || stop != name.size())
        return false;
    *disk = name.substr(0, end);
    *digits = name.substr(end);
    return true;
}

// One of the xvd/sd conversions. The library converts the disk name; a
// partition's number is kept as given. A name that is not of the kind
// converted is a usage error; a disk that has no name of the other kind (it
// lies before the root disk's letter) a failure.
int convertName(const Options& opts, Output& out, bool toSd) {
    const std::string from = toSd ? "xvd" : "sd", to = toSd ? "sd" : "xvd";
    std::string disk, digits;
    if (!splitName(opts.name, from, &disk, &digits)) {
        Output::error("'" + opts.name + "' is not " + (toSd ? "an xvd" : "an sd") +
                      " name (e.g. " + from + "f or /dev/" + from + "f1)");
        return EXIT_USAGE;
    }
    std::string result = toSd ? ZoVDDiskDevice::convertXVDtoSD(disk, nullptr)
                              : ZoVDDiskDevice::convertSDtoXVD(disk, nullptr);
    std::string resultDisk, rest;
    if (!splitName(result, to, &resultDisk, &rest) || !rest.empty())
        result.clear();
    else
        result += digits;
    return answer(opts, out, from.c_str(), to.c_str(), result,
                  opts.name + ": has no " + to + " name (names count from the root disk's letter)");
}

}  // namespace

int runNvmeVolume(const Options& opts, Output& out) {
    ZoHostInventory inv;
    if (!readInventory(&inv, ZoInventoryOptions::SERIAL))
        return EXIT_FAILED;
    std::string why;
    size_t i = findNamed(inv, opts.name, &why);
    if (i == ZoBlockDevice::npos)
        return answer(opts, out, "path", "volume", "", opts.name + ": " + why);
    // A partition's volume is its namespace's.
    const bool partition = inv.at(i).partition > 0 && inv.at(i).whole != ZoBlockDevice::npos;
    const ZoBlockDevice& d = inv.at(partition ? inv.at(i).whole : i);
    if (d.kind != ZoDevice::NVME_DISK)
        return answer(opts, out, "path", "volume", "",
                      opts.name + ": not an NVMe device (a " + kindOf(d) + " " + inv.at(i).typeName() + ")");
    Activity activity("volume id of " + opts.name);
    const std::string& path = partition || opts.name.find('/') == std::string::npos ? d.path : opts.name;
    CLuError err;
    std::string vol = ZoNVMEDiskDevice::convertNVMEtoAWSVol(path, &err);
    std::string failure = opts.name + (partition ? " (a partition of " + d.path + ")" : "");
    if (d.serial.compare(0, 3, "vol") != 0)
        failure += ": its serial" + (d.serial.empty() ? "" : " '" + d.serial + "'") +
                   " is not a volume id (vol...)";
    else
        failure += ": the volume id of its serial '" + d.serial + "' could not be read" +
                   (err.IsError() ? " (" + err.AsString() + ")" : "");
    return answer(opts, out, "path", "volume", vol, failure);
}

int runNvmeDevice(const Options& opts, Output& out) {
    if (opts.name.compare(0, 3, "vol") != 0) {
        Output::error("'" + opts.name + "' is not a volume id (vol...)");
        return EXIT_USAGE;
    }
    Activity activity("NVMe device of volume " + opts.name);
    CLuError err;
    // Devices whose serial is not a volume id leave errors on the way; only
    // the result tells whether the volume was found.
    std::string path = ZoNVMEDiskDevice::convertAWSVoltoNVME(opts.name, &err);
    return answer(opts, out, "volume", "path", path,
                  opts.name + ": no NVMe device carries this volume id");
}

int runXvdToSd(const Options& opts, Output& out) {
    return convertName(opts, out, true);
}

int runSdToXvd(const Options& opts, Output& out) {
    return convertName(opts, out, false);
}

}  // namespace zodisk
