// SPDX-License-Identifier: LGPL-2.1-or-later
// The configuration store's INI reader, for the library's own use (and its
// tests and fuzz targets); not part of the installed interface.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zo_ini {

// Reads INI text as inih reads it ([section] headers, name = value and
// name: value lines, ';' and '#' comments, continuation lines), calling
// entry(section, name, value) for every value in file order, and goes on
// after a malformed line. A line longer than 198 characters counts as
// malformed. Text after a NUL byte is ignored. Returns the 1-based numbers
// of the malformed lines.
std::vector<int> parse(const std::string& text,
                       const std::function<void(const char*, const char*, const char*)>& entry);

}  // namespace zo_ini
