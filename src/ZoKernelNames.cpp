// SPDX-License-Identifier: LGPL-2.1-or-later
// Kernel disk names from /proc/partitions, and the regular-expression
// wrapper used to match them.
#include "ZoScsiDiskDevice.h"

#include "ZoHost.h"
#include "ZoKernelNames.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

ZoRegEx::ZoRegEx(const char* pattern, int flags)
    : m_compiled(pattern && regcomp(&m_regex, pattern, flags) == 0) {}

ZoRegEx::~ZoRegEx() {
    if (m_compiled) regfree(&m_regex);
}

bool ZoRegEx::match(const std::string& text, std::string* matched,
                    std::pair<unsigned long, unsigned long>* offsets) {
    if (!m_compiled) return false;
    regmatch_t m[1] = {};
    if (regexec(&m_regex, text.c_str(), 1, m, 0) != 0) return false;
    const unsigned long start = static_cast<unsigned long>(m[0].rm_so);
    const unsigned long end = static_cast<unsigned long>(m[0].rm_eo);
    if (matched) *matched = text.substr(start, end - start);
    if (offsets) *offsets = std::make_pair(start, end);
    return true;
}

namespace {

// Reads a decimal number at text[pos...] after leading white space. On
// success returns true and the number; false when no digit is there.
bool readNumber(const std::string& text, size_t pos, long long* value) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    size_t digits = pos;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == pos) return false;
    *value = std::strtoll(text.substr(pos, digits - pos).c_str(), nullptr, 10);
    return true;
}

std::string lookupKernelName(const char* namePattern, int major, int minor) {
    std::string contents;
    if (ZoHost::current()->readFile("/proc/partitions", &contents) != 0) return "";
    return zo_names::wholeDiskName(contents, namePattern, major, minor);
}

}  // namespace

namespace zo_names {

std::string wholeDiskName(const std::string& contents, const char* namePattern, int major, int minor) {
    ZoRegEx number("[0-9]+", REG_EXTENDED);
    ZoRegEx name(namePattern, REG_EXTENDED);
    size_t pos = 0;
    while (pos < contents.size()) {
        size_t eol = contents.find('\n', pos);
        if (eol == std::string::npos) eol = contents.size();
        const std::string line = contents.substr(pos, eol - pos);
        pos = eol + 1;

        std::string found;
        if (!name.match(line, &found, nullptr)) continue;
        std::string digits;
        std::pair<unsigned long, unsigned long> numberAt;
        if (!number.match(line, &digits, &numberAt)) continue;
        const long long lineMajor = std::strtoll(digits.c_str(), nullptr, 10);
        // The minor starts one character after the major's digits; a line
        // ending right after them has none.
        long long lineMinor = 0;
        if (numberAt.second + 1 > line.size() || !readNumber(line, numberAt.second + 1, &lineMinor))
            continue;
        if (static_cast<int32_t>(lineMajor) == major && static_cast<int32_t>(lineMinor) == minor)
            return found;
    }
    return "";
}

}  // namespace zo_names

std::string getScsiDevName(int major, int minor) {
    return lookupKernelName("sd[a-z]+", major, minor);
}

std::string getDeviceName(int major, int minor) {
    return lookupKernelName("xvd[a-z]+", major, minor);
}

std::string getNVMEDeviceName(int major, int minor) {
    // Any namespace, as a whole name: the digits run to their end, so a
    // partition's line (nvme0n2p1) gives its namespace (nvme0n2).
    return lookupKernelName("nvme[0-9]+n[0-9]+", major, minor);
}
