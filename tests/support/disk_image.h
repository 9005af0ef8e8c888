// Disks with real partition tables for host trees (sparse image files
// partitioned by sfdisk) and what the partition tests need to look at them.
// No GoogleTest dependency. Failures throw std::runtime_error.
#pragma once

#include "ZoDevice.h"  // and with it <list>, <string>

namespace zotest {

// Creates (or replaces) a sparse image of sizeMiB MiB at realPath and, when
// the script is not empty, writes the table the sfdisk script describes.
void makeDiskImage(const std::string& realPath, unsigned sizeMiB, const std::string& sfdiskScript);

// The partition interface of a device, or null.
ZoDevicePartIface* partIface(const SP<ZoDevice>& dev);

// Records as "name number major:minor start+sectors sectorsize; " each.
std::string describeParts(const std::list<ZoPartInfo>& parts);

}  // namespace zotest
