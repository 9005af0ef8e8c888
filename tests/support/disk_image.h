// Disk images with real partition tables for host trees: a file of the given
// size partitioned by sfdisk, and a way to ask util-linux about it. No
// GoogleTest dependency. Failures throw std::runtime_error.
#pragma once

#include <string>

namespace zotest {

// Creates (or replaces) a sparse image of sizeMiB MiB at realPath and, when
// the script is not empty, writes the partition table described by the
// sfdisk script onto it.
void makeDiskImage(const std::string& realPath, unsigned sizeMiB, const std::string& sfdiskScript);

// Runs a shell command and returns its standard output; throws when it
// cannot be started or exits non-zero.
std::string runTool(const std::string& command);

// The path quoted for /bin/sh.
std::string shellWord(const std::string& path);

}  // namespace zotest
