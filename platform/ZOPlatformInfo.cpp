// SPDX-License-Identifier: LGPL-2.1-or-later
// The configuration store: an INI file read through the current host and
// parsed with inih.
#include "ZOPlatformInfo.h"
#include "ZOPlatformInfoInternal.h"

#include "EvDebug.h"
#include "ZoHost.h"

#include <ini.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// inih reads a whole file but names only its first malformed line. So that
// every malformed line is logged in one pass, each line is handed to inih on
// its own, framed by the state inih had before it and followed by probes
// that report the state after it:
//   [S]       the section in effect
//   P=r       restores the name a continuation line continues, if any
//   <line>    the line itself: its values, if any
//    c        a continuation: answers with that name after the line, or
//             is malformed (and silent) when there is none
//   p=p       answers with the section after the line
// The answers are told apart by their place among inih's calls, not by
// their text, so no value of the file can pass for one. inih stays the one
// judge of what a line means.
// inih's line buffer: a longer line would be read in pieces.
const size_t kMaxLine = 198;
// inih keeps the name a continuation continues cut to this length.
const size_t kMaxName = 49;

struct Call {
    std::string section, name, value;
};

int record(void* user, const char* section, const char* name, const char* value) {
    static_cast<std::vector<Call>*>(user)->push_back(Call{section, name, value});
    return 1;
}

struct Reader {
    const std::function<void(const char*, const char*, const char*)>* entry;
    std::string current;   // inih's section between lines
    std::string previous;  // the name a continuation line continues
};

// Reads one line (without its newline). Returns false iff the line is
// malformed (it is then skipped, as inih skips it).
bool readLine(std::string_view line, Reader* r) {
    if (line.size() > kMaxLine) return false;
    std::string framed = "[" + r->current + "]\n";
    int lineno = 2;
    if (!r->previous.empty()) {
        framed += r->previous.substr(0, kMaxName) + "=r\n";
        ++lineno;
    }
    framed.append(line.data(), line.size());
    framed += "\n c\np=p\n";
    std::vector<Call> calls;
    const int rc = ini_parse_string(framed.c_str(), record, &calls);
    // calls: [restored name], the line's values, [continuation], section.
    // The continuation answers iff a name is left to continue, and a value
    // with an empty name leaves none.
    size_t end = calls.size() - 1;
    r->current = calls[end].section;
    const size_t first = r->previous.empty() ? 0 : 1;
    const bool continued = end > first && !calls[end - 1].name.empty();
    r->previous = continued ? calls[--end].name : std::string();
    for (size_t i = first; i < end; ++i)
        (*r->entry)(calls[i].section.c_str(), calls[i].name.c_str(), calls[i].value.c_str());
    return rc != lineno;
}

// A decimal or 0x-prefixed hexadecimal unsigned number filling the whole
// text.
bool parseNumber(const std::string& text, unsigned long* value) {
    const char* s = text.c_str();
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    if (!std::isxdigit(static_cast<unsigned char>(*s)) || (base == 10 && !std::isdigit(static_cast<unsigned char>(*s))))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(s, &end, base);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

}  // namespace

namespace zo_ini {

std::vector<int> parse(const std::string& text,
                       const std::function<void(const char*, const char*, const char*)>& entry) {
    std::vector<int> malformed;
    Reader reader;
    reader.entry = &entry;
    // inih reads up to the first NUL and skips a byte order mark.
    std::string_view rest(text.c_str());
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    for (int lineno = 1; !rest.empty(); ++lineno) {
        const size_t eol = rest.find('\n');
        if (!readLine(rest.substr(0, eol), &reader)) malformed.push_back(lineno);
        rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    }
    return malformed;
}

}  // namespace zo_ini

ZOPlatformInfo::ZOPlatformInfo() {}

int ZOPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    if (!section || !key || !value)
        return 0;
    std::string text;
    if (ZoHost::current()->readFile(ZO_PLATFORM_CONFIG_PATH, &text) != 0)
        return 0;
    bool found = false;
    std::string last;  // the last value given for the key
    const std::vector<int> malformed =
        zo_ini::parse(text, [&](const char* s, const char* k, const char* v) {
            if (std::strcmp(s, section) == 0 && std::strcmp(k, key) == 0) {
                found = true;
                last = v;
            }
        });
    for (int lineno : malformed)
        EvDebug(nullptr).Error("ZOPlatformInfo::getNumber", "config.ini line %d malformed", lineno);
    if (!found)
        return 0;
    unsigned long v = 0;
    if (!parseNumber(last, &v)) {
        EvDebug(nullptr).Debug("ZOPlatformInfo::getNumber", "config.ini [%s] %s is not a number: %s",
                               section, key, last.c_str());
        return 0;
    }
    *value = v;
    return 1;
}
