// SPDX-License-Identifier: LGPL-2.1-or-later
// Captures the library's log lines for a test's lifetime.
#pragma once

#include "EvDebug.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace zotest {

class LogCapture {
public:
    // Installs a capturing writer at the given level (all detail by default).
    explicit LogCapture(int level = ZO_LOG_TRACE) : m_writer(new Writer(level)), m_previous(g_ptrLogWriter) {
        g_ptrLogWriter = m_writer;
    }
    ~LogCapture() { g_ptrLogWriter = m_previous; }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Number of lines whose text equals text exactly.
    size_t count(const std::string& text) const { return countIf([&](const Line& l) { return l.text == text; }); }
    // Number of lines whose text contains part.
    size_t countContaining(const std::string& part) const {
        return countIf([&](const Line& l) { return l.text.find(part) != std::string::npos; });
    }
    // Every line as "LEVEL FUNCTION: TEXT", for failure messages.
    std::string dump() const {
        std::lock_guard<std::mutex> g(m_writer->mutex);
        std::string out;
        for (const Line& l : m_writer->lines) out += std::to_string(l.level) + " " + l.function + ": " + l.text + "\n";
        return out;
    }

private:
    struct Line {
        int level;
        std::string function, text;
    };
    struct Writer : CLogWriterInterface {
        explicit Writer(int level) : level(level) {}
        int getLogLevel() const override { return level; }
        void setLogLevel(int l) override { level = l; }
        void writeLine(int l, const char* function, int, const std::string& text) override {
            std::lock_guard<std::mutex> g(mutex);
            lines.push_back(Line{l, function ? function : "", text});
        }
        int level;
        std::mutex mutex;
        std::vector<Line> lines;
    };
    template <class Pred> size_t countIf(Pred pred) const {
        std::lock_guard<std::mutex> g(m_writer->mutex);
        return std::count_if(m_writer->lines.begin(), m_writer->lines.end(), pred);
    }
    boost::shared_ptr<Writer> m_writer;
    boost::shared_ptr<CLogWriterInterface> m_previous;
};

}  // namespace zotest
