// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoUdev.h"

#include "EvDebug.h"
#include "FXString.h"
#include "LUSleep.h"
#include "ZoHost.h"
#include "ZoProcess.h"

#include <unistd.h>

namespace zo_udev {

std::string findUdevadm() {
    static const char* const kPlaces[] = {"/sbin/udevadm", "/usr/sbin/udevadm", "/bin/udevadm",
                                          "/usr/bin/udevadm"};
    std::shared_ptr<ZoHost> host = ZoHost::current();
    for (const char* place : kPlaces)
        if (host->access(place, F_OK) == 0) return place;
    return std::string();
}

bool blockProperties(unsigned major, unsigned minor, std::map<std::string, std::string>* properties) {
    std::string text;
    const std::string path = "/run/udev/data/b" + std::to_string(major) + ":" + std::to_string(minor);
    if (ZoHost::current()->readFile(path, &text, ZoHost::kAttributeBytes) != 0) return false;
    properties->clear();
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        const size_t eq = line.find('=');
        if (line.compare(0, 2, "E:") == 0 && eq != std::string::npos)
            (*properties)[line.substr(2, eq - 2)] = line.substr(eq + 1);
        pos = end + 1;
    }
    return true;
}

void settle(int timeoutSec, SettleLog log, const char* function, int line) {
    std::shared_ptr<ZoHost> host = ZoHost::current();
    std::string command;
    if (host->access("/sbin/udevsettle", F_OK) == 0)
        command = "udevsettle";
    else if (!findUdevadm().empty())
        command = "udevadm settle";
    if (timeoutSec != 0)
        command += FXString::Format(" --timeout=%d", timeoutSec);

    std::string out;
    std::string errText;
    const int rc = ZoProcess::system(command.c_str(), &out, &errText, 0, false);
    if (rc == 0)
        return;
    const unsigned long sleepMs = timeoutSec > 0 ? static_cast<unsigned long>(timeoutSec) * 1000UL : 0;
    if (log == SettleLog::Debug) {
        EvDebug(nullptr).Debug("waitForSettle", "%s return %d:%s", command.c_str(), rc,
                               errText.c_str());
        if (sleepMs)
            host->sleepMs(sleepMs);
    } else {
        if (g_ptrLogWriter)
            g_ptrLogWriter->write(ZO_LOG_NOTICE, function, line, 0, 0, "%s return [%d]:[%s]",
                                  command.c_str(), rc, errText.c_str());
        if (sleepMs)
            LUSLEEP_InTeRnAl(sleepMs, __FILE__, __LINE__);
    }
}

}  // namespace zo_udev
