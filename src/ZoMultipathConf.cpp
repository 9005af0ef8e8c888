// SPDX-License-Identifier: LGPL-2.1-or-later
#include "ZoMultipathConf.h"

#include <regex.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zo_mpconf {

namespace {

using Level = SectionTracker::Level;

// multipath-tools reads a line in pieces of this many characters at most.
const size_t kPieceLength = 1023;

// Blank for the configuration reader: white space and every byte outside
// ASCII, which the reader skips between tokens.
bool isSeparator(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c >= 0x80;
}

bool endsWord(unsigned char c) {
    return isSeparator(c) || c == '"' || c == '{' || c == '}' || c == '#' || c == '!';
}

// The section a keyword opens inside the level, NONE when it opens none.
Level subsection(Level at, const std::string& keyword) {
    static const struct {
        Level at;
        const char* keyword;
        Level sub;
    } table[] = {
        {Level::TOP, "defaults", Level::DEFAULTS},
        {Level::TOP, "blacklist", Level::BLACKLIST},
        {Level::TOP, "blacklist_exceptions", Level::EXCEPTIONS},
        {Level::TOP, "devices", Level::DEVICES},
        {Level::TOP, "overrides", Level::OVERRIDES},
        {Level::TOP, "multipaths", Level::MULTIPATHS},
        {Level::BLACKLIST, "device", Level::LIST_DEVICE},
        {Level::EXCEPTIONS, "device", Level::LIST_DEVICE},
        {Level::DEVICES, "device", Level::DEVICE},
        {Level::OVERRIDES, "protocol", Level::PROTOCOL},
        {Level::MULTIPATHS, "multipath", Level::MULTIPATH},
    };
    for (const auto& row : table) {
        if (row.at == at && keyword == row.keyword) return row.sub;
    }
    return Level::NONE;
}

const char* levelName(Level l) {
    switch (l) {
        case Level::TOP: return "the top level";
        case Level::DEFAULTS: return "defaults";
        case Level::BLACKLIST: return "blacklist";
        case Level::EXCEPTIONS: return "blacklist_exceptions";
        case Level::LIST_DEVICE: case Level::DEVICE: return "device";
        case Level::DEVICES: return "devices";
        case Level::OVERRIDES: return "overrides";
        case Level::PROTOCOL: return "protocol";
        case Level::MULTIPATHS: return "multipaths";
        case Level::MULTIPATH: return "multipath";
        case Level::NONE: break;
    }
    return "?";
}

// Returns true iff multipath-tools compiles the key's value as a regular
// expression while it reads the file (a value that does not compile makes it
// reject the whole file).
bool isPatternKey(Level l, const std::string& key) {
    if (l == Level::BLACKLIST || l == Level::EXCEPTIONS)
        return key == "devnode" || key == "wwid" || key == "property" || key == "protocol";
    return l == Level::LIST_DEVICE && (key == "vendor" || key == "product");
}

// Returns true iff multipath-tools acts on a statement starting with
// keyword at the level: it opens or closes a section, or it is an entry or
// a pattern of the sections the editor reads.
bool acts(Level l, const std::string& keyword, bool closing) {
    if (closing || subsection(l, keyword) != Level::NONE) return true;
    if (l == Level::MULTIPATH) return keyword == "wwid" || keyword == "alias";
    return isPatternKey(l, keyword);
}

// The value as a message shows it: bytes outside printable ASCII as \xHH.
std::string shown(const std::string& value) {
    std::string out;
    for (const char ch : value) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f) {
            out += ch;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

std::string format(const char* fmt, int line, const std::string& a = "", const std::string& b = "") {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, line, a.c_str(), b.c_str());
    return buf;
}

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

std::string plainWwidFault(const std::string& wwid) {
    for (const char c : wwid) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           c == '-' || c == '_' || c == ':';
        if (!plain)
            return "its WWID \"" + shown(wwid) +
                   "\" holds characters other than letters, digits, '-', '_' and ':', which multipath "
                   "reads as a regular expression";
    }
    if (wwid.size() < kMinPlainWwidLength)
        return "its WWID \"" + wwid + "\" is shorter than " + std::to_string(kMinPlainWwidLength) +
               " characters, and multipath would match it inside the WWIDs of other disks";
    return "";
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

SectionTracker::SectionTracker() : m_stack{{Level::TOP, 0}} {}

// The tokens of one piece up to its comment. A string runs to the next
// double quote that is not doubled ("" stands for a quote) or, when
// unclosed, to the end of the piece.
std::vector<SectionTracker::Token> SectionTracker::tokenize(std::string_view piece) {
    std::vector<Token> tokens;
    size_t i = 0;
    const size_t n = piece.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(piece[i]);
        if (isSeparator(c)) {
            ++i;
        } else if (c == '#' || c == '!') {
            break;
        } else if (c == '{' || c == '}') {
            tokens.push_back({c == '{' ? Token::OPEN : Token::CLOSE, std::string(1, static_cast<char>(c))});
            ++i;
        } else if (c == '"') {
            std::string text;
            for (++i; i < n; ++i) {
                if (piece[i] != '"') {
                    text += piece[i];
                } else if (i + 1 < n && piece[i + 1] == '"') {
                    text += '"';
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
            tokens.push_back({Token::STRING, std::move(text)});
        } else {
            const size_t start = i;
            while (i < n && !endsWord(static_cast<unsigned char>(piece[i]))) ++i;
            tokens.push_back({Token::WORD, std::string(piece.substr(start, i - start))});
        }
    }
    return tokens;
}

void SectionTracker::setFault(int line, const std::string& why) {
    if (m_fault.line == 0) m_fault = {line, why};
}

LineView SectionTracker::next(std::string_view line) {
    ++m_line;
    LineView v;
    auto within = [this](Level l) {
        return std::any_of(m_stack.begin(), m_stack.end(), [l](const Frame& f) { return f.level == l; });
    };
    v.inBlacklistExceptions = within(Level::EXCEPTIONS);
    v.inMultipaths = within(Level::MULTIPATHS);
    v.inMultipath = within(Level::MULTIPATH);
    int statements = 0;
    for (size_t at = 0; at < line.size(); at += kPieceLength)
        statements += piece(line.substr(at, kPieceLength), at > 0, &v);
    v.inBlacklistExceptions = v.inBlacklistExceptions || within(Level::EXCEPTIONS);
    v.inMultipaths = v.inMultipaths || within(Level::MULTIPATHS);
    v.inMultipath = v.inMultipath || within(Level::MULTIPATH);
    v.soleExceptionEntry = statements == 1 && v.exceptionWwids.size() == 1;
    return v;
}

// One piece of a line, as multipath-tools reads it: up to its first carriage
// return or newline after other text. Returns 1 when it held a statement.
int SectionTracker::piece(std::string_view text, bool continuation, LineView* v) {
    const size_t start = text.find_first_not_of("\r\n");
    if (start == std::string_view::npos) return 0;
    const size_t cut = text.find_first_of("\r\n", start);
    if (cut != std::string_view::npos && !tokenize(text.substr(cut)).empty())
        setFault(m_line, format("line %d: multipath reads nothing after the carriage return on the line", m_line));
    const std::vector<Token> tokens = tokenize(text.substr(0, cut));
    if (tokens.empty()) return 0;
    statement(tokens, continuation, v);
    return 1;
}

void SectionTracker::statement(const std::vector<Token>& t, bool continuation, LineView* v) {
    const bool braces = std::any_of(t.begin(), t.end(), [](const Token& k) { return k.kind >= Token::OPEN; });
    const Level sub = t[0].kind == Token::WORD ? subsection(level(), t[0].text) : Level::NONE;
    // The rest of a long line is text a reader takes for part of the line
    // (often a comment): a divergence only where multipath-tools acts on it.
    if (continuation) {
        const bool opening = t[0].kind == Token::OPEN && !m_pendingKeyword.empty();
        if (!opening && !acts(level(), t[0].kind == Token::WORD ? t[0].text : "", t[0].kind == Token::CLOSE))
            return;
        setFault(m_line, format("line %d is longer than 1023 characters: multipath reads its rest as a line "
                                "of its own", m_line));
    }
    if (!m_pendingKeyword.empty()) {
        const std::string keyword = m_pendingKeyword;
        m_pendingKeyword.clear();
        if (t.size() == 1 && t[0].kind == Token::OPEN) return;  // the section's '{' on a line of its own
        setFault(m_line, format("line %d: multipath opens \"%s\" on the line before, which has no '{'",
                                m_line, keyword));
    }
    if (t[0].kind == Token::CLOSE) return close(t, v);
    if (t[0].kind == Token::OPEN)
        return setFault(m_line, format("line %d: multipath skips a line that starts with '{'", m_line));
    if (sub != Level::NONE) return open(sub, t, v);
    if (braces)
        setFault(m_line, format("line %d: \"%s\" opens no section of %s for multipath, which ignores the "
                                "braces on the line", m_line, shown(t[0].text), levelName(level())));
    value(t, v);
}

void SectionTracker::open(Level sub, const std::vector<Token>& t, LineView* v) {
    if (t.size() == 1) {
        m_pendingKeyword = t[0].text;
    } else if (t[1].kind != Token::OPEN) {
        setFault(m_line, format("line %d: multipath expects '{' right after \"%s\"", m_line, t[0].text));
    } else if (t.size() > 2) {
        setFault(m_line, format("line %d: multipath ignores what follows \"%s {\" on the line; each "
                                "statement of a section stands on a line of its own", m_line, t[0].text));
    }
    m_stack.push_back({sub, m_line});
    v->opensBlock = v->opensBlock || sub == Level::MULTIPATH;
    v->inMultipath = v->inMultipath || sub == Level::MULTIPATH;
}

void SectionTracker::close(const std::vector<Token>& t, LineView* v) {
    if (m_stack.size() == 1) return setFault(m_line, format("the '}' on line %d closes no section", m_line));
    if (t.size() > 1)
        setFault(m_line, format("line %d: multipath ignores what follows the '}' on the line", m_line));
    const Level closed = level();
    m_stack.pop_back();
    v->closesBlacklistExceptions = v->closesBlacklistExceptions || closed == Level::EXCEPTIONS;
    v->closesMultipaths = v->closesMultipaths || closed == Level::MULTIPATHS;
    v->closesBlock = v->closesBlock || closed == Level::MULTIPATH;
    v->closesListDevice = v->closesListDevice || closed == Level::LIST_DEVICE;
}

// A statement that opens nothing: a setting (its value is the first word, or
// the text of the first string, after the keyword) or a keyword unknown
// where it stands, which multipath-tools skips.
void SectionTracker::value(const std::vector<Token>& t, LineView* v) {
    if (t[0].kind != Token::WORD || t.size() < 2) return;
    const std::string& key = t[0].text;
    const std::string& val = t[1].text;
    const Level l = level();
    if (l == Level::EXCEPTIONS && key == "wwid") v->exceptionWwids.push_back(val);
    if (l == Level::MULTIPATH && key == "wwid") v->blockWwids.push_back(val);
    if (l == Level::MULTIPATH && key == "alias") v->blockAliases.push_back(val);
    if (l == Level::DEFAULTS && key == "config_dir") {
        v->setsConfigDir = true;
        v->configDir = val;
    }
    if (isPatternKey(l, key)) {
        const bool inException = std::any_of(m_stack.begin(), m_stack.end(),
                                              [](const Frame& f) { return f.level == Level::EXCEPTIONS; });
        v->patterns.push_back({inException, key, val});
    }
    if (isPatternKey(l, key)) checkPattern(key, val);
}

namespace {

// Counts the pieces a pattern's repetitions expand to, saturating at a
// bound: the pieces of a sequence add up, a group counts as its contents, a
// repetition {m,n} as n copies of what it repeats ({m,} as m + 1, '+' as 2).
class PieceCount {
public:
    explicit PieceCount(const std::string& p) : m_p(p) {}
    size_t count() {
        m_sums.assign(1, 0);
        m_last = 0;
        while (m_i < m_p.size()) step();
        size_t total = 0;
        for (size_t s : m_sums) total = add(total, s);  // unclosed groups
        return total;
    }

private:
    static size_t add(size_t a, size_t b) { return a + b > kCap ? kCap : a + b; }
    static size_t times(size_t a, size_t b) { return b && a > kCap / b ? kCap : a * b; }

    void atom(size_t pieces) {
        m_sums.back() = add(m_sums.back(), pieces);
        m_last = pieces;
    }
    void repeat(size_t copies) {
        if (copies < 1) copies = 1;
        m_sums.back() = add(m_sums.back(), times(m_last, copies - 1));
        m_last = times(m_last, copies);
    }
    // The largest count of an interval at m_i ('{' seen), or 0 when the
    // brace starts no interval (it is then an ordinary character).
    size_t interval() {
        size_t j = m_i + 1, high = 0, value = 0;
        bool digits = false, open = false;
        for (; j < m_p.size() && m_p[j] != '}'; ++j) {
            const char c = m_p[j];
            if (c >= '0' && c <= '9') {
                value = value > kCap ? kCap : value * 10 + static_cast<size_t>(c - '0');
                digits = true;
            } else if (c == ',' && !open) {
                open = true;
                high = value;
                value = 0;
            } else {
                return 0;
            }
        }
        if (j == m_p.size() || !digits) return 0;
        m_i = j + 1;
        if (!open) return value > 0 ? value : 1;
        return value > 0 ? std::max(high, value) : high + 1;  // {m,} or {m,n}
    }
    // A bracket expression is one piece; "[:alpha:]" and the like inside it
    // end at their own "]".
    void bracket() {
        size_t j = m_i + 1;
        if (j < m_p.size() && m_p[j] == '^') ++j;
        if (j < m_p.size() && m_p[j] == ']') ++j;
        while (j < m_p.size() && m_p[j] != ']') {
            const bool named = m_p[j] == '[' && j + 1 < m_p.size() && std::strchr(":.=", m_p[j + 1]);
            const size_t end = named ? m_p.find(']', j + 2) : std::string::npos;
            j = end != std::string::npos ? end + 1 : j + 1;
        }
        m_i = std::min(j + 1, m_p.size());
        atom(1);
    }
    void step() {
        const char c = m_p[m_i];
        if (c == '{') {
            const size_t n = interval();
            if (n) return repeat(n);
        } else if (c == '[') {
            return bracket();
        } else if (c == '(') {
            m_sums.push_back(0);
        } else if (c == ')' && m_sums.size() > 1) {
            const size_t inner = m_sums.back();
            m_sums.pop_back();
            ++m_i;
            return atom(inner);
        } else if (c == '+') {
            ++m_i;
            return repeat(2);
        } else if (c == '*' || c == '?' || c == '|') {
            ++m_i;
            return;
        } else if (c == '\\' && m_i + 1 < m_p.size()) {
            ++m_i;
        }
        ++m_i;
        if (c != '(') atom(1);
    }

    static const size_t kCap = kMaxPatternPieces + 1;
    const std::string& m_p;
    size_t m_i = 0;
    std::vector<size_t> m_sums;
    size_t m_last = 0;
};

}  // namespace

PatternFit compilePattern(const std::string& value, regex_t* re) {
    const std::string pattern = value.substr(value.compare(0, 1, "!") == 0 ? 1 : 0);
    if (PieceCount(pattern).count() > kMaxPatternPieces) return PatternFit::TOO_COMPLEX;
    return regcomp(re, pattern.c_str(), REG_EXTENDED | REG_NOSUB) == 0 ? PatternFit::COMPILES
                                                                        : PatternFit::NOT_A_REGEX;
}

void SectionTracker::checkPattern(const std::string& key, const std::string& val) {
    regex_t re;
    const PatternFit fit = compilePattern(val, &re);
    if (fit == PatternFit::COMPILES) return regfree(&re);
    if (fit == PatternFit::NOT_A_REGEX)
        return setFault(m_line, format("line %d: multipath rejects the whole file: %s \"%s\" is not a regular expression",
                                       m_line, key, shown(val)));
    const std::string limit = std::to_string(kMaxPatternPieces);
    setFault(m_line, format(("line %d: %s \"%s\" repeats to more than " + limit +
                             " pieces, too many for the editor to check").c_str(), m_line, key, shown(val)));
}

void SectionTracker::finish() {
    if (m_stack.size() > 1)
        setFault(m_stack.back().line,
                 format("the section opened on line %d is not closed", m_stack.back().line));
}

namespace {

// Adds the line's patterns; those of a device block go into *device, which
// joins the list when its block ends.
void addPatterns(const LineView& v, int line, ConfPattern* device, std::vector<ConfPattern>* patterns) {
    for (const LineView::Pattern& p : v.patterns) {
        if (p.key == "vendor" || p.key == "product") {
            device->exception = p.exception;
            device->key = "device";
            (p.key == "vendor" ? device->value : device->product) = p.value;
            device->line = line;
        } else {
            patterns->push_back({p.exception, p.key, p.value, "", line});
        }
    }
    if (v.closesListDevice) {
        if (device->line != 0) patterns->push_back(*device);
        *device = ConfPattern();
    }
}

}  // namespace

ConfReading readConf(std::string_view text) {
    ConfReading r;
    ConfPattern device;
    SectionTracker tracker;
    ConfEntry block;
    bool inBlock = false;
    int number = 0;
    for (const std::string_view line : splitLines(text)) {
        ++number;
        const LineView v = tracker.next(line);
        for (const std::string& w : v.exceptionWwids) r.entries.push_back({ConfEntry::EXCEPTION, w, number, ""});
        if (v.opensBlock) {
            block = {ConfEntry::BLOCK, "", 0, ""};
            inBlock = true;
        }
        for (const std::string& w : v.blockWwids) block.wwid = w, block.line = number;
        for (const std::string& a : v.blockAliases) block.alias = a;
        if (v.closesBlock && block.line != 0) r.entries.push_back(block);
        if (v.closesBlock) inBlock = false;
        if (v.setsConfigDir) r.setsConfigDir = true, r.configDir = v.configDir;
        addPatterns(v, number, &device, &r.patterns);
    }
    if (inBlock && block.line != 0) r.entries.push_back(block);
    tracker.finish();
    r.fault = tracker.fault();
    return r;
}

AddPlan planAdd(std::string_view text, const std::vector<std::string>& wwids,
                const std::string& timestamp, const ElsewhereEntries& elsewhere) {
    AddPlan plan;
    std::vector<std::string> blocked = elsewhere.blocked;
    for (const ConfEntry& e : readConf(text).entries) {
        if (!contains(wwids, e.wwid)) continue;
        addOnce(e.kind == ConfEntry::EXCEPTION ? plan.alreadyPresent : blocked, e.wwid);
    }
    for (const std::string& w : elsewhere.excepted) {
        if (contains(wwids, w)) addOnce(plan.alreadyPresent, w);
    }
    for (const std::string& w : wwids) {
        if (contains(plan.alreadyPresent, w)) continue;
        addOnce(plan.exceptionsAdded, w);
        if (!contains(blocked, w)) addOnce(plan.blocksAdded, w);
    }
    bool exceptionsWritten = plan.exceptionsAdded.empty();
    bool blocksWritten = plan.blocksAdded.empty();
    const std::vector<std::string_view> input = splitLines(text);
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
    if (exceptionsWritten && blocksWritten) return plan;
    // Appended sections start on a line of their own; a text that did not
    // end with a newline still does not.
    const bool unterminated = !text.empty() && text.back() != '\n';
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
    std::string blockWwid;  // the block's WWID (its last wwid statement)
    for (const std::string_view line : splitLines(text)) {
        const LineView v = tracker.next(line);
        if (v.opensBlock) {
            holding = true;
            block.clear();
            blockWwid.clear();
        }
        if (holding) {
            block.push_back(line);
            if (!v.blockWwids.empty()) blockWwid = v.blockWwids.back();
            if (!v.closesBlock) continue;
            holding = false;
            if (!blockWwid.empty() && contains(requested, blockWwid)) {
                ++plan.blocksRemoved;
                addOnce(plan.removedBlocks, blockWwid);
            } else {
                plan.lines.insert(plan.lines.end(), block.begin(), block.end());
            }
            continue;
        }
        if (v.soleExceptionEntry && contains(requested, v.exceptionWwids.front())) {
            ++plan.exceptionLinesRemoved;
            addOnce(plan.removedExceptions, v.exceptionWwids.front());
            continue;
        }
        plan.lines.emplace_back(line);
    }
    // A block still open at the end of the file is kept as it was.
    if (holding) plan.lines.insert(plan.lines.end(), block.begin(), block.end());
    plan.exceptionsDone = !requested.empty() && plan.removedExceptions.size() >= requested.size();
    plan.blocksDone = !requested.empty() && plan.removedBlocks.size() >= requested.size();
    return plan;
}

}  // namespace zo_mpconf
