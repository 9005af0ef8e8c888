#include "ZoMultipathConf.h"

#include <algorithm>
#include <cstdio>

namespace zo_mpconf {

namespace {

enum class Kind { WORD, STRING, OPEN, CLOSE };

struct Token {
    Kind kind;
    std::string_view text;  // a word, or the text between a string's quotes
};

// Blank for the configuration reader: white space and every byte outside
// ASCII, which the reader skips between tokens.
bool isSeparator(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c >= 0x80;
}

bool endsWord(unsigned char c) {
    return isSeparator(c) || c == '"' || c == '{' || c == '}' || c == '#' || c == '!';
}

// The tokens of one line up to its comment (*comment: whether it has one).
// A string runs to the next double quote ("" inside a string stands for a
// quote) or, when unclosed, to the end of the line without its line break.
std::vector<Token> tokenize(std::string_view line, bool* comment = nullptr) {
    std::vector<Token> tokens;
    if (comment) *comment = false;
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (isSeparator(c)) {
            ++i;
        } else if (c == '#' || c == '!') {
            if (comment) *comment = true;
            break;
        } else if (c == '{' || c == '}') {
            tokens.push_back({c == '{' ? Kind::OPEN : Kind::CLOSE, line.substr(i, 1)});
            ++i;
        } else if (c == '"') {
            // Bounded look-ups only: the closing quote is the first one
            // not doubled.
            const size_t start = i + 1;
            size_t end = line.find('"', start);
            while (end != std::string_view::npos && line.substr(end, 2) == "\"\"")
                end = line.find('"', end + 2);
            if (end == std::string_view::npos) {
                end = n;
                while (end > start && (line[end - 1] == '\n' || line[end - 1] == '\r')) --end;
                i = n;
            } else {
                i = end + 1;
            }
            tokens.push_back({Kind::STRING, line.substr(start, end - start)});
        } else {
            const size_t start = i;
            while (i < n && !endsWord(static_cast<unsigned char>(line[i]))) ++i;
            tokens.push_back({Kind::WORD, line.substr(start, i - start)});
        }
    }
    return tokens;
}

bool isValue(const Token& t) { return t.kind == Kind::WORD || t.kind == Kind::STRING; }

void appendExceptions(std::vector<std::string>& out, const std::vector<std::string>& wwids,
                      const std::string& timestamp) {
    for (const std::string& w : wwids) out.push_back(exceptionLine(w, timestamp));
}

void appendBlocks(std::vector<std::string>& out, const std::vector<std::string>& wwids,
                  const std::string& timestamp) {
    for (const std::string& w : wwids) {
        for (std::string& l : multipathBlockLines(w, timestamp)) out.push_back(std::move(l));
    }
}

template <class C, class T>
bool contains(const C& c, const T& v) {
    return std::find(c.begin(), c.end(), v) != c.end();
}

template <class T>
void addOnce(std::vector<T>& c, const T& v) {
    if (!contains(c, v)) c.push_back(v);
}

}  // namespace

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool isSoundWwid(const std::string& wwid) {
    if (wwid.empty()) return false;
    for (const char ch : wwid) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7f || c == '"') return false;
    }
    return true;
}

