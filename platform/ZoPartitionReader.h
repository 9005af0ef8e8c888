// SPDX-License-Identifier: LGPL-2.1-or-later
// The partition-table reader.
#pragma once

#include <cstdint>
#include <list>

// One partition as the reader reports it (32 bytes).
struct slice {
    uint64_t start;       // first sector (512-byte sectors)
    uint64_t size;        // length in sectors
    uint64_t reserved1;
    int32_t number;       // the number the partition's node name ends with
    int32_t reserved2;
};
static_assert(sizeof(slice) == 32, "slice is 32 bytes");

// Reads the partition table of the disk node through ZoHost. Leaves in the
// list exactly the partitions of the table it read (an earlier call's slices
// are removed). Returns 0 (no slices for a disk without a partition table),
// or a negative value when the disk cannot be read.
int getPartitions(const char* node, std::list<slice>& out);
