// SPDX-License-Identifier: LGPL-2.1-or-later
// Synthetic SAN host trees for the benchmarks and bench/compare-lsblk.sh:
// `maps` multipath maps over `pathsPerMap` SCSI paths each, on Fibre
// Channel hosts 0..pathsPerMap-1 (each with its FC port, and a remote port
// per 256 maps that its paths lie under), with their device-mapper state
// (the last path of every 16th map failed); every 8th map carries two
// partition maps; one local ATA disk with two partitions per 64 maps. The
// layout is the one the library and lsblk --sysroot read (sys/block,
// sys/class/block, sys/dev/block, proc/partitions, proc/devices, the FC
// classes; nodes under /dev as the host-tree rules make them).
#pragma once

#include "support/host_tree.h"

#include <string>
#include <vector>

namespace zobench {

struct San {
    std::vector<std::string> mapNodes;                // "/dev/mapper/mpathX", by map
    std::vector<std::vector<std::string>> pathNodes;  // "/dev/sdX", by map
    std::vector<std::string> localDisks;              // "/dev/sdX"
    size_t blockDevices = 0;                          // every disk, map and partition
};

// Adds the SAN to tree.
San addSan(zotest::HostTree& tree, int maps, int pathsPerMap);

// The root of a SAN tree of this size, built once under $ZO_SAN_DIR
// (default /dev/shm/zodevice-san) and reused by later runs. Throws
// std::runtime_error when it cannot be built.
std::string sanTree(int maps, int pathsPerMap, San* san = nullptr);

}  // namespace zobench
