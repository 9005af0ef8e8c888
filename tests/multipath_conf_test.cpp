// SPDX-License-Identifier: LGPL-2.1-or-later
// The editor over a corpus of configurations (tests/data/multipath: an input,
// the files of /etc/multipath/conf.d beside it, and the exact bytes expected
// after each operation, listed in cases.tsv), and every file of the corpus
// read by multipath-tools' own parser ("multipath -t"): it must find the
// entries the editor's reader finds, and the files the editor wrote must hold
// what the editor claims.
#include "test.h"

#include "support/multipath_reader.h"

#include "ZoDeviceTreeEditor.h"
#include "ZoMultipathConf.h"
#include "ZoMultipathConfFiles.h"

#include <map>

namespace {

const char* const kConf = "/etc/multipath.conf";
const std::string kCorpus = std::string(ZODEVICE_SOURCE_DIR) + "/tests/data/multipath/";

// A row of tests/data/multipath/cases.tsv.
struct Row {
    std::string in;
    bool add;
    std::vector<std::string> wwids;
    std::string out;                    // "-": the operation fails and the file stays as it was
    std::vector<std::string> confd;     // names under conf.d/
    std::vector<std::string> messages;  // the entries of the error, in order
};

std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << (r.add ? "add " : "remove ") << ::testing::PrintToString(r.wwids) << " on " << r.in << " + "
              << ::testing::PrintToString(r.confd) << " -> " << r.out;
}

std::string data(const std::string& name) { return zotest::slurp(kCorpus + name); }

std::vector<std::string> words(const std::string& field, char separator) {
    return field.empty() ? std::vector<std::string>() : zotest::split(field, separator);
}

