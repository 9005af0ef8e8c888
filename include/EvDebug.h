// SPDX-License-Identifier: LGPL-2.1-or-later
// Logging.
//
// Every log line goes through the process-wide writer g_ptrLogWriter. A line
// of level L is written only when the writer's level is at least L. Levels:
// -1 errors, 0 to 3 increasing detail. The default writer prints to standard
// error and starts at level -1, so a library caller sees only errors unless it
// raises the level or installs its own writer. The default writer is safe to
// use from several threads.
#pragma once

#include "ZoExport.h"

#include <boost/shared_ptr.hpp>

#include <string>

enum ZoLogLevel {
    ZO_LOG_ERROR = -1,
    ZO_LOG_NOTICE = 0,
    ZO_LOG_INFO = 1,   // EvDebug::Debug and EvDebug::debug
    ZO_LOG_DETAIL = 2,
    ZO_LOG_TRACE = 3,
};

class ZODEVICE_API CLogWriterInterface {
public:
    virtual ~CLogWriterInterface() = default;
    virtual int getLogLevel() const = 0;
    virtual void setLogLevel(int level) = 0;
    // Writes one formatted line when level <= getLogLevel(). function is a
    // function name or full signature, line its source line; the two ints are
    // reserved and passed as 0.
    virtual void write(int level, const char* function, int line, int reserved1, int reserved2,
                       const char* format, ...) __attribute__((format(printf, 7, 8)));
    // The formatted form of write(); writers override this one.
    virtual void writeLine(int level, const char* function, int line, const std::string& text) = 0;
};

// The writer every log line goes through. Never null while the library is
// loaded; callers may replace it (assign a new writer) at any time before
// they start using the library from several threads.
extern ZODEVICE_API boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// A writer that prints "zodevice: <function>: <text>" lines to standard
// error. Starts at the given level.
ZODEVICE_API boost::shared_ptr<CLogWriterInterface> makeStderrLogWriter(int level = ZO_LOG_ERROR);

class EvDebugFileInstance;

// A short-lived logging front end, made per message with a null file
// instance (the process's default log).
class ZODEVICE_API EvDebug {
public:
    explicit EvDebug(EvDebugFileInstance* instance = nullptr);
    void setJobId(long long jobId);

    void Debug(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* function, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void Error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    void emit(int level, const char* function, const std::string& text);
    long long m_jobId = 0;
};
