// SPDX-License-Identifier: LGPL-2.1-or-later
// Small text and path helpers shared by the library and its services.
// Library-internal; no I/O.
#pragma once

#include <string>

namespace zo_str {

// True iff text begins with prefix.
inline bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// text without the blanks, tabs, carriage returns and newlines around it.
std::string trimmed(const std::string& text);

// The last component of a path; the path itself when it has no '/'.
std::string baseName(const std::string& path);
// Everything before the last '/': "/" for "/x", "." for a path without '/'.
std::string dirName(const std::string& path);

}  // namespace zo_str
