// SPDX-License-Identifier: LGPL-2.1-or-later
// What a directory given as --sysroot must hold to stand for a machine.
// The check reads the tree through the current host (ZoHost::setRoot has
// been called with it) and touches nothing.
#pragma once

#include <string>
#include <vector>

namespace zodisk {

struct HostTreeFaults {
    // Set when the tree has no block layer at all: nothing can be answered.
    std::string fatal;
    // What is missing or malformed, each making some answers incomplete (a
    // fatal fault can come with the warning that the tree is an
    // incomplete capture).
    std::vector<std::string> warnings;
};

// The faults of the current host's tree; dir names it in the texts.
HostTreeFaults checkHostTree(const std::string& dir);

// The lines of a /proc/partitions text that are not its header, a blank
// line or "MAJOR MINOR BLOCKS NAME" (three numbers and a name), each as
// "line N: 'text'".
std::vector<std::string> malformedPartitionLines(const std::string& text);

}  // namespace zodisk
