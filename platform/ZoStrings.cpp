// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoStrings.h"

namespace zo_str {

std::string trimmed(const std::string& text) {
    const char* blank = " \t\r\n";
    const std::string::size_type b = text.find_first_not_of(blank);
    if (b == std::string::npos) return std::string();
    return text.substr(b, text.find_last_not_of(blank) - b + 1);
}

std::string baseName(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace zo_str
