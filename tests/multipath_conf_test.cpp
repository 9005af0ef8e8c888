// The multipath configuration engine: line reading, section tracking, and
// the exact output of adding and removing over a corpus of layouts.
#include "ZoMultipathConf.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

using zo_mpconf::AddPlan;
using zo_mpconf::LineView;
using zo_mpconf::RemovePlan;

const std::string kTs = "2024/01/02 03:04:05 ";

std::string join(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l;
    return s;
}

std::string exc(const std::string& w) {
    return "\twwid \"" + w + "\" # autocreated by quorvel on 2024/01/02 03:04:05 \n";
}

std::string blk(const std::string& w) {
    return "\tmultipath {\n\t\t# autocreated by quorvel on 2024/01/02 03:04:05 \n\t\twwid \"" + w +
           "\"\n\t\talias \"mpath_zo_" + w + "\"\n\t}\n";
}

// The views of every line of text.
std::vector<LineView> views(const std::string& text) {
    zo_mpconf::SectionTracker t;
    std::vector<LineView> out;
    for (auto line : zo_mpconf::splitLines(text)) out.push_back(t.next(line));
    return out;
}

TEST(MultipathConfLines, SplitsWholeLinesKeepingNewlines) {
    const std::string longLine(5000, 'x');
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"\n", {"\n"}},
        {"a\nb", {"a\n", "b"}},
        {"a\n\nb\n", {"a\n", "\n", "b\n"}},
        {"#" + longLine + "\nz\n", {"#" + longLine + "\n", "z\n"}},
    };
    for (const auto& c : cases) {
        auto got = zo_mpconf::splitLines(c.text);
        ASSERT_EQ(got.size(), c.lines.size()) << c.text.substr(0, 40);
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], c.lines[i]) << i;
    }
}

TEST(MultipathConfLines, SoundWwids) {
    struct Case {
        std::string wwid;
        bool sound;
    } cases[] = {
        {"36001405abcdef0123456789", true},
        {"1ACME    DISK", false},  // blanks of an ASCII designator
        {"", false},
        {"ab\"c", false},
        {"ab\nc", false},
        {"ab\tc", false},
        {std::string("ab\x7f"), false},
        {std::string("ab\xc3\xa9"), false},
        {"a#b{c}!~", true},
    };
    for (const auto& c : cases) EXPECT_EQ(zo_mpconf::isSoundWwid(c.wwid), c.sound) << c.wwid;
}

