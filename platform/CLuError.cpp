// SPDX-License-Identifier: LGPL-2.1-or-later
#include "CLuError.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string vformat(const char* format, va_list ap) {
    if (!format) return std::string();
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), format, ap);
    out.resize(n);
    return out;
}

}  // namespace

FXCodeLocation::FXCodeLocation(const char* file, const char* function, int line)
    : m_file(file ? file : ""), m_function(function ? function : ""), m_line(line) {}

CLuError::CLuError() : m_code(0) {}

CLuError CLuError::Success() { return CLuError(); }

bool CLuError::IsError() const { return m_details && m_details->failed; }

CLuError CLuError::Make(int32_t code, const FXCodeLocation& loc, const std::string& message) {
    CLuError e;
    e.m_code = code;
    auto d = boost::shared_ptr<Details>(new Details);
    d->failed = true;
    d->entries.push_back(Entry{message, loc});
    e.m_details = d;
    return e;
}

CLuError CLuError::Push(const FXCodeLocation& loc, const char* format, ...) const {
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    CLuError e;
    e.m_code = IsError() ? m_code : ZO_ERROR_CODE;
    auto d = boost::shared_ptr<Details>(new Details);
    if (m_details) d->entries = m_details->entries;
    d->failed = true;
    d->entries.push_back(Entry{text, loc});
    e.m_details = d;
    return e;
}

std::string CLuError::AsString() const {
    std::string out;
    if (!m_details) return out;
    for (const Entry& e : m_details->entries) {
        if (!out.empty()) out += "; ";
        out += e.message;
    }
    return out;
}

std::string CLuError::AsDetailedString() const {
    std::string out;
    if (!m_details) return out;
    for (const Entry& e : m_details->entries) {
        if (!out.empty()) out += "; ";
        out += e.message + " [" + e.location.function() + " " + e.location.file() + ":" +
               std::to_string(e.location.line()) + "]";
    }
    return out;
}

std::vector<CLuError::Entry> CLuError::Entries() const {
    return m_details ? m_details->entries : std::vector<Entry>();
}

#define ZO_FACTORY(name)                                                               \
    CLuError FXErrorUtil::name(const FXCodeLocation& loc, int code, const char* format, \
                               ...) {                                                  \
        va_list ap;                                                                    \
        va_start(ap, format);                                                          \
        std::string text = vformat(format, ap);                                        \
        va_end(ap);                                                                    \
        return CLuError::Make(code, loc, text);                                        \
    }
ZO_FACTORY(ErrorWin32)
ZO_FACTORY(ErrorErrNo)
ZO_FACTORY(ErrorInt)
#undef ZO_FACTORY
