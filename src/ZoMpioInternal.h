// What the multipath facade offers the device tree beyond ZoMPIO.
// Library-internal.
#pragma once

#include <list>
#include <string>

namespace zo_mpio {

// The whole multipath maps that hold the block device at path (its sysfs
// holders/), as "/dev/mapper/<name>" (or "/dev/<kernel name>"), in the
// order ZoMPIO::getMPIODevices lists maps. Costs a few reads per holder,
// whatever the number of maps on the host. A path that is no device node
// is looked up by its name under /dev. Throws ZoException when the
// holders cannot be read.
std::list<std::string> mapsHolding(const std::string& path);

}  // namespace zo_mpio