TEST(MultipathConfLines, TimestampAndEntryFormats) {
    struct tm t = {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    EXPECT_EQ(zo_mpconf::formatTimestamp(t), kTs);
    EXPECT_EQ(zo_mpconf::exceptionLine("3600a", kTs),
              "\twwid \"3600a\" # autocreated by quorvel on 2024/01/02 03:04:05 \n");
    EXPECT_EQ(join(zo_mpconf::multipathBlockLines("3600a", kTs)),
              "\tmultipath {\n"
              "\t\t# autocreated by quorvel on 2024/01/02 03:04:05 \n"
              "\t\twwid \"3600a\"\n"
              "\t\talias \"mpath_zo_3600a\"\n"
              "\t}\n");
}

// Section flags and WWID entries of single lines in context.
TEST(MultipathConfTracker, ClassifiesLines) {
    const std::string comment5000 = "# " + std::string(1100, 'x') + " multipaths {" +
                                    std::string(3900, 'y') + "\n";
    struct Case {
        const char* name;
        std::string text;
        size_t line;  // the line looked at
        bool inExceptions, inMultipaths, inBlock;
        std::vector<std::string> exceptionWwids, blockWwids;
    } cases[] = {
        {"keyword after a comment sign", "# multipaths {\nwwid \"A\"\n", 1, false, false, false, {}, {}},
        {"keyword with brace attached", "multipaths{\n\tmultipath{\n\t\twwid A\n", 2, false, true,
         true, {}, {"A"}},
        {"find_multipaths is no section", "defaults {\n\tfind_multipaths yes\n", 1, false, false,
         false, {}, {}},
        {"keyword as a value is no section", "defaults {\n\tx multipaths {\n}\n", 1, false, false,
         false, {}, {}},
        {"quoted and bare values", "blacklist_exceptions {\n\twwid \"ABC\"\n\twwid DEF\n", 2, true,
         false, false, {"DEF"}, {}},
        {"a comment sign inside quotes is text", "blacklist_exceptions {\n\twwid \"A#B\" # c\n", 1,
         true, false, false, {"A#B"}, {}},
        {"last line without newline keeps its value", "blacklist_exceptions {\n\twwid \"ABC\"", 1,
         true, false, false, {"ABC"}, {}},
        {"bare value at end of file", "blacklist_exceptions {\n\twwid ABC", 1, true, false, false,
         {"ABC"}, {}},
        {"wwid inside a nested device block is no entry",
         "blacklist_exceptions {\n\tdevice {\n\t\twwid \"A\"\n", 2, true, false, false, {}, {}},
        {"wwid after a nested block still counts",
         "blacklist_exceptions {\n\tdevice {\n\t}\n\twwid \"B\"\n", 3, true, false, false, {"B"}, {}},
        {"section ends at depth zero", "blacklist_exceptions {\n\tdevice {\n\t}\n}\nwwid \"C\"\n", 4,
         false, false, false, {}, {}},
        {"blacklist is not blacklist_exceptions", "blacklist {\n\twwid \"A\"\n", 1, false, false,
         false, {}, {}},
        {"one-line section", "blacklist_exceptions { wwid \"A\" }\n", 0, true, false, false, {"A"}, {}},
        {"line after one-line section", "blacklist_exceptions { wwid \"A\" }\nwwid \"B\"\n", 1, false,
         false, false, {}, {}},
        {"tabs and blanks", " \tmultipaths\t{ \n \t multipath\t{\n\t \twwid\t\"A\"  \n", 2, false, true,
         true, {}, {"A"}},
        {"alias naming multipath opens nothing",
         "multipaths {\n\tmultipath {\n\t\talias \"multipath_db\"\n\t\twwid W\n", 3, false, true, true,
         {}, {"W"}},
        {"long comment line is one line", comment5000 + "wwid X\n", 1, false, false, false, {}, {}},
    };
    for (const auto& c : cases) {
        auto v = views(c.text);
        ASSERT_LT(c.line, v.size()) << c.name;
        const LineView& l = v[c.line];
        EXPECT_EQ(l.inBlacklistExceptions, c.inExceptions) << c.name;
        EXPECT_EQ(l.inMultipaths, c.inMultipaths) << c.name;
        EXPECT_EQ(l.inMultipath, c.inBlock) << c.name;
        EXPECT_EQ(l.exceptionWwids, c.exceptionWwids) << c.name;
        EXPECT_EQ(l.blockWwids, c.blockWwids) << c.name;
    }
}

TEST(MultipathConfTracker, ClosingLines) {
    // Only a line starting with the brace that ends the section is a place to
    // insert before.
    auto v = views(
        "blacklist_exceptions {\n"  // 0
        "\tdevice {\n"              // 1
        "\t}\n"                     // 2: closes the nested block only
        "}\n"                       // 3
        "multipaths {\n"            // 4
        "\tmultipath {\n"           // 5
        "\t}\n"                     // 6: closes the block
        "  \t}\n"                   // 7
        "multipaths {\n"            // 8
        "\tx 1 }\n");               // 9: closes, but after other text
    std::vector<int> closesExc, closesMp, closesBlock;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i].closesBlacklistExceptions) closesExc.push_back(i);
        if (v[i].closesMultipaths) closesMp.push_back(i);
        if (v[i].closesBlock) closesBlock.push_back(i);
    }
    EXPECT_EQ(closesExc, std::vector<int>{3});
    EXPECT_EQ(closesMp, std::vector<int>{7});
    EXPECT_EQ(closesBlock, std::vector<int>{6});
    EXPECT_TRUE(v[5].opensBlock);
    EXPECT_FALSE(v[9].inMultipaths && v[9].closesMultipaths);
}

// ---------------------------------------------------------------------------
// Adding over the corpus. Each case names where the new exception lines and
// multipath blocks must land (before that input line; -1: in an appended
// section), so the expected bytes are the input with exactly those lines
// inserted.

const int APPEND = -1;

struct AddCase {
    const char* name;
    std::string input;
    std::vector<std::string> request;
    std::vector<std::string> alreadyPresent;
    int exceptionsAt;
    std::vector<std::string> exceptionWwids;
    int blocksAt;
    std::vector<std::string> blockWwids;
    bool closed = true;  // every section the input opens is closed
};