// The corpus's rows (cases.tsv).
std::vector<Row> rows() {
    std::vector<Row> out;
    for (const auto& f : zotest::readTable(kCorpus + "cases.tsv", 6))
        out.push_back({f[0], f[1] == "add", words(f[2], ' '), f[3], words(f[4], ' '), words(f[5], '|')});
    EXPECT_GT(out.size(), 50u);
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
        for (const std::string& name : r.confd) tree.write("/etc/multipath/conf.d/" + name, data("conf.d/" + name));
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

// Only a plain identifier of at least 17 characters is written: multipath
// reads an exception as an unanchored regular expression.
TEST(MultipathConfWwid, OnlyPlainIdentifiersAreWritten) {
    const std::pair<std::string, bool> cases[] = {
        {"36001405abcdef0123456789", true}, {"3600a0b8000000001", true}, {"3ACME-DISK_0001:ab", true},
        {"3600a0b800000001", false}, {"3", false}, {"", false}, {"3.*", false}, {"3600a0b8000000001.", false},
        {"!3600a0b8000000001", false}, {"3600a0b8000000001|3", false}, {"3600a0b8[0]0000001", false},
        {"3600a0b8000000001$", false}, {"^3600a0b8000000001", false}, {"3600a0b8 000000001", false},
        {"3600a0b8\"000000001", false}, {"3600a0b8\xc3\xa9" "000000001", false}};
    for (const auto& c : cases) EXPECT_EQ(zo_mpconf::plainWwidFault(c.first).empty(), c.second) << c.first;
}

// A blacklist value compiles as multipath-tools compiles it, except one
// whose repetitions would make the compiler build more than 10,000 pieces
// (it would take gigabytes): the reader calls that file one it will not
// edit, and such a value matches no disk.
TEST(MultipathConfPattern, RunawayRepetitionsAreNotCompiled) {
    using Fit = zo_mpconf::PatternFit;
    const std::pair<std::string, Fit> cases[] = {
        {"^(ram|raw|loop|fd|md|dm-|sr|scd|st)[0-9]*", Fit::COMPILES}, {"!^sd[a-z]", Fit::COMPILES},
        {"3600a0b8[0-9a-f]{24}", Fit::COMPILES}, {"(a{100}){100}", Fit::COMPILES},
        {"(a{100}){101}", Fit::TOO_COMPLEX}, {"((a{200}){200}){200}", Fit::TOO_COMPLEX},
        {"((a{5,200}){2,}){50}", Fit::TOO_COMPLEX}, {"(a{10000})+", Fit::TOO_COMPLEX},
        {"[{]{9999}[]]{9999}", Fit::TOO_COMPLEX}, {"[[:digit:]{]{99}", Fit::COMPILES},
        {"x{3,2}", Fit::NOT_A_REGEX}, {"3600a0b8 # x {", Fit::NOT_A_REGEX}, {"(a", Fit::NOT_A_REGEX}};
    for (const auto& c : cases) {
        regex_t re;
        const Fit fit = zo_mpconf::compilePattern(c.first, &re);
        if (fit == Fit::COMPILES) regfree(&re);
        EXPECT_EQ(static_cast<int>(fit), static_cast<int>(c.second)) << c.first;
    }
    const zo_mpconf::ConfReading r = zo_mpconf::readConf("blacklist {\n\tdevnode \"((a{200}){200}){200}\"\n}\n");
    EXPECT_EQ(r.fault.why, "line 2: devnode \"((a{200}){200}){200}\" repeats to more than 10000 pieces, "
                           "too many for the editor to check");
}

// The files multipath-tools reads: /etc/multipath.conf, then "*.conf"
// regular files (".conf" too) of the configuration directory in name order;
// config_dir in defaults adds its directory before the one multipath-tools
// 0.9 reads.
TEST(MultipathConfFiles, ReadInTheOrderMultipathReadsThem) {
    zotest::HostTree tree;
    tree.write(kConf, "defaults {\n\tconfig_dir \"/etc/mpd/\"\n}\n");
    tree.write("/etc/mpd/z.conf", "blacklist_exceptions {\n\twwid A\n}\n");
    tree.write("/etc/multipath/conf.d/b.conf", "blacklist_exceptions {\n\twwid B\n}\n");
    tree.write("/etc/multipath/conf.d/a.conf", "multipaths {\n\tmultipath {\n\t\twwid C\n\t}\n}\n");
    tree.write("/etc/multipath/conf.d/c.conf.rpmsave", "blacklist_exceptions {\n\twwid D\n}\n");
    tree.write("/etc/multipath/conf.d/.conf", "blacklist_exceptions {\n\twwid E\n}\n");  // read, and first
    tree.mkdir("/etc/multipath/conf.d/d.conf");
    tree.symlink("b.conf", "/etc/multipath/conf.d/e.conf");
    auto installed = tree.install();
    std::vector<zo_mpconf::ConfFile> files;
    bool missing = true;
    std::string failed;
    ASSERT_EQ(zo_mpconf::readAllConf(&files, &missing, &failed), 0) << failed;
    EXPECT_FALSE(missing);
    std::vector<std::string> seen;
    for (const zo_mpconf::ConfEntryAt& e : zo_mpconf::allEntries(files)) seen.push_back(e.file->path + " " + e.entry.wwid);
    EXPECT_EQ(seen, (std::vector<std::string>{"/etc/mpd/z.conf A", "/etc/multipath/conf.d/.conf E",
                                              "/etc/multipath/conf.d/a.conf C", "/etc/multipath/conf.d/b.conf B",
                                              "/etc/multipath/conf.d/e.conf B"}));
    ASSERT_EQ(::chmod(tree.at("/etc/multipath/conf.d").c_str(), 0), 0);
    files.clear();
    if (::geteuid() != 0) {
        EXPECT_EQ(zo_mpconf::readAllConf(&files, &missing, &failed), EACCES);
        EXPECT_EQ(failed, "/etc/multipath/conf.d");
    }
}

// The entries of a set of files as the editor's reader finds them, merged
// as multipath-tools merges them: exceptions once each, a block's alias
// from the last block of its WWID that sets one.
struct Reading {
    bool rejected = false;  // a file multipath-tools refuses to read
    std::set<std::string> exceptions;
    std::map<std::string, std::string> blocks;
};

Reading readAll(const std::string& main, const std::vector<std::string>& confd) {
    Reading r;
    std::vector<std::string> names = confd;
    std::sort(names.begin(), names.end());
    std::vector<std::string> texts = {main};
    for (const std::string& name : names)
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0) texts.push_back(data("conf.d/" + name));
    for (const std::string& text : texts) {
        const zo_mpconf::ConfReading reading = zo_mpconf::readConf(text);
        r.rejected = r.rejected || reading.fault.why.find("rejects") != std::string::npos;
        for (const zo_mpconf::ConfEntry& e : reading.entries) {
            if (e.kind == zo_mpconf::ConfEntry::EXCEPTION) r.exceptions.insert(e.wwid);
            if (e.kind == zo_mpconf::ConfEntry::BLOCK && (!e.alias.empty() || !r.blocks.count(e.wwid))) r.blocks[e.wwid] = e.alias;
        }
    }
    return r;
}

