// SPDX-License-Identifier: LGPL-2.1-or-later
// The configuration store's INI reader, which hands inih one line at a
// time, against inih reading the whole text at once: wherever inih can read
// the text as a whole (no line longer than its buffer, no name so long that
// inih cuts it for a continuation line), both give the same values in the
// same order and the same first malformed line.
#include "ZOPlatformInfoInternal.h"

#include <ini.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Entries = std::vector<std::string>;

int collect(void* user, const char* section, const char* name, const char* value) {
    static_cast<Entries*>(user)->push_back(std::string(section) + '\0' + name + '\0' + value);
    return 1;
}

// Returns true iff every line (up to the first NUL) fits inih's buffer.
bool shortLines(const std::string& text) {
    size_t start = 0;
    for (size_t nl; start < text.size(); start = nl + 1) {
        nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        if (nl - start > 198) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Entries lineByLine;
    const std::vector<int> malformed = zo_ini::parse(text, [&](const char* s, const char* n, const char* v) {
        collect(&lineByLine, s, n, v);
    });
    const std::string upToNul(text.c_str());
    if (!shortLines(upToNul)) return 0;
    Entries whole;
    const int firstError = ini_parse_string(upToNul.c_str(), collect, &whole);
    for (const std::string& e : whole)
        if (e.find('\0', e.find('\0') + 1) - e.find('\0') > 49) return 0;
    if (whole != lineByLine) std::abort();
    if (firstError != (malformed.empty() ? 0 : malformed.front())) std::abort();
    return 0;
}
