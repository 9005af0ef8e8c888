// Where the udev administration tool lives on this host, and what udev's
// database says of a block device.
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

}  // namespace zo_udev
