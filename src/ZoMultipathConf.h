// SPDX-License-Identifier: LGPL-2.1-or-later
// The multipath configuration engine: reads the text of a multipath.conf the
// way multipath-tools does, tells where the editor would read it otherwise,
// and produces the lines of the edited file. Pure text in, text out: it
// touches no host and keeps no state between calls. The editor
// (ZoDeviceTreeEditor) supplies the file, the lock and the replacement;
// ZoMultipathConfFiles reads the set of files multipath-tools reads.
//
// Reading rules (multipath-tools' own), shared by adding, removing and
// checking:
//   - The file is taken as whole lines, each with its newline; the last line
//     may lack one. multipath-tools reads a line in pieces of at most 1,023
//     characters, and a piece ends at its first carriage return.
//   - A piece is cut into tokens: words, double-quoted strings ("" inside a
//     string stands for a quote), '{' and '}'. A '#' or '!' outside a string
//     starts a comment that runs to the end of the line; bytes outside ASCII
//     separate words like blanks.
//   - A piece holds one statement: its first token is the keyword, the rest
//     are its value (the first word, or the text of the first string) and
//     whatever multipath-tools ignores after it. A section keyword opens its
//     section whatever follows it; a piece starting with '}' closes the
//     innermost section; nothing else opens or closes one.
//   - A WWID entry is a "wwid" statement directly inside blacklist_exceptions
//     (an exception), or directly inside a multipath block of a multipaths
//     section (the block's WWID; when a block names several, the last one).
//
// The editor edits only text it reads as multipath-tools does: a file whose
// braces say something else than its keywords (a section with more on its
// line after '{', text after '}', a '{' or '}' that opens or closes nothing
// for multipath-tools, an unknown section), a long line whose rest would be
// read as a statement, or a file multipath-tools rejects (a blacklist value
// that is no regular expression) has a ConfFault.
//
// Thread safety: the functions are reentrant; a SectionTracker is not shared.
#pragma once

