// SPDX-License-Identifier: LGPL-2.1-or-later
// The editor's errors in the user's words.
#pragma once

#include <string>
#include <vector>

namespace zodisk {

// The errors the library gave for an edit of the disks at paths, each with
// zodisk's own sentence first (what the path is, which WWIDs the file
// lacks) and the library's text after it in parentheses. Errors zodisk has
// nothing to add to stay as they are.
std::vector<std::string> explainEditErrors(const std::vector<std::string>& paths,
                                           const std::vector<std::string>& errors);

}  // namespace zodisk
