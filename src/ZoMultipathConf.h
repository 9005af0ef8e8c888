// The multipath configuration engine: reads the text of a multipath.conf,
// follows its blacklist_exceptions and multipaths sections, and produces the
// lines of the edited file. Pure text in, text out: it touches no host and
// keeps no state between calls. The editor (ZoDeviceTreeEditor) supplies the
// file, the lock and the replacement.
//
// Reading rules, shared by adding and removing:
//   - The file is taken as whole lines, each with its newline; the last line
//     may lack one.
//   - A line is cut into tokens the way multipath-tools reads it: words,
//     double-quoted strings, '{' and '}'. A '#' or '!' outside a string starts
//     a comment that runs to the end of the line.
//   - A statement starts at the first token of a line and after every brace.
//     "blacklist_exceptions" and "multipaths" open a section when they are a
//     statement outside every section of ours; "multipath" opens a block when
//     it is a statement directly inside multipaths. A section or block ends
//     with the brace that brings the nesting back to where it was opened.
//   - A WWID entry is a "wwid" statement directly inside blacklist_exceptions
//     or directly inside a multipath block; its value is the following word
//     or the whole text of the following string.
//
// Thread safety: the functions are reentrant; a SectionTracker is not shared.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace zo_mpconf {

// The lines of text, each with its trailing newline; the last line lacks one
// when the text does not end with a newline. Empty text gives no lines.
std::vector<std::string_view> splitLines(std::string_view text);

// Returns true iff wwid is fit to be written into the file: not empty, and
// only printable ASCII characters other than blank and double quote.
bool isSoundWwid(const std::string& wwid);

// The timestamp text of written entries: "YYYY/MM/DD hh:mm:ss " (20
// characters, ending in one blank) for the broken-down local time.
std::string formatTimestamp(const struct tm& local);

// The entry lines the editor writes (and recognises).
std::string exceptionLine(const std::string& wwid, const std::string& timestamp);
std::vector<std::string> multipathBlockLines(const std::string& wwid,
                                             const std::string& timestamp);

// Where the braces of a text fail to balance (strings and comments aside).
struct BraceFault {
    int line = 0;           // 1-based; 0 when the braces balance
    bool unclosed = false;  // true: the '{' on line is never closed;
                            // false: the '}' on line closes nothing
};
BraceFault findBraceFault(std::string_view text);

// What one line means, given the lines before it.
struct LineView {
    // The line belongs, wholly or in part, to the section or block.
    bool inBlacklistExceptions = false;
    bool inMultipaths = false;
    bool inMultipath = false;
    // The line's first token is the '}' that closes blacklist_exceptions
    // (or multipaths, outside any block): new entries go right before it.
    bool closesBlacklistExceptions = false;
    bool closesMultipaths = false;
    // The line holds nothing but a section header ("multipaths {") that
    // opens the section, or nothing but the '}' that closes it (no
    // comment either).
    bool bareSectionOpen = false;
    bool bareSectionClose = false;
    // A blacklist_exceptions or multipaths section ends on this line.
    bool closesSection = false;
    // The line's first statement opens a multipath block.
    bool opensBlock = false;
    // A multipath block ends on this line; blockEndsLine: its closing brace
    // is the line's last token, so the block is made of whole lines.
    bool closesBlock = false;
    bool blockEndsLine = false;
    // WWID entries on the line, directly in blacklist_exceptions and
    // directly in a multipath block.
    std::vector<std::string> exceptionWwids;
    std::vector<std::string> blockWwids;
    // The line holds exactly one statement, a wwid entry directly in
    // blacklist_exceptions (comments aside): it can go without losing
    // anything else.
    bool soleExceptionEntry = false;
};

// Follows the sections of a file line by line.
class SectionTracker {
public:
    LineView next(std::string_view line);

private:
    enum Section { NONE, BLACKLIST_EXCEPTIONS, MULTIPATHS };
    enum Pending { P_NONE, P_BLACKLIST_EXCEPTIONS, P_MULTIPATHS, P_BLOCK };
    int m_depth = 0;
    Section m_section = NONE;
    bool m_inBlock = false;
    Pending m_pending = P_NONE;
};

// The outcome of adding WWIDs to a file.
struct AddPlan {
    std::vector<std::string> lines;             // the new file, line by line
    std::vector<std::string> alreadyPresent;    // requested WWIDs that have an exception, in file order
    std::vector<std::string> exceptionsAdded;   // WWIDs given an exception line, in list order
    std::vector<std::string> blocksAdded;       // WWIDs given a multipath block, in list order
    // Returns true iff the new file differs from the old one.
    bool changed() const { return !exceptionsAdded.empty() || !blocksAdded.empty(); }
};

// Gives every WWID of wwids an exception unless a blacklist_exceptions
// section names it, and a multipath block unless a multipaths section
// names it (every section of a kind counts). Exceptions go before the
// closing brace of the first blacklist_exceptions section, blocks before
// the closing brace of the first multipaths section; a section that is
// needed and missing (or that closes in a way that leaves no line to insert
// before) is appended at the end, blacklist_exceptions first, preceded by a
// newline when the text does not end with one. Lines of the input appear
// unchanged and in order; with nothing to add, lines is the input.
AddPlan planAdd(std::string_view text, const std::vector<std::string>& wwids,
                const std::string& timestamp);

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
// the file stays. A section that held nothing but removed entries goes
// too, when its header and its closing brace stand alone on their lines.
// Every other line is kept unchanged and in order.
RemovePlan planRemove(std::string_view text, const std::vector<std::string>& wwids);

}  // namespace zo_mpconf
