// SPDX-License-Identifier: LGPL-2.1-or-later
// What keeps a device in use, in words: its mounts and swap areas, the
// devices stacked on it, and the openers device-mapper counts beyond those;
// for a multipath map, of the map and of each of its partition maps. Read
// from the host inventory: nothing here touches a device.
#pragma once

#include "ZoHostInventory.h"

#include <string>
#include <vector>

namespace zodisk {

// The inventory facts usesOf needs.
const unsigned kUseFacts = ZoInventoryOptions::MOUNTS | ZoInventoryOptions::OPEN_COUNT;

// One sentence per use of the device at index or of one of its partitions,
// e.g. "/dev/mapper/data-part1 is mounted on /srv", "/dev/mapper/data is
// held by /dev/mapper/vg-lv (dm-12, lvm)"; none when nothing uses them. A
// partition map holding its map is no use of the map (its own uses are).
std::vector<std::string> usesOf(const ZoHostInventory& inv, size_t index);

}  // namespace zodisk
