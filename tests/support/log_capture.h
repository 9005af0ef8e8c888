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
    explicit LogCapture(int level = ZO_LOG_TRACE) : m_previous(g_ptrLogWriter) {
        m_writer.reset(new Writer(level));
        g_ptrLogWriter = m_writer;
    }
    ~LogCapture() { g_ptrLogWriter = m_previous; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const { return static_cast<Writer*>(m_writer.get())->lines(); }
    // Number of lines whose text equals text exactly.
    size_t count(const std::string& text) const {
        auto all = lines();
        return std::count_if(all.begin(), all.end(),
                             [&](const LogLine& l) { return l.text == text; });
    }
    // Number of lines whose text contains part.
    size_t countContaining(const std::string& part) const {
        auto all = lines();
        return std::count_if(all.begin(), all.end(), [&](const LogLine& l) {
            return l.text.find(part) != std::string::npos;
        });
    }
    std::string dump() const {
        std::string out;
        for (const auto& l : lines())
            out += std::to_string(l.level) + " " + l.function + ": " + l.text + "\n";
        return out;
    }

private:
    class Writer : public CLogWriterInterface {
    public:
        explicit Writer(int level) : m_level(level) {}
        int getLogLevel() const override { return m_level; }
        void setLogLevel(int level) override { m_level = level; }
        void writeLine(int level, const char* function, int, const std::string& text) override {
            std::lock_guard<std::mutex> g(m_mutex);
            m_lines.push_back(LogLine{level, function ? function : "", text});
        }
        std::vector<LogLine> lines() const {
            std::lock_guard<std::mutex> g(m_mutex);
            return m_lines;
        }

    private:
        int m_level;
        mutable std::mutex m_mutex;
        std::vector<LogLine> m_lines;
    };
    boost::shared_ptr<CLogWriterInterface> m_previous;
    boost::shared_ptr<CLogWriterInterface> m_writer;
};

}  // namespace zotest
