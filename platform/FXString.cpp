// SPDX-License-Identifier: LGPL-2.1-or-later
#include "FXString.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

std::string FXString::Format(const char* format, ...) {
    if (!format) return std::string();
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.assign(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(&out[0], out.size(), format, ap);
        out.resize(n);
    }
    va_end(ap);
    return out;
}

size_t FXString::FindStringPos(const std::string& text, const std::string& pattern,
                               bool caseSensitive) {
    if (caseSensitive) return text.find(pattern);
    if (pattern.size() > text.size()) return std::string::npos;
    for (size_t i = 0; i + pattern.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < pattern.size() &&
               std::tolower(static_cast<unsigned char>(text[i + j])) ==
                   std::tolower(static_cast<unsigned char>(pattern[j])))
            ++j;
        if (j == pattern.size()) return i;
    }
    return std::string::npos;
}

std::string FXString::ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
}