#include <regex.h>

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace zo_mpconf {

// The lines of text, each with its trailing newline; the last line lacks one
// when the text does not end with a newline. Empty text gives no lines.
std::vector<std::string_view> splitLines(std::string_view text);

// Returns true iff wwid can stand in an entry line at all: not empty, and
// only printable ASCII characters other than blank and double quote.
bool isSoundWwid(const std::string& wwid);

// The fewest characters of a WWID the editor writes: the type digit and the
// 16 hexadecimal digits of the shortest NAA designator.
const size_t kMinPlainWwidLength = 17;

// Why wwid must not be written as an entry: multipath-tools reads an
// exception's value as an unanchored regular expression, so an entry must be
// a plain identifier (letters, digits, '-', '_', ':') of at least
// kMinPlainWwidLength characters, or it excepts other disks too. "" when it
// is fit.
std::string plainWwidFault(const std::string& wwid);

// How a blacklist value compiles the way multipath-tools compiles it (an
// extended regular expression; a leading '!' inverts the match and is not
// part of it). TOO_COMPLEX: its repetitions expand to more than
// kMaxPatternPieces pieces, which the regular expression compiler would
// build one by one (a value like "((a{200}){200}){200}" takes gigabytes);
// such a value is not compiled at all.
enum class PatternFit { COMPILES, NOT_A_REGEX, TOO_COMPLEX };
const size_t kMaxPatternPieces = 10000;
PatternFit compilePattern(const std::string& value, regex_t* re);

// The timestamp text of written entries: "YYYY/MM/DD hh:mm:ss " (20
// characters, ending in one blank) for the broken-down local time.
std::string formatTimestamp(const struct tm& local);

// The entry lines the editor writes (and recognises).
std::string exceptionLine(const std::string& wwid, const std::string& timestamp);
std::vector<std::string> multipathBlockLines(const std::string& wwid,
                                             const std::string& timestamp);

// Where the editor refuses a text: the first line on which its layout means
// something else to multipath-tools than to the editor, or on which
// multipath-tools rejects the file.
struct ConfFault {
    int line = 0;     // 1-based; 0: none
    std::string why;  // e.g. "the section opened on line 3 is not closed"
};

// What one line means to multipath-tools, given the lines before it.
struct LineView {
    // The line belongs, wholly or in part, to the section or block.
    bool inBlacklistExceptions = false;
    bool inMultipaths = false;
    bool inMultipath = false;
    // The line is the '}' that closes blacklist_exceptions (multipaths):
    // new entries go right before it.
    bool closesBlacklistExceptions = false;
    bool closesMultipaths = false;
    // The line's statement opens / its '}' closes a multipath block.
    bool opensBlock = false;
    bool closesBlock = false;
    // wwid statements directly in blacklist_exceptions, and wwid and alias
    // statements directly in a multipath block, in line order.
    std::vector<std::string> exceptionWwids;
    std::vector<std::string> blockWwids;
    std::vector<std::string> blockAliases;
    // The line's only statement is one exception: the line can go without
    // taking anything else multipath-tools reads with it.
    bool soleExceptionEntry = false;
    // A config_dir statement directly in defaults, and its value.
    bool setsConfigDir = false;
    std::string configDir;
    // Patterns of blacklist and blacklist_exceptions (wwid, devnode,
    // property, protocol; vendor and product of a device block), and the
    // '}' that ends such a device block.
    struct Pattern {
        bool exception;  // in blacklist_exceptions
        std::string key, value;
    };
    std::vector<Pattern> patterns;
    bool closesListDevice = false;
};

// Follows the sections of a text line by line, as multipath-tools does.
class SectionTracker {
public:
    SectionTracker();
    LineView next(std::string_view line);
    // Ends the text: a section still open is a fault.
    void finish();
    // The first fault met so far (line 0: none).
    const ConfFault& fault() const { return m_fault; }

    enum class Level {
        TOP, DEFAULTS, BLACKLIST, EXCEPTIONS, LIST_DEVICE, DEVICES, DEVICE,
        OVERRIDES, PROTOCOL, MULTIPATHS, MULTIPATH, NONE
    };

private:
    struct Token {
        enum Kind { WORD, STRING, OPEN, CLOSE } kind;
        std::string text;  // a word, or the text of a string ("" unescaped)
    };
    struct Frame {
        Level level;
        int line;  // where it opened
    };
    static std::vector<Token> tokenize(std::string_view piece);
    int piece(std::string_view text, bool continuation, LineView* v);
    void statement(const std::vector<Token>& t, bool continuation, LineView* v);
    void open(Level sub, const std::vector<Token>& t, LineView* v);
    void close(const std::vector<Token>& t, LineView* v);
    void value(const std::vector<Token>& t, LineView* v);
    void checkPattern(const std::string& key, const std::string& val);
    void setFault(int line, const std::string& why);
    Level level() const { return m_stack.back().level; }

    std::vector<Frame> m_stack;
    std::string m_pendingKeyword;  // a section keyword that stood alone on its line
    int m_line = 0;
    ConfFault m_fault;
};

// An entry multipath-tools sees in a text.
struct ConfEntry {
    enum Kind { EXCEPTION, BLOCK };
    Kind kind = EXCEPTION;
    std::string wwid;
    int line = 0;        // the line of its wwid statement
    std::string alias;   // BLOCK: the block's alias, "" when it has none
};

// An entry of blacklist or blacklist_exceptions.
struct ConfPattern {
    bool exception = false;  // of blacklist_exceptions
    std::string key;         // "wwid", "devnode", "property", "protocol" or "device"
    std::string value;       // the regular expression ("!" first: inverted); device: the vendor's
    std::string product;     // device: the product's
    int line = 0;            // device: of its last vendor or product statement
};

// A text as multipath-tools reads it.
struct ConfReading {
    std::vector<ConfEntry> entries;  // in text order
    std::vector<ConfPattern> patterns;
    ConfFault fault;                 // where the editor refuses the text
    bool setsConfigDir = false;      // defaults sets config_dir (the last value counts)
    std::string configDir;
};
ConfReading readConf(std::string_view text);

// The outcome of adding WWIDs to a file.
struct AddPlan {
    std::vector<std::string> lines;             // the new file, line by line
    std::vector<std::string> alreadyPresent;    // requested WWIDs that have an exception, in file order
    std::vector<std::string> exceptionsAdded;   // WWIDs given an exception line, in list order
    std::vector<std::string> blocksAdded;       // WWIDs given a multipath block, in list order
    // Returns true iff the new file differs from the old one.
    bool changed() const { return !exceptionsAdded.empty() || !blocksAdded.empty(); }
};

// WWIDs other files (of the configuration directory) give entries.
struct ElsewhereEntries {
    std::vector<std::string> excepted;
    std::vector<std::string> blocked;
};

// Gives every WWID of wwids that has no exception (in text or elsewhere) an
// exception, and a multipath block unless one names it (in text or
// elsewhere); a WWID with an exception gets nothing, so that no alias renames
// a map already in use. Exceptions go before the closing brace of the first
// blacklist_exceptions section, blocks before the closing brace of the
// first multipaths section; a section that is needed and missing is appended
// at the end, blacklist_exceptions first, preceded by a newline when the text
// does not end with one. Lines of the input appear unchanged and in order;
// with nothing to add, lines is the input. Expects a text without fault.
AddPlan planAdd(std::string_view text, const std::vector<std::string>& wwids,
                const std::string& timestamp, const ElsewhereEntries& elsewhere = {});

// The outcome of removing WWIDs from a file.
struct RemovePlan {
    std::vector<std::string> lines;   // the new file, line by line
    // Distinct requested WWIDs whose exception lines / multipath blocks
    // were removed.
    std::vector<std::string> removedExceptions;
    std::vector<std::string> removedBlocks;
    // Lines and blocks removed.
    int exceptionLinesRemoved = 0;
    int blocksRemoved = 0;
    bool exceptionsDone = false;  // every requested WWID lost its exception
    bool blocksDone = false;      // every requested WWID lost its block
    // Returns true iff the edited file is to replace the old one.
    bool keep() const { return exceptionsDone || blocksDone; }
};

// Removes every exception line and multipath block that names a WWID of
// wwids. A block goes as a whole; a block that is not closed by the end of
// the file stays. Section headers and closing braces stay, so every section
// the file had stays, empty or not. Every other line is kept unchanged and
// in order. Expects a text without fault.
RemovePlan planRemove(std::string_view text, const std::vector<std::string>& wwids);

}  // namespace zo_mpconf
