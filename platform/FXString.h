// SPDX-License-Identifier: LGPL-2.1-or-later
// String helpers.
#pragma once

#include <cstddef>
#include <string>

class FXString {
public:
    // printf-style formatting of any length.
    static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Position of the first occurrence of pattern in text, or all bits set
    // (std::string::npos) when there is none. caseSensitive false compares
    // ASCII letters without regard to case.
    static size_t FindStringPos(const std::string& text, const std::string& pattern,
                                bool caseSensitive);
    // The text quoted for /bin/sh: in single quotes, each ' written as '\''.
    static std::string ShellQuote(const std::string& text);
};