std::string formatTimestamp(const struct tm& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

std::string exceptionLine(const std::string& wwid, const std::string& timestamp) {
    return "\twwid \"" + wwid + "\" # autocreated by quorvel on " + timestamp + "\n";
}

std::vector<std::string> multipathBlockLines(const std::string& wwid,
                                             const std::string& timestamp) {
    return {
        "\tmultipath {\n",
        "\t\t# autocreated by quorvel on " + timestamp + "\n",
        "\t\twwid \"" + wwid + "\"\n",
        "\t\talias \"mpath_zo_" + wwid + "\"\n",
        "\t}\n",
    };
}

BraceFault findBraceFault(std::string_view text) {
    std::vector<int> open;  // line of each '{' not yet closed
    int lineno = 0;
    for (const std::string_view line : splitLines(text)) {
        ++lineno;
        for (const Token& tok : tokenize(line)) {
            if (tok.kind == Kind::OPEN) {
                open.push_back(lineno);
            } else if (tok.kind == Kind::CLOSE) {
                if (open.empty()) return {lineno, false};
                open.pop_back();
            }
        }
    }
    if (!open.empty()) return {open.back(), true};
    return {};
}

LineView SectionTracker::next(std::string_view line) {
    LineView v;
    const int depthAtStart = m_depth;
    v.inBlacklistExceptions = m_section == BLACKLIST_EXCEPTIONS;
    v.inMultipaths = m_section == MULTIPATHS;
    v.inMultipath = m_inBlock;

    bool comment = false;
    const std::vector<Token> tokens = tokenize(line, &comment);
    bool statementStart = true;
    bool blockKeywordFirst = false;  // the pending "multipath" is the line's first token
    for (size_t k = 0; k < tokens.size(); ++k) {
        const Token& tok = tokens[k];
        if (tok.kind == Kind::OPEN) {
            if (m_pending == P_BLACKLIST_EXCEPTIONS) {
                m_section = BLACKLIST_EXCEPTIONS;
                v.inBlacklistExceptions = true;
            } else if (m_pending == P_MULTIPATHS) {
                m_section = MULTIPATHS;
                v.inMultipaths = true;
            } else if (m_pending == P_BLOCK) {
                m_inBlock = true;
                v.inMultipath = true;
                v.opensBlock = blockKeywordFirst;
            }
            v.bareSectionOpen = k == 1 && tokens.size() == 2 && !comment &&
                                (m_pending == P_BLACKLIST_EXCEPTIONS || m_pending == P_MULTIPATHS);
            m_pending = P_NONE;
            ++m_depth;
            statementStart = true;
            continue;
        }
        if (tok.kind == Kind::CLOSE) {
            m_pending = P_NONE;
            if (m_depth > 0) --m_depth;
            if (k == 0 && depthAtStart == 1) {
                v.closesBlacklistExceptions = m_section == BLACKLIST_EXCEPTIONS;
                v.closesMultipaths = m_section == MULTIPATHS;
            }
            if (m_inBlock && m_depth == 1) {
                m_inBlock = false;
                v.closesBlock = true;
                v.blockEndsLine = k + 1 == tokens.size();
            }
            if (m_depth == 0 && m_section != NONE) {
                v.closesSection = true;
                v.bareSectionClose = tokens.size() == 1 && !comment;
                m_section = NONE;
            }
            statementStart = true;
            continue;
        }
        if (!statementStart) continue;  // a value of the current statement
        statementStart = false;
        m_pending = P_NONE;
        if (tok.kind != Kind::WORD) continue;
        const std::string_view key = tok.text;
        if (m_section == NONE && m_depth == 0 && key == "blacklist_exceptions") {
            m_pending = P_BLACKLIST_EXCEPTIONS;
        } else if (m_section == NONE && m_depth == 0 && key == "multipaths") {
            m_pending = P_MULTIPATHS;
        } else if (m_section == MULTIPATHS && m_depth == 1 && !m_inBlock && key == "multipath") {
            m_pending = P_BLOCK;
            blockKeywordFirst = k == 0;
        } else if (key == "wwid" && k + 1 < tokens.size() && isValue(tokens[k + 1])) {
            const std::string value(tokens[k + 1].text);
            if (m_section == BLACKLIST_EXCEPTIONS && m_depth == 1) {
                v.exceptionWwids.push_back(value);
                v.soleExceptionEntry = k == 0 && tokens.size() == 2;
            } else if (m_inBlock && m_depth == 2) {
                v.blockWwids.push_back(value);
            }
        }
    }
    return v;
}

AddPlan planAdd(std::string_view text, const std::vector<std::string>& wwids,
                const std::string& timestamp) {
    AddPlan plan;
    const std::vector<std::string_view> input = splitLines(text);
    // Which requested WWIDs each kind of section already names.
    std::vector<std::string> excepted, blocked;
    {
        SectionTracker tracker;
        for (const std::string_view line : input) {
            const LineView v = tracker.next(line);
            for (const std::string& w : v.exceptionWwids) {
                if (contains(wwids, w) && !contains(excepted, w)) {
                    excepted.push_back(w);
                    plan.alreadyPresent.push_back(w);
                }
            }
            for (const std::string& w : v.blockWwids) {
                if (contains(wwids, w)) addOnce(blocked, w);
            }
        }
    }
    for (const std::string& w : wwids) {
        if (!contains(excepted, w)) addOnce(plan.exceptionsAdded, w);
        if (!contains(blocked, w)) addOnce(plan.blocksAdded, w);
    }
    bool exceptionsWritten = plan.exceptionsAdded.empty();
    bool blocksWritten = plan.blocksAdded.empty();
    SectionTracker tracker;
    for (const std::string_view line : input) {
        if (exceptionsWritten && blocksWritten) {
            plan.lines.emplace_back(line);
            continue;
        }
        const LineView v = tracker.next(line);
        if (v.closesBlacklistExceptions && !exceptionsWritten) {
            appendExceptions(plan.lines, plan.exceptionsAdded, timestamp);
            exceptionsWritten = true;
        }
        if (v.closesMultipaths && !blocksWritten) {
            appendBlocks(plan.lines, plan.blocksAdded, timestamp);
            blocksWritten = true;
        }
        plan.lines.emplace_back(line);
    }
    // Appended sections start on a line of their own; a text that did not
    // end with a newline still does not (so that removal can restore it).
    const bool unterminated = !text.empty() && text.back() != '\n';
    if (exceptionsWritten && blocksWritten) return plan;
    if (unterminated) plan.lines.back() += '\n';
    if (!exceptionsWritten) {
        plan.lines.emplace_back("blacklist_exceptions {\n");
        appendExceptions(plan.lines, plan.exceptionsAdded, timestamp);
        plan.lines.emplace_back("}\n");
    }
    if (!blocksWritten) {
        plan.lines.emplace_back("multipaths {\n");
        appendBlocks(plan.lines, plan.blocksAdded, timestamp);
        plan.lines.emplace_back("}\n");
    }
    if (unterminated) plan.lines.back().pop_back();
    return plan;
}

RemovePlan planRemove(std::string_view text, const std::vector<std::string>& wwids) {
    RemovePlan plan;
    std::vector<std::string> requested;
    for (const std::string& w : wwids) addOnce(requested, w);

    SectionTracker tracker;
    std::vector<std::string_view> block;  // the held-back multipath block
    bool holding = false;
    std::vector<std::string> blockMatches;
    // A section opened by a bare header line: dropped at its bare closing
    // line when everything in it was removed.
    struct {
        bool candidate = false;
        size_t header = 0;  // index of its header in plan.lines
        bool kept = false, removed = false;
    } section;
    for (const std::string_view line : splitLines(text)) {
        const LineView v = tracker.next(line);
        if (v.bareSectionOpen) {
            section = {};
            section.candidate = true;
            section.header = plan.lines.size();
            plan.lines.emplace_back(line);
            continue;
        }
        if (v.opensBlock) {
            holding = true;
            block.clear();
            blockMatches.clear();
        }
        if (holding) {
            block.push_back(line);
            for (const std::string& w : v.blockWwids) {
                if (contains(requested, w)) addOnce(blockMatches, w);
            }
            if (!v.closesBlock) continue;
            holding = false;
            if (!blockMatches.empty() && v.blockEndsLine) {
                ++plan.blocksRemoved;
                for (const std::string& w : blockMatches) addOnce(plan.removedBlocks, w);
                section.removed = true;
            } else {
                plan.lines.insert(plan.lines.end(), block.begin(), block.end());
                section.kept = true;
            }
            continue;
        }
        if (v.soleExceptionEntry && contains(requested, v.exceptionWwids.front())) {
            ++plan.exceptionLinesRemoved;
            addOnce(plan.removedExceptions, v.exceptionWwids.front());
            section.removed = true;
            continue;
        }
        if (v.closesSection) {
            const bool drop = section.candidate && v.bareSectionClose && section.removed && !section.kept;
            section.candidate = false;
            if (drop) {
                plan.lines.erase(plan.lines.begin() + static_cast<long>(section.header));
                // A section that ended the text without a newline: the
                // line before it ends the text now, as it did before the
                // section was appended.
                if (line.back() != '\n' && !plan.lines.empty() && !plan.lines.back().empty() &&
                    plan.lines.back().back() == '\n')
                    plan.lines.back().pop_back();
                continue;
            }
        }
        plan.lines.emplace_back(line);
        section.kept = true;
    }
    // A block still open at the end of the file is kept as it was.
    if (holding) plan.lines.insert(plan.lines.end(), block.begin(), block.end());
    plan.exceptionsDone = !requested.empty() && plan.removedExceptions.size() >= requested.size();
    plan.blocksDone = !requested.empty() && plan.removedBlocks.size() >= requested.size();
    return plan;
}

}  // namespace zo_mpconf
