// The editor over a corpus of configurations (tests/data/multipath: an input
// and the exact bytes expected after each operation, listed in cases.tsv),
// and the edited files read back by multipath-tools' own parser ("multipath
// -t" with the file in place of /etc/multipath.conf inside a private mount
// namespace).
#include "test.h"

#include "ZoDeviceTreeEditor.h"
#include "ZoMultipathConf.h"

#include <regex>

namespace {

const char* const kConf = "/etc/multipath.conf";

// A row of tests/data/multipath/cases.tsv.
struct Row {
    std::string in;
    bool add;
    std::vector<std::string> wwids;
    std::string out;  // "-": the operation fails and the file stays as it was
    bool plain;       // multipath-tools reads the file as the editor does
    std::vector<std::string> messages;  // the entries of the error, in order
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << (r.add ? "add " : "remove ") << ::testing::PrintToString(r.wwids) << " on " << r.in << " -> " << r.out;
}

std::string data(const std::string& name) {
    return zotest::slurp(std::string(ZODEVICE_SOURCE_DIR) + "/tests/data/multipath/" + name);
}

// The corpus's rows (cases.tsv).
std::vector<Row> rows() {
    std::vector<Row> out;
    for (const auto& f : zotest::readTable(std::string(ZODEVICE_SOURCE_DIR) + "/tests/data/multipath/cases.tsv", 6)) {
        out.push_back({f[0], f[1] == "add", zotest::split(f[2], ' '), f[3], f[4] == "yes", zotest::split(f[5], '|')});
        if (f[5].empty()) out.back().messages.clear();
    }
    EXPECT_GT(out.size(), 40u);
    return out;
}

// Entries carry the host's clock in local time: pinned to UTC while it runs.
TEST(MultipathConfCorpus, EachOperationWritesTheExactBytes) {
    const std::string tz = getenv("TZ") ? getenv("TZ") : "";
    setenv("TZ", "UTC", 1);
    tzset();
    for (const Row& r : rows()) {
        SCOPED_TRACE(::testing::PrintToString(r));
        zotest::HostTree tree;
        const std::string input = data(r.in);
        tree.write(kConf, input);
        auto installed = tree.install();
        installed.host().setClock(1700000000);  // 2023/11/14 22:13:20 UTC
        CLuError err;
        const int rc = r.add ? (zo_editor::addWwids(r.wwids, "test", &err) ? 0 : -1)
                             : zo_editor::delWwids(r.wwids, "test", &err);
        EXPECT_EQ(rc, r.out != "-" ? 0 : -1);
        EXPECT_EQ(tree.read(kConf), r.out != "-" ? data(r.out) : input);
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
    for (const Row& r : rows()) {
        if (!r.plain || r.out == "-") continue;
        SCOPED_TRACE(::testing::PrintToString(r));
        std::string ignored, out;
        std::set<std::string> before, after;
        ASSERT_EQ(readWithMultipath(data(r.in), work.root(), &ignored, &before), 0);
        ASSERT_EQ(readWithMultipath(data(r.out), work.root(), &out, &after), 0);
        const std::string exceptions = section(out, "blacklist_exceptions"), multipaths = section(out, "multipaths");
        for (const std::string& w : r.wwids) {
            if (!r.add) {
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
