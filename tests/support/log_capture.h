// Captures the library's log lines for a test's lifetime.
#pragma once

#include "EvDebug.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace zotest {

struct LogLine {
    int level;
    std::string function;
    std::string text;
};

class LogCapture {
public:
    // Installs a capturing writer at the given level (all detail by default).
    explicit LogCapture(int level = ZO_LOG_TRACE) : m_writer(new Writer(level)), m_previous(g_ptrLogWriter) {
        g_ptrLogWriter = m_writer;
    }
    ~LogCapture() { g_ptrLogWriter = m_previous; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> g(m_writer->mutex);
        return m_writer->lines;
    }
    // Number of lines whose text equals text exactly.
    size_t count(const std::string& text) const { return countIf(text, true); }
    // Number of lines whose text contains part.
    size_t countContaining(const std::string& part) const { return countIf(part, false); }
    std::string dump() const {
        std::string out;
        for (const auto& l : lines()) out += std::to_string(l.level) + " " + l.function + ": " + l.text + "\n";
        return out;
    }

private:
    struct Writer : CLogWriterInterface {
        explicit Writer(int level) : level(level) {}
        int getLogLevel() const override { return level; }
        void setLogLevel(int l) override { level = l; }
        void writeLine(int l, const char* function, int, const std::string& text) override {
            std::lock_guard<std::mutex> g(mutex);
            lines.push_back(LogLine{l, function ? function : "", text});
        }
        int level;
        std::mutex mutex;
        std::vector<LogLine> lines;
    };
    size_t countIf(const std::string& text, bool whole) const {
        const auto all = lines();
        return std::count_if(all.begin(), all.end(), [&](const LogLine& l) {
            return whole ? l.text == text : l.text.find(text) != std::string::npos;
        });
    }
    boost::shared_ptr<Writer> m_writer;
    boost::shared_ptr<CLogWriterInterface> m_previous;
};

}  // namespace zotest
