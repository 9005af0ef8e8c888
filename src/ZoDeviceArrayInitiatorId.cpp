// SPDX-License-Identifier: LGPL-2.1-or-later
// Array identity of a device path, and the WWID derived from INQUIRY
// page 0x83 (Device Identification).
#include "ZOSO.h"

#include "EvDebug.h"
#include "ZoDeviceTree.h"
#include "ZoException.h"
#include "ZoIdentity.h"
#include "UXScsi.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace {
const unsigned kDefaultCommandTimeout = 10;
std::atomic<unsigned> g_commandTimeout{kDefaultCommandTimeout};
}  // namespace

void ZoDeviceTree::setCommandTimeout(unsigned seconds) {
    g_commandTimeout = seconds == 0 ? kDefaultCommandTimeout : seconds;
}

unsigned ZoDeviceTree::commandTimeout() { return g_commandTimeout; }

namespace ZOSO {

CLuError GetArrayIscsiIqn(const std::string&, std::string&, bool flag) {
    if (flag) EvDebug(nullptr).DebugLvl(__PRETTY_FUNCTION__, 2, "unable to get iscsi iqn\n");
    return FXErrorUtil::ErrorInt(FX_LOCATION, -1, "unable to get iscsi iqn");
}

CLuError GetArrayFCWWN(const std::string&, std::string&, bool flag) {
    if (flag) EvDebug(nullptr).DebugLvl(__PRETTY_FUNCTION__, 2, "unable to get wwn\n");
    return FXErrorUtil::ErrorInt(FX_LOCATION, -1, "%s", "unable to get wwn");
}

CLuError GetArrayInitiatorId(const std::string& path, std::string& out, bool flag) {
    CLuError result;
    try {
        result = GetArrayFCWWN(path, out, flag);
    } catch (...) {
        EvDebug(nullptr).debug("got unknown exeption in GetArrayFCWWN");
        return FXErrorUtil::ErrorInt(FX_LOCATION, -1, "%s", "unable to get FC wwn");
    }
    if (result.IsError())
        EvDebug(nullptr).debug("Unable to get FC WWN. Error [%s]", result.AsString().c_str());
    else
        EvDebug(nullptr).debug("Got FC WWN [%s]", out.c_str());
    return result;
}

namespace {

const int kPage83BufferLength = 4096;

}  // namespace

bool DetermineDeviceSerial(const unsigned long long& jobId, const std::string& path,
                           std::string& serial) {
    const char* label = "DetermineDeviceSerial";
    EvDebug log(nullptr);
    if (jobId != 0) log.setJobId(static_cast<long long>(jobId));

    SP<ZoDevice> device;
    try {
        CLuError lookupError = CLuError::Success();
        device = ZoDeviceTree::getDevice(path.c_str(), &lookupError);
        if (!device)
            throw ZoException(label, lookupError.AsString(), __FILE__, __LINE__, -1);
    } catch (ZoException& e) {
        log.Debug(label, "%s",
                  (std::string("ZoDeviceTree::getDevice exception caught :") + e.getMessage()).c_str());
        return false;
    }

    static const unsigned char cdb[6] = {0x12, 0x01, 0x83, 0x00, 0xff, 0x00};
    unsigned char page[kPage83BufferLength];
    std::memset(page, 0, sizeof page);
    try {
        auto* scsi = static_cast<ZoDeviceScsiIface*>(device->getInterface("ZoDeviceScsiIface"));
        if (!scsi) {
            log.Debug(label, "%s", ("'" + path + "' is not SCSI device").c_str());
            return false;
        }
        CLuError sendError = CLuError::Success();
        UXScsi::forgetTransferred();
        const int timeout = static_cast<int>(ZoDeviceTree::commandTimeout());
        if (scsi->sendScsiCDB(cdb, sizeof cdb, page, kPage83BufferLength, false, true, nullptr, 0,
                              timeout, &sendError) == -1)
            throw ZoException(label, sendError.AsString(), __FILE__, __LINE__, -1);
    } catch (ZoException& e) {
        log.Debug(label, "%s",
                  (std::string("Fail to send scsi inquiry cdb, caught exception: ") + e.getMessage())
                      .c_str());
        return false;
    }
    // The identifier is echoed to standard output as it is appended.
    const int transferred = UXScsi::lastTransferred();
    const std::string text = zo_identity::naaDesignator(
        page, transferred < 0 ? sizeof page : static_cast<size_t>(transferred));
    if (!text.empty()) {
        serial += text;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return true;
}

}  // namespace ZOSO

namespace zo_identity {

namespace {

// Bytes as lowercase hexadecimal, high nibble first.
std::string hexOf(const unsigned char* bytes, size_t length) {
    static const char kHexDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) text += {kHexDigits[bytes[i] >> 4], kHexDigits[bytes[i] & 0x0f]};
    return text;
}

}  // namespace

std::string naaDesignator(const unsigned char* page, size_t available) {
    if (available < 4) return std::string();
    size_t end = 4 + ((static_cast<size_t>(page[2]) << 8) | page[3]);
    end = std::min({end, available, static_cast<size_t>(kPage83Allocation)});
    size_t offset = 4;
    while (offset + 4 <= end) {
        const int codeSet = page[offset] & 0x0f;
        const int association = (page[offset + 1] >> 4) & 0x03;
        const int designatorType = page[offset + 1] & 0x0f;
        const size_t length = page[offset + 3];
        const unsigned char* designator = page + offset + 4;
        if (offset + 4 + length > end) break;
        if (association != 0 || designatorType != 3) {
            offset += length + 4;
            continue;
        }
        if (codeSet == 2) return "3" + std::string(reinterpret_cast<const char*>(designator), length);
        return "3" + hexOf(designator, length);
    }
    return std::string();
}

std::string naaDesignator(const std::string& page) {
    return naaDesignator(reinterpret_cast<const unsigned char*>(page.data()), page.size());
}

std::string preferredNaaDesignator(const std::string& pageText) {
    const auto* page = reinterpret_cast<const unsigned char*>(pageText.data());
    if (pageText.size() < 4) return std::string();
    const size_t end = std::min(pageText.size(), 4 + ((static_cast<size_t>(page[2]) << 8) | page[3]));
    const unsigned char* registered = nullptr;
    for (size_t offset = 4; offset + 4 <= end && offset + 4 + page[offset + 3] <= end;
         offset += 4 + page[offset + 3]) {
        const unsigned char* d = page + offset;
        if (((d[1] >> 4) & 0x03) != 0 || (d[1] & 0x0f) != 3 || d[3] == 0) continue;
        if (d[4] >> 4 == 6 && d[3] == 16) return "3" + hexOf(d + 4, d[3]);
        if (d[4] >> 4 == 5 && d[3] == 8 && !registered) registered = d;
    }
    return registered ? "3" + hexOf(registered + 4, registered[3]) : std::string();
}

}  // namespace zo_identity
