// SPDX-License-Identifier: LGPL-2.1-or-later
// Kernel disk names from the text of /proc/partitions. Library-internal.
#pragma once

#include <string>

namespace zo_names {

// The text that namePattern (a POSIX extended regular expression) matches
// on the first line of procPartitions whose first number is major and whose
// next number (after one character and any blanks) is minor; "" when no
// line qualifies.
std::string wholeDiskName(const std::string& procPartitions, const char* namePattern, int major,
                          int minor);

}  // namespace zo_names
