// SPDX-License-Identifier: LGPL-2.1-or-later
// The partition-table reader: libblkid through the current host, so that a
// host tree can hold a disk as an image file with a real partition table.
#include "ZoPartitionReader.h"

#include "ZoHost.h"
#include "ZoPartInfo.h"

#include <cstring>

#include <vector>

ZoPartInfo::ZoPartInfo() { std::memset(this, 0, sizeof *this); }

int getPartitions(const char* node, std::list<slice>& out) {
    out.clear();
    if (!node)
        return -1;
    std::vector<ZoHostPartition> parts;
    int rc = ZoHost::current()->readPartitionTable(node, &parts);
    if (rc != 0)
        return rc < 0 ? rc : -1;
    for (const ZoHostPartition& p : parts) {
        slice s{};
        s.start = p.startSector;
        s.size = p.sectorCount;
        s.number = p.number;
        out.push_back(s);
    }
    return 0;
}