std::string expectedAdd(const AddCase& c) {
    std::string out;
    int i = 0;
    std::string excText, blkText;
    for (const auto& w : c.exceptionWwids) excText += exc(w);
    for (const auto& w : c.blockWwids) blkText += blk(w);
    for (auto line : zo_mpconf::splitLines(c.input)) {
        if (i == c.exceptionsAt) out += excText;
        if (i == c.blocksAt) out += blkText;
        out += std::string(line);
        ++i;
    }
    if (c.exceptionsAt == APPEND || c.blocksAt == APPEND) {
        if (!c.input.empty() && c.input.back() != '\n') out += "\n";
    }
    if (c.exceptionsAt == APPEND) out += "blacklist_exceptions {\n" + excText + "}\n";
    if (c.blocksAt == APPEND) out += "multipaths {\n" + blkText + "}\n";
    return out;
}

const std::string kLong = "# " + std::string(1200, '-') + " multipaths { blacklist_exceptions {" +
                          std::string(3760, '-') + "\n";

std::vector<AddCase> addCorpus() {
    return {
        {"empty file", "", {"A", "B"}, {}, APPEND, {"A", "B"}, APPEND, {"A", "B"}},
        {"no sections", "defaults {\n\tuser_friendly_names yes\n}\n", {"A"}, {}, APPEND, {"A"},
         APPEND, {"A"}},
        {"defaults with find_multipaths",
         "defaults {\n\tfind_multipaths yes\n}\nblacklist_exceptions {\n}\nmultipaths {\n}\n",
         {"A"}, {}, 4, {"A"}, 6, {"A"}},
        {"one-line defaults with find_multipaths", "defaults { find_multipaths yes }\n", {"A"}, {},
         APPEND, {"A"}, APPEND, {"A"}},
        {"blacklist with wwid and devnode",
         "blacklist {\n\twwid \"A\"\n\tdevnode \"^(ram|zram)[0-9]*\"\n}\n", {"A"}, {}, APPEND, {"A"},
         APPEND, {"A"}},
        {"usual layout with one existing",
         "blacklist_exceptions {\n\twwid \"A\"\n}\nmultipaths {\n\tmultipath {\n\t\twwid \"A\"\n\t}\n}\n",
         {"A", "B"}, {"A"}, 2, {"B"}, 7, {"B"}},
        {"exceptions with property and device blocks",
         "blacklist_exceptions {\n"
         "\tproperty \"(SCSI_IDENT_|ID_WWN)\"\n"
         "\tdevice {\n\t\tvendor \"ACME\"\n\t\tproduct \"X\"\n\t}\n"
         "\twwid \"E\"\n"
         "\tdevice {\n\t\tvendor \"B\"\n\t}\n"
         "}\n",
         {"E", "N"}, {"E"}, 10, {"N"}, APPEND, {"N"}},
        {"multipaths before blacklist_exceptions",
         "multipaths {\n\tmultipath {\n\t\twwid \"M\"\n\t}\n}\nblacklist_exceptions {\n\twwid \"X\"\n}\n",
         {"M", "X", "N"}, {"M", "X"}, 7, {"N"}, 4, {"X", "N"}},
        {"block with wwid after alias",
         "multipaths {\n\tmultipath {\n\t\talias \"multipath_db\"\n\t\twwid W\n\t}\n}\n", {"W", "N"},
         {"W"}, APPEND, {"N"}, 5, {"N"}},
        {"one-line sections", "blacklist_exceptions { wwid \"A\" }\nmultipaths { }\n", {"A", "B"},
         {"A"}, APPEND, {"B"}, APPEND, {"B"}},
        {"keywords in comments",
         "# blacklist_exceptions {\n# multipaths {\ndefaults { # multipaths {\n"
         "\tpolling_interval 10 # blacklist_exceptions {\n}\n",
         {"A"}, {}, APPEND, {"A"}, APPEND, {"A"}},
        {"tabs and blanks",
         " \tblacklist_exceptions\t{ \n \t wwid\t\"A\"  \n\t }\n\tmultipaths  {\n  }\n", {"A", "B"},
         {"A"}, 2, {"B"}, 4, {"B"}},
        {"no final newline", "blacklist_exceptions {\n\twwid \"A\"\n}", {"B"}, {}, 2, {"B"}, APPEND,
         {"B"}},
        {"no final newline, value on the last line", "multipaths {\n}\nblacklist_exceptions {\n\twwid A",
         {"A", "B"}, {"A"}, APPEND, {"B"}, 1, {"A", "B"}, false},
        {"long comment line", kLong + "blacklist_exceptions {\n}\n", {"A"}, {}, 2, {"A"}, APPEND,
         {"A"}},
    };
}

