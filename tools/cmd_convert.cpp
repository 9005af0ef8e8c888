// nvme-volume, nvme-device, xvd-to-sd, sd-to-xvd: the name conversions.
#include "output.h"
#include "udev_watch.h"
#include "zodisk.h"

#include "ZoNVMEDiskDevice.h"
#include "ZoVDDiskDevice.h"

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

}  // namespace

int runNvmeVolume(const Options& opts, Output& out) {
    Activity activity("volume id of " + opts.name);
    CLuError err;
    std::string vol = ZoNVMEDiskDevice::convertNVMEtoAWSVol(opts.name, &err);
    std::string why = err.IsError() ? err.AsString() : "no volume id";
    return answer(opts, out, "path", "volume", vol, opts.name + ": " + why);
}

int runNvmeDevice(const Options& opts, Output& out) {
    Activity activity("NVMe device of volume " + opts.name);
    CLuError err;
    // Devices whose serial is not a volume id leave errors on the way; only
    // the result tells whether the volume was found.
    std::string path = ZoNVMEDiskDevice::convertAWSVoltoNVME(opts.name, &err);
    return answer(opts, out, "volume", "path", path,
                  opts.name + ": no NVMe device carries this volume id");
}

int runXvdToSd(const Options& opts, Output& out) {
    std::string sd = ZoVDDiskDevice::convertXVDtoSD(opts.name, nullptr);
    return answer(opts, out, "xvd", "sd", sd, "empty name");
}

int runSdToXvd(const Options& opts, Output& out) {
    std::string xvd = ZoVDDiskDevice::convertSDtoXVD(opts.name, nullptr);
    return answer(opts, out, "sd", "xvd", xvd, "empty name");
}

}  // namespace zodisk