std::vector<std::pair<std::string, std::string>> confdFiles(const std::vector<std::string>& names) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string& name : names) files.emplace_back(name, data("conf.d/" + name));
    return files;
}

// Every input and expected file of the corpus, with the conf.d files of its
// rows, is what multipath-tools reads: the same exceptions, the same merged
// multipath blocks, and a file it rejects is one the reader refuses.
TEST(MultipathConfTool, ReaderSeesWhatMultipathSees) {
    if (!zotest::multipathReaderAvailable())
        GTEST_SKIP() << "needs multipath (multipath-tools) and a private mount namespace (unshare)";
    std::set<std::pair<std::string, std::vector<std::string>>> done;
    for (const Row& r : rows()) {
        for (const std::string& file : {r.in, r.out}) {
            if (file == "-" || !done.insert({file, r.confd}).second) continue;
            SCOPED_TRACE(file + " + " + ::testing::PrintToString(r.confd));
            const std::string text = data(file);
            const Reading ours = readAll(text, r.confd);
            const zotest::MultipathView theirs = zotest::readWithMultipath(&text, confdFiles(r.confd));
            EXPECT_EQ(theirs.status != 0, ours.rejected) << ::testing::PrintToString(theirs.warnings);
            if (ours.rejected) continue;
            EXPECT_EQ(theirs.exceptions, ours.exceptions);
            EXPECT_EQ(theirs.blocks, ours.blocks);
        }
    }
}

// What each edit claims is what multipath-tools then sees: an added WWID has
// an exception and a block (its alias "mpath_zo_<WWID>" unless a block was
// there before, whose alias stays), a WWID with an exception before keeps
// exactly what it had, a removed WWID has neither; and no new warning.
TEST(MultipathConfTool, EditedFilesHoldWhatTheEditorClaims) {
    if (!zotest::multipathReaderAvailable())
        GTEST_SKIP() << "needs multipath (multipath-tools) and a private mount namespace (unshare)";
    for (const Row& r : rows()) {
        if (r.out == "-" || r.out == r.in) continue;
        SCOPED_TRACE(::testing::PrintToString(r));
        const std::string in = data(r.in), out = data(r.out);
        const zotest::MultipathView before = zotest::readWithMultipath(&in, confdFiles(r.confd));
        const zotest::MultipathView after = zotest::readWithMultipath(&out, confdFiles(r.confd));
        ASSERT_EQ(after.status, 0);
        for (const std::string& w : r.wwids) {
            if (!r.add) {
                EXPECT_EQ(after.exceptions.count(w) + after.blocks.count(w), 0u) << w;
            } else if (before.exceptions.count(w)) {
                EXPECT_EQ(after.blocks.count(w), before.blocks.count(w)) << w;
                if (before.blocks.count(w)) {
                    EXPECT_EQ(after.blocks.at(w), before.blocks.at(w)) << w;
                }
            } else {
                EXPECT_EQ(after.exceptions.count(w), 1u) << w;
                ASSERT_EQ(after.blocks.count(w), 1u) << w;
                EXPECT_EQ(after.blocks.at(w), before.blocks.count(w) ? before.blocks.at(w) : "mpath_zo_" + w);
            }
        }
        for (const std::string& w : after.warnings) EXPECT_TRUE(before.warnings.count(w)) << w;
    }
}

}  // namespace
