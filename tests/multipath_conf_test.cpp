// The editor over a corpus of configurations (tests/data/multipath: an input
// and the exact bytes expected after each operation), and the edited files
// read back by multipath-tools' own parser ("multipath -t" with the file in
// place of /etc/multipath.conf inside a private mount namespace).
#include "test.h"

#include "ZoDeviceTreeEditor.h"
#include "ZoMultipathConf.h"

#include <regex>

namespace {

const char* const kConf = "/etc/multipath.conf";
const std::string E = "3600a0b800000000e", F = "3600a0b800000000f", H = "3600a0b8#000000a",
                  N1 = "3600a0b8000000001", N2 = "3600a0b8000000002";
enum Op { ADD, DEL };

std::string exists(const std::string& w) { return "Blacklist exception already exists for " + w; }
const std::string kNotFound = "One or more wwid(s) not found in /etc/multipath.conf";
std::string unclosed(int line) {
    return "Unable to edit /etc/multipath.conf: the section opened on line " + std::to_string(line) + " is not closed";
}

struct Row {
    const char* in;
    Op op;
    std::vector<std::string> wwids;
    const char* out;  // nullptr: the operation fails and the file stays as it was
    std::vector<std::string> messages;  // the entries of the error, in order
    // multipath-tools reads the file as the editor does (it takes one
    // statement per line and cuts lines at 1,023 characters)
    bool plain;
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    os << (r.op == ADD ? "add " : "remove ") << ::testing::PrintToString(r.wwids) << " on " << r.in;
    return os << " -> " << (r.out ? r.out : "(failure)");
}

// Adding WWIDs that are new and removing them again gives the input back.
const std::vector<Row> kRows = {
    {"empty.conf", ADD, {N1, N2}, "empty.added", {}, true},
    {"empty.added", DEL, {N1, N2}, "empty.conf", {}, true},
    {"no_sections.conf", ADD, {N1, N2}, "no_sections.added", {}, true},
    {"no_sections.added", DEL, {N1, N2}, "no_sections.conf", {}, true},
    {"defaults_find_multipaths.conf", ADD, {E, N1, N2}, "defaults_find_multipaths.added", {exists(E)}, true},
    {"defaults_find_multipaths.added", DEL, {N1, N2}, "defaults_find_multipaths.conf", {}, true},
    {"defaults_find_multipaths.added", ADD, {N1, N2}, "defaults_find_multipaths.added", {exists(N1), exists(N2)}, true},
    {"blacklist_wwid_devnode.conf", ADD, {N1, N2}, "blacklist_wwid_devnode.added", {}, true},
    {"blacklist_wwid_devnode.added", DEL, {N1, N2}, "blacklist_wwid_devnode.conf", {}, true},
    {"exceptions_property_devices.conf", ADD, {E, N1, N2}, "exceptions_property_devices.added", {exists(E)}, true},
    {"exceptions_property_devices.added", DEL, {N1, N2}, "exceptions_property_devices.removed", {}, true},
    {"exceptions_property_devices.conf", DEL, {E}, "exceptions_property_devices.del_e", {}, true},
    {"multipaths_first.conf", ADD, {E, F, N1, N2}, "multipaths_first.added", {exists(E)}, true},
    {"multipaths_first.added", DEL, {N1, N2}, "multipaths_first.removed", {}, true},
    {"two_sections.conf", ADD, {E, F, N1}, "two_sections.added", {exists(E), exists(F)}, true},
    {"two_sections.added", DEL, {N1}, "two_sections.conf", {}, true},
    {"two_sections.conf", ADD, {E, F}, "two_sections.conf", {exists(E), exists(F)}, true},
    {"alias_before_wwid.conf", ADD, {E, N1, N2}, "alias_before_wwid.added", {}, true},
    {"alias_before_wwid.added", DEL, {N1, N2}, "alias_before_wwid.removed", {}, true},
    {"alias_before_wwid.conf", DEL, {E}, "alias_before_wwid.del_e", {}, true},
    {"one_line_sections.conf", ADD, {E, N1, N2}, "one_line_sections.added", {exists(E)}, false},
    {"one_line_sections.added", DEL, {N1, N2}, "one_line_sections.removed", {}, false},
    {"one_line_sections.conf", DEL, {E}, nullptr, {kNotFound}, false},
    {"keywords_in_comments.conf", ADD, {H, E, N1, N2}, "keywords_in_comments.added", {exists(H), exists(E)}, true},
    {"keywords_in_comments.added", DEL, {N1, N2}, "keywords_in_comments.removed", {}, true},
    {"keyword_values.conf", ADD, {F, N1, N2}, "keyword_values.added", {exists(N1)}, true},
    {"keyword_values.conf", DEL, {F}, nullptr, {kNotFound}, true},
    {"tabs_and_blanks.conf", ADD, {E, N1, N2}, "tabs_and_blanks.added", {exists(E)}, true},
    {"tabs_and_blanks.added", DEL, {N1, N2}, "tabs_and_blanks.conf", {}, true},
    {"no_final_newline.conf", ADD, {N1, N2}, "no_final_newline.added", {}, true},
    {"no_final_newline.added", DEL, {N1, N2}, "no_final_newline.conf", {}, true},
    {"long_comment.conf", ADD, {N1, N2}, "long_comment.added", {}, false},
    {"long_comment.added", DEL, {N1, N2}, "long_comment.conf", {}, false},
    {"unclosed_section.conf", ADD, {N1}, nullptr, {unclosed(3)}, false},
    {"unclosed_block.conf", DEL, {E}, nullptr, {unclosed(5)}, false},
    {"stray_brace.conf", DEL, {E}, nullptr,
     {"Unable to edit /etc/multipath.conf: the '}' on line 4 closes no section"}, false},
    {"duplicates.conf", DEL, {E, N1}, nullptr, {kNotFound}, true},
    {"duplicates.conf", DEL, {F, N2}, nullptr, {kNotFound}, true},
    {"duplicates.conf", DEL, {N1, N2}, nullptr, {kNotFound}, true},
    {"duplicates.conf", DEL, {E}, "duplicates.del_e", {}, true},
    {"shared_lines.conf", DEL, {E}, "shared_lines.del_e", {}, false},
    {"shared_lines.conf", DEL, {N1}, nullptr, {kNotFound}, false},
    {"unclosed_quote.conf", DEL, {N1}, "unclosed_quote.del_1", {}, false},  // a quote open to the end of its line
};

std::string data(const char* name) {
    return zotest::slurp(std::string(ZODEVICE_SOURCE_DIR) + "/tests/data/multipath/" + name);
}

// Entries carry the host's clock in local time: pinned to UTC while it runs.
TEST(MultipathConfCorpus, EachOperationWritesTheExactBytes) {
    const std::string tz = getenv("TZ") ? getenv("TZ") : "";
    setenv("TZ", "UTC", 1);
    tzset();
    for (const Row& r : kRows) {
        SCOPED_TRACE(::testing::PrintToString(r));
        zotest::HostTree tree;
        const std::string input = data(r.in);
        tree.write(kConf, input);
        auto installed = tree.install();
        installed.host().setClock(1700000000);  // 2023/11/14 22:13:20 UTC
        CLuError err;
        const int rc = r.op == ADD ? (zo_editor::addWwids(r.wwids, "test", &err) ? 0 : -1)
                                   : zo_editor::delWwids(r.wwids, "test", &err);
        EXPECT_EQ(rc, r.out ? 0 : -1);
        EXPECT_EQ(tree.read(kConf), r.out ? data(r.out) : input);
        EXPECT_FALSE(tree.exists(zo_editor::kTempPath));
        std::vector<std::string> got;
        for (const auto& entry : err.Entries()) got.push_back(entry.message);
        EXPECT_EQ(got, r.messages);
    }
    tz.empty() ? unsetenv("TZ") : setenv("TZ", tz.c_str(), 1);
    tzset();
}

TEST(MultipathConfWwid, OnlySoundWwidsAreWritten) {
    const std::pair<std::string, bool> cases[] = {
        {"36001405abcdef0123456789", true}, {"a#b{c}!~", true}, {"", false}, {"1ACME    DISK", false},
        {"ab\"c", false}, {"ab\nc", false}, {"ab\x7f", false}, {"ab\xc3\xa9", false}};
    for (const auto& c : cases) EXPECT_EQ(zo_mpconf::isSoundWwid(c.first), c.second) << c.first;
}

// Runs "multipath -t" with text as /etc/multipath.conf, copied into a private
// overlay of /etc. Returns the exit status; out: what it printed; warnings:
// what it complained of, without timestamps and line numbers.
int readWithMultipath(const std::string& text, const std::string& work, std::string* out = nullptr,
                      std::set<std::string>* warnings = nullptr) {
    std::ofstream(work + "/multipath.conf", std::ios::binary) << text;
    const std::string script = "cd " + work + " && rm -rf up wd && mkdir up wd && mount -t overlay o -o "
                               "lowerdir=/etc,upperdir=" + work + "/up,workdir=" + work + "/wd /etc && "
                               "cp multipath.conf /etc/ && multipath -t >out 2>err";
    const int status = std::system(("unshare -m sh -c \"" + script + "\" 2>/dev/null").c_str());
    if (status != 0 || !out) return status;
    *out = zotest::slurp(work + "/out");
    std::istringstream err(zotest::slurp(work + "/err"));
    const std::regex stamp("^[0-9.]+ \\| "), number("(line |\\+)[0-9]+");
    for (std::string line; std::getline(err, line);)
        warnings->insert(std::regex_replace(std::regex_replace(line, stamp, ""), number, "$1N"));
    return status;
}

// The body of a section multipath -t printed.
std::string section(const std::string& out, const std::string& name) {
    const size_t at = out.find("\n" + name + " {\n");
    return at == std::string::npos ? "" : out.substr(at, out.find("\n}\n", at + 1) - at);
}

// Every edited file multipath-tools reads as the editor does shows an
// exception and a multipath block for each added WWID, none of the removed
// ones, and no new warning.
TEST(MultipathConfTool, EditedFilesReadBack) {
    zotest::HostTree work;
    if (std::system("command -v multipath >/dev/null") != 0 || readWithMultipath("", work.root()) != 0)
        GTEST_SKIP() << "needs multipath (multipath-tools) and a private mount namespace (unshare -m)";
    for (const Row& r : kRows) {
        if (!r.plain || !r.out) continue;
        SCOPED_TRACE(::testing::PrintToString(r));
        std::string ignored, out;
        std::set<std::string> before, after;
        ASSERT_EQ(readWithMultipath(data(r.in), work.root(), &ignored, &before), 0);
        ASSERT_EQ(readWithMultipath(data(r.out), work.root(), &out, &after), 0);
        const std::string exceptions = section(out, "blacklist_exceptions"), multipaths = section(out, "multipaths");
        for (const std::string& w : r.wwids) {
            if (r.op == DEL) {
                EXPECT_EQ((exceptions + multipaths).find(w), std::string::npos) << out;
            } else {
                EXPECT_NE(exceptions.find("\twwid \"" + w + "\"\n"), std::string::npos) << out;
                EXPECT_NE(multipaths.find("\t\twwid \"" + w + "\"\n"), std::string::npos) << out;
            }
        }
        for (const std::string& w : after) EXPECT_TRUE(before.count(w)) << w;
    }
}

}  // namespace
