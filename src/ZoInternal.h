// SPDX-License-Identifier: LGPL-2.1-or-later
// Library-internal hooks: process-wide state that tests reset and count.
#pragma once

#include "ZoDeviceTree.h"

namespace zo_internal {

// Device tree: back to the load-time state (not refreshed, rescan setting
// unread).
void resetDeviceTreeState();
// How many times the device tree refreshed the SCSI layer's list.
unsigned long deviceTreeRefreshCount();

// Xen and NVMe kinds: forget the driver majors read from /proc/devices.
void resetXvdMajor();
void resetNvmeMajor();

// All of the above, and the default command time-out.
inline void resetProcessState() {
    ZoDeviceTree::setCommandTimeout(0);
    resetDeviceTreeState();
    resetXvdMajor();
    resetNvmeMajor();
}

}  // namespace zo_internal
