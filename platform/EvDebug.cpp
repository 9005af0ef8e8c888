// SPDX-License-Identifier: LGPL-2.1-or-later
#include "EvDebug.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::string vformat(const char* format, va_list ap) {
    if (!format) return std::string();
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&out[0], out.size(), format, ap);
    out.resize(n);
    return out;
}

// Prints "zodevice: <function>: <text>" to standard error, one write per
// line so that lines of several threads do not interleave.
class StderrLogWriter final : public CLogWriterInterface {
public:
    explicit StderrLogWriter(int level) : m_level(level) {}
    int getLogLevel() const override { return m_level; }
    void setLogLevel(int level) override { m_level = level; }
    void writeLine(int level, const char* function, int line, const std::string& text) override {
        std::string out = "zodevice: ";
        if (level <= ZO_LOG_ERROR) out += "error: ";
        if (function && *function) {
            out += function;
            out += ": ";
        }
        out += text;
        if (out.empty() || out.back() != '\n') out += '\n';
        std::lock_guard<std::mutex> guard(m_mutex);
        fwrite(out.data(), 1, out.size(), stderr);
    }

private:
    int m_level;
    std::mutex m_mutex;
};

}  // namespace

void CLogWriterInterface::write(int level, const char* function, int line, int, int,
                                const char* format, ...) {
    if (level > getLogLevel()) return;
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    writeLine(level, function, line, text);
}

boost::shared_ptr<CLogWriterInterface> makeStderrLogWriter(int level) {
    return boost::shared_ptr<CLogWriterInterface>(new StderrLogWriter(level));
}

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter = makeStderrLogWriter(ZO_LOG_ERROR);

EvDebug::EvDebug(EvDebugFileInstance*) {}

void EvDebug::setJobId(long long jobId) { m_jobId = jobId; }

void EvDebug::emit(int level, const char* function, const std::string& text) {
    boost::shared_ptr<CLogWriterInterface> writer = g_ptrLogWriter;
    if (!writer || level > writer->getLogLevel()) return;
    if (m_jobId != 0)
        writer->writeLine(level, function, 0, "[job " + std::to_string(m_jobId) + "] " + text);
    else
        writer->writeLine(level, function, 0, text);
}

#define ZO_EMIT(level, function)              \
    do {                                      \
        va_list ap;                           \
        va_start(ap, format);                 \
        std::string text = vformat(format, ap); \
        va_end(ap);                           \
        emit((level), (function), text);      \
    } while (0)

void EvDebug::Debug(const char* function, const char* format, ...) {
    ZO_EMIT(ZO_LOG_INFO, function);
}
void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    ZO_EMIT(level, function);
}
void EvDebug::Error(const char* function, const char* format, ...) {
    ZO_EMIT(ZO_LOG_ERROR, function);
}
void EvDebug::debug(const char* format, ...) { ZO_EMIT(ZO_LOG_INFO, ""); }
void EvDebug::error(const char* format, ...) { ZO_EMIT(ZO_LOG_ERROR, ""); }
#undef ZO_EMIT
