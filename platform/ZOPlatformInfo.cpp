// The configuration store: an INI file read through the current host and
// parsed with inih.
#include "ZOPlatformInfo.h"

#include "EvDebug.h"
#include "ZoHost.h"

#include <ini.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Lookup {
    const char* section;
    const char* key;
    bool found = false;
    std::string value;  // the last value given for the key
};

int onEntry(void* user, const char* section, const char* name, const char* value) {
    Lookup* l = static_cast<Lookup*>(user);
    if (value && std::strcmp(section, l->section) == 0 && std::strcmp(name, l->key) == 0) {
        l->found = true;
        l->value = value;
    }
    return 1;
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

// Blanks out line number lineno (1-based) of text.
void blankLine(std::string* text, int lineno) {
    size_t start = 0;
    for (int i = 1; i < lineno && start != std::string::npos; ++i) {
        start = text->find('\n', start);
        if (start != std::string::npos)
            ++start;
    }
    if (start == std::string::npos || start > text->size())
        return;
    size_t end = text->find('\n', start);
    text->erase(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

ZOPlatformInfo::ZOPlatformInfo() {}

int ZOPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    if (!section || !key || !value)
        return 0;
    std::string text;
    if (ZoHost::current()->readFile(ZO_PLATFORM_CONFIG_PATH, &text) != 0)
        return 0;
    Lookup lookup;
    lookup.section = section;
    lookup.key = key;
    // inih keeps going after a malformed line but names only the first one;
    // blank each reported line out and parse again so that every malformed
    // line is logged. Blank lines change nothing else in how inih reads.
    int lastBad = 0;
    for (;;) {
        lookup.found = false;
        int rc = ini_parse_string(text.c_str(), onEntry, &lookup);
        if (rc <= lastBad)
            break;  // clean, or a line blanking cannot mend
        lastBad = rc;
        EvDebug(nullptr).Error("ZOPlatformInfo::getNumber", "config.ini line %d malformed", rc);
        blankLine(&text, rc);
    }
    if (!lookup.found)
        return 0;
    unsigned long v = 0;
    if (!parseNumber(lookup.value, &v)) {
        EvDebug(nullptr).Debug("ZOPlatformInfo::getNumber", "config.ini [%s] %s is not a number: %s",
                               section, key, lookup.value.c_str());
        return 0;
    }
    *value = v;
    return 1;
}