TEST(MultipathConfAdd, Corpus) {
    for (const AddCase& c : addCorpus()) {
        AddPlan p = zo_mpconf::planAdd(c.input, c.request, kTs);
        EXPECT_EQ(join(p.lines), expectedAdd(c)) << c.name << "\n--- input:\n" << c.input;
        EXPECT_EQ(p.alreadyPresent, c.alreadyPresent) << c.name;
    }
}

// The usual layout, written out in full once.
TEST(MultipathConfAdd, UsualLayoutBytes) {
    const std::string in =
        "defaults {\n\tuser_friendly_names yes\n}\n"
        "blacklist_exceptions {\n\twwid \"A\" # autocreated by quorvel on 2023/12/31 23:59:59 \n}\n"
        "multipaths {\n}\n";
    AddPlan p = zo_mpconf::planAdd(in, {"A", "B"}, kTs);
    EXPECT_EQ(join(p.lines),
              "defaults {\n\tuser_friendly_names yes\n}\n"
              "blacklist_exceptions {\n"
              "\twwid \"A\" # autocreated by quorvel on 2023/12/31 23:59:59 \n"
              "\twwid \"B\" # autocreated by quorvel on 2024/01/02 03:04:05 \n"
              "}\n"
              "multipaths {\n"
              "\tmultipath {\n"
              "\t\t# autocreated by quorvel on 2024/01/02 03:04:05 \n"
              "\t\twwid \"B\"\n"
              "\t\talias \"mpath_zo_B\"\n"
              "\t}\n"
              "}\n");
}

TEST(MultipathConfAdd, EverythingPresentAppendsEmptySection) {
    AddPlan p = zo_mpconf::planAdd("multipaths {\n\tmultipath {\n\t\twwid A\n\t}\n}\n", {"A"}, kTs);
    EXPECT_EQ(join(p.lines),
              "multipaths {\n\tmultipath {\n\t\twwid A\n\t}\n}\nblacklist_exceptions {\n}\n");
}

