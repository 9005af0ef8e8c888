// SPDX-License-Identifier: LGPL-2.1-or-later
#include "in_use.h"

namespace zodisk {

namespace {

void usesOfOne(const ZoHostInventory& inv, size_t index, std::vector<std::string>* out) {
    const ZoBlockDevice& d = inv.at(index);
    int counted = 0;  // opens device-mapper counts that are told below
    bool mounted = false;
    for (const std::string& m : d.mountpoints) {
        if (m == "[SWAP]") {
            out->push_back(d.path + " is in use as swap");
            ++counted;
        } else {
            out->push_back(d.path + " is mounted on " + m);
            mounted = true;  // however often: one open of the file system
        }
    }
    counted += mounted;
    for (size_t h : d.holders) {
        const ZoBlockDevice& holder = inv.at(h);
        ++counted;
        if (holder.whole != index)
            out->push_back(d.path + " is held by " + holder.path + " (" + holder.name + ", " + holder.typeName() + ")");
    }
    const int others = d.openCount - counted;
    if (d.openCount >= 0 && others > 0)
        out->push_back(d.path + " is open " + (others == 1 ? "once" : std::to_string(others) + " times") +
                       " besides its mounts and the devices on it (by a process)");
}

}  // namespace

std::vector<std::string> usesOf(const ZoHostInventory& inv, size_t index) {
    std::vector<std::string> uses;
    usesOfOne(inv, index, &uses);
    for (size_t p : inv.at(index).partitions)
        usesOfOne(inv, p, &uses);
    return uses;
}

}  // namespace zodisk
