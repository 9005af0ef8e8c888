// SPDX-License-Identifier: LGPL-2.1-or-later
#include "verbosity.h"

#include "EvDebug.h"

#include <algorithm>
#include <cstring>

namespace zodisk {

namespace {

const char kDecline[] = " is not supported device";

// Passes lines on to the standard error writer, holding back the kind
// declines unless they were asked for.
class ZodiskLogWriter final : public CLogWriterInterface {
public:
    ZodiskLogWriter(int level, bool declines)
        : m_inner(makeStderrLogWriter(level)), m_declines(declines) {}
    int getLogLevel() const override { return m_inner->getLogLevel(); }
    void setLogLevel(int level) override { m_inner->setLogLevel(level); }
    void writeLine(int level, const char* function, int line, const std::string& text) override {
        if (!m_declines && level >= ZO_LOG_TRACE && isKindDecline(function, text))
            return;
        m_inner->writeLine(level, function, line, text);
    }

private:
    boost::shared_ptr<CLogWriterInterface> m_inner;
    bool m_declines;
};

}  // namespace

bool isKindDecline(const char* function, const std::string& text) {
    const size_t n = sizeof kDecline - 1;
    return function && std::strcmp(function, "ZoDeviceTree::PopulateZoDevice") == 0 &&
           text.size() > n && text.compare(text.size() - n, n, kDecline) == 0;
}

void setVerbosity(int verbose) {
    const int level = verbose > 0 ? std::min(verbose, static_cast<int>(ZO_LOG_TRACE))
                                  : ZO_LOG_ERROR - 1;
    g_ptrLogWriter.reset(new ZodiskLogWriter(level, verbose > ZO_LOG_TRACE));
}

}  // namespace zodisk