TEST(MultipathConfAdd, AddingTwiceChangesNothing) {
    for (const AddCase& c : addCorpus()) {
        if (!c.closed) continue;
        const std::string once = join(zo_mpconf::planAdd(c.input, c.request, kTs).lines);
        AddPlan again = zo_mpconf::planAdd(once, c.request, "2030/01/01 00:00:00 ");
        EXPECT_EQ(join(again.lines), once) << c.name;
        EXPECT_EQ(again.alreadyPresent.size(), c.request.size()) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Removing.

// Removing what adding wrote gives back the input, with the sections that
// adding appended left empty.
TEST(MultipathConfRemove, UndoesAddOverCorpus) {
    for (const AddCase& c : addCorpus()) {
        const std::string added = join(zo_mpconf::planAdd(c.input, c.request, kTs).lines);
        // Only a WWID that was new everywhere can be taken out again without
        // touching the input's own lines.
        std::vector<std::string> written;
        bool clean = true;
        for (const auto& w : c.request) {
            const bool present = std::count(c.alreadyPresent.begin(), c.alreadyPresent.end(), w);
            const bool given = std::count(c.exceptionWwids.begin(), c.exceptionWwids.end(), w) ||
                               std::count(c.blockWwids.begin(), c.blockWwids.end(), w);
            if (!present) written.push_back(w);
            if (present && given) clean = false;
        }
        if (!clean || written.empty()) continue;
        RemovePlan r = zo_mpconf::planRemove(added, written);
        std::string expected = c.input;
        if ((c.exceptionsAt == APPEND || c.blocksAt == APPEND) && !c.input.empty() &&
            c.input.back() != '\n')
            expected += "\n";
        if (c.exceptionsAt == APPEND) expected += "blacklist_exceptions {\n}\n";
        if (c.blocksAt == APPEND) expected += "multipaths {\n}\n";
        EXPECT_TRUE(r.keep()) << c.name;
        EXPECT_EQ(join(r.lines), expected) << c.name << "\n--- edited:\n" << added;
    }
}

TEST(MultipathConfRemove, Cases) {
    const std::string ab =
        "defaults {\n\tfind_multipaths yes\n}\n"
        "blacklist_exceptions {\n" + exc("A") + exc("B") + "}\nmultipaths {\n" + blk("A") + blk("B") +
        "}\n";
    struct Case {
        const char* name;
        std::string input;
        std::vector<std::string> request;
        bool keep;
        int linesRemoved, blocksRemoved;
        std::string output;  // when kept
    } cases[] = {
        {"both of two", ab, {"A", "B"}, true, 2, 2,
         "defaults {\n\tfind_multipaths yes\n}\nblacklist_exceptions {\n}\nmultipaths {\n}\n"},
        {"one of two", ab, {"B"}, true, 1, 1,
         "defaults {\n\tfind_multipaths yes\n}\nblacklist_exceptions {\n" + exc("A") +
             "}\nmultipaths {\n" + blk("A") + "}\n"},
        {"only an exception line", "blacklist_exceptions {\n\twwid \"A\"\n\twwid \"K\"\n}\n", {"A"},
         true, 1, 0, "blacklist_exceptions {\n\twwid \"K\"\n}\n"},
        {"one of two requested missing", "blacklist_exceptions {\n\twwid \"A\"\n}\n", {"A", "C"},
         false, 1, 0, ""},
        {"each in one section only",
         "blacklist_exceptions {\n\twwid \"A\"\n}\nmultipaths {\n" + blk("B") + "}\n", {"A", "B"},
         false, 1, 1, ""},
        {"named twice counts once",
         "blacklist_exceptions {\n\twwid \"A\"\n\twwid \"A\"\n}\n", {"A", "C"}, false, 2, 0, ""},
        {"block named twice counts once",
         "multipaths {\n" + blk("A") + blk("A") + "}\n", {"A", "C"}, false, 0, 2, ""},
        {"block ending mid-line stays",
         "multipaths {\n\tmultipath {\n\t\twwid A\n\t} multipath {\n\t\twwid K\n\t}\n}\n", {"A"},
         false, 0, 0, ""},
        {"named twice, both go", "blacklist_exceptions {\n\twwid \"A\"\n\twwid \"A\"\n}\nmultipaths {\n" +
                                    blk("A") + "}\n",
         {"A"}, true, 2, 1, "blacklist_exceptions {\n}\nmultipaths {\n}\n"},
        {"block with wwid after an alias naming multipath",
         "multipaths {\n\tmultipath {\n\t\talias \"multipath_db\"\n\t\tno_path_retry 5\n"
         "\t\twwid W\n\t}\n\tmultipath {\n\t\twwid K\n\t}\n}\n",
         {"W"}, true, 0, 1, "multipaths {\n\tmultipath {\n\t\twwid K\n\t}\n}\n"},
        {"unclosed block is kept",
         "multipaths {\n" + blk("A") + "\tmultipath {\n\t\twwid \"B\"\n", {"A"}, true, 0, 1,
         "multipaths {\n\tmultipath {\n\t\twwid \"B\"\n"},
        {"unclosed block only: nothing removed", "multipaths {\n\tmultipath {\n\t\twwid \"B\"\n",
         {"B"}, false, 0, 0, ""},
        {"wwid in a nested device block stays",
         "blacklist_exceptions {\n\tdevice {\n\t\twwid \"A\"\n\t}\n\twwid \"A\"\n}\n", {"A"}, true, 1,
         0, "blacklist_exceptions {\n\tdevice {\n\t\twwid \"A\"\n\t}\n}\n"},
        {"blacklist section is left alone", "blacklist {\n\twwid \"A\"\n}\n", {"A"}, false, 0, 0, ""},
        {"one-line exception section is not cut apart",
         "blacklist_exceptions { wwid \"A\" property \"X\" }\n", {"A"}, false, 0, 0, ""},
        {"one-line block goes whole",
         "multipaths {\n\tmultipath { wwid \"A\" alias \"x\" }\n\tmultipath { wwid \"K\" }\n}\n", {"A"},
         true, 0, 1, "multipaths {\n\tmultipath { wwid \"K\" }\n}\n"},
        {"no final newline", "blacklist_exceptions {\n\twwid \"K\"\n\twwid \"A\"", {"A"}, true, 1, 0,
         "blacklist_exceptions {\n\twwid \"K\"\n"},
    };
    for (const auto& c : cases) {
        RemovePlan r = zo_mpconf::planRemove(c.input, c.request);
        EXPECT_EQ(r.keep(), c.keep) << c.name << "\n--- input:\n" << c.input;
        EXPECT_EQ(r.exceptionLinesRemoved, c.linesRemoved) << c.name;
        EXPECT_EQ(r.blocksRemoved, c.blocksRemoved) << c.name;
        if (c.keep) {
            EXPECT_EQ(join(r.lines), c.output) << c.name;
        }
    }
}

}  // namespace
