// SPDX-License-Identifier: LGPL-2.1-or-later
// udev on this host: where its administration tool lives, what its
// database says of a block device, and waiting for it to settle.
// Library-internal.
#pragma once

#include <map>
#include <string>

namespace zo_udev {

// The first of /sbin/udevadm, /usr/sbin/udevadm, /bin/udevadm and
// /usr/bin/udevadm that exists (asked through ZoHost), or "" when none does.
// Distributions with a merged /usr keep it in /usr/bin only.
std::string findUdevadm();

// The properties udev recorded for the block device with this number
// ("E:KEY=VALUE" lines of /run/udev/data/bMAJ:MIN, read through ZoHost; no
// process is run and the device is not touched). Returns false when udev
// keeps no record of it.
bool blockProperties(unsigned major, unsigned minor, std::map<std::string, std::string>* properties);

// Where settle() reports a failed run.
enum class SettleLog {
    // EvDebug::Debug under "waitForSettle": "%s return %d:%s" (command,
    // status, error text); the sleep goes through ZoHost.
    Debug,
    // g_ptrLogWriter at level 0 under function and line: "%s return
    // [%d]:[%s]"; the sleep goes through LUSLEEP_InTeRnAl.
    LogWriter,
};

// Runs the udev settle tool ("udevsettle" when /sbin/udevsettle exists,
// else "udevadm settle") with " --timeout=N" unless timeoutSec is 0. A
// failing run is logged as log says and followed by a sleep of the
// time-out.
void settle(int timeoutSec, SettleLog log = SettleLog::Debug, const char* function = "",
            int line = 0);

}  // namespace zo_udev
