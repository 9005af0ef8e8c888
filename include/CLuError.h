// SPDX-License-Identifier: LGPL-2.1-or-later
// Error values returned and passed by the library.
//
// A CLuError is a value: a signed code and a shared, immutable list of
// entries (message and code location). Copies share the entries; Push()
// returns a new value and never changes other copies. Not synchronised:
// one value must not be changed from two threads at once, but distinct
// copies may be used freely on different threads.
#pragma once

#include "ZoExport.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

// Where an error was raised: source file, full signature of the raising
// function, line.
class ZODEVICE_API FXCodeLocation {
public:
    FXCodeLocation(const char* file, const char* function, int line);
    const std::string& file() const { return m_file; }
    const std::string& function() const { return m_function; }
    int line() const { return m_line; }

private:
    std::string m_file;
    std::string m_function;
    int m_line;
};

// The location of the statement that uses it.
#define FX_LOCATION FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)

class ZODEVICE_API CLuError {
public:
    struct Entry {
        std::string message;
        FXCodeLocation location;
    };

    // Success: code 0, no entries.
    CLuError();
    static CLuError Success();

    // True iff this value was made by an error factory or has entries pushed
    // onto it. The code is kept exactly as it was passed (774, an errno value,
    // -1, even 0), so IsError() does not depend on its sign.
    bool IsError() const;
    int32_t GetCode() const { return m_code; }

    // Returns a copy of this value with one more entry (printf-style message)
    // that counts as an error. A success value becomes an error with code 774.
    CLuError Push(const FXCodeLocation& loc, const char* format, ...) const
        __attribute__((format(printf, 3, 4)));

    // The entries' messages joined with "; " (a single entry: its message
    // exactly). Empty for success.
    std::string AsString() const;
    // The same, each message followed by " [function file:line]".
    std::string AsDetailedString() const;
    // The entries in the order they were added.
    std::vector<Entry> Entries() const;

    // Used by the error factories.
    static CLuError Make(int32_t code, const FXCodeLocation& loc, const std::string& message);

private:
    struct Details {
        bool failed = false;
        std::vector<Entry> entries;
    };
    int32_t m_code;
    boost::shared_ptr<const Details> m_details;
};

// Error factories; each returns a value for which IsError() is true.
class ZODEVICE_API FXErrorUtil {
public:
    // The library's own failures; code is always 774.
    static CLuError ErrorWin32(const FXCodeLocation& loc, int code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // A failed system call; code is the captured errno value.
    static CLuError ErrorErrNo(const FXCodeLocation& loc, int code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // Array-identity failures; code is always -1.
    static CLuError ErrorInt(const FXCodeLocation& loc, int code, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
};

// The code the library uses for its own failures.
enum { ZO_ERROR_CODE = 774 };
