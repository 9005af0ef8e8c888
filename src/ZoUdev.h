// Where the udev administration tool lives on this host.
#pragma once

#include <string>

namespace zo_udev {

// The first of /sbin/udevadm, /usr/sbin/udevadm, /bin/udevadm and
// /usr/bin/udevadm that exists (asked through ZoHost), or "" when none does.
// Distributions with a merged /usr keep it in /usr/bin only.
std::string findUdevadm();

}  // namespace zo_udev
