// SPDX-License-Identifier: LGPL-2.1-or-later
// The platform services on top of ZoHost (process runner, configuration
// store, file lock, atomic rewrite), errors and the log writer.
// The lock's exclusion across processes is in the host contract suite.
#include "test.h"

#include "CLuError.h"
#include "EvDebug.h"
#include "ZOPlatformInfo.h"
#include "ZoFileLock.h"
#include "ZoProcess.h"

#include <regex>

namespace {

// Codes are kept as given; a push keeps the code of an error (774 for a
// success) and leaves the value it was made from alone; messages of any
// length are formatted whole.
TEST(CLuErrorTest, CodesAndTexts) {
    const std::string longText(600, 'x');
    const CLuError io = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "io %s", "failed");
    const struct {
        const char* name;
        CLuError error;
        bool isError;
        int code;
        std::string text;
    } cases[] = {
        {"success", CLuError::Success(), false, 0, ""},
        {"win32", FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "a %s", "b"), true, 774, "a b"},
        {"errno 0", FXErrorUtil::ErrorErrNo(FX_LOCATION, 0, "a b"), true, 0, "a b"},
        {"int", FXErrorUtil::ErrorInt(FX_LOCATION, -1, "%d", -1), true, -1, "-1"},
        {"long", FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "<%s>", longText.c_str()), true, 774, "<" + longText + ">"},
        {"push on success", CLuError().Push(FX_LOCATION, "first %d", 1), true, 774, "first 1"},
        {"push on error", io.Push(FX_LOCATION, "%s", longText.c_str()), true, EIO, "io failed; " + longText},
        {"pushed from", io, true, EIO, "io failed"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.error.IsError() == c.isError && c.error.GetCode() == c.code && c.error.AsString() == c.text)
            << c.name << ": " << c.error.IsError() << " " << c.error.GetCode() << " " << c.error.AsString();
        // Each entry with " [function file:line]" after it.
        const std::string detailed = c.error.AsDetailedString();
        EXPECT_EQ(c.text, std::regex_replace(detailed, std::regex(" \\[[^\\]]* [^ ]*services_test\\.cpp:[0-9]+\\]"), ""))
            << c.name << ": " << detailed;
    }
}

// The stderr writer: "zodevice: ", "error: " for errors, the function, the
// job, one line each.
TEST(EvDebugTest, LevelsGateLines) {
    EXPECT_EQ(ZO_LOG_ERROR, g_ptrLogWriter->getLogLevel());  // quiet by default
    const auto previous = g_ptrLogWriter;
    g_ptrLogWriter = makeStderrLogWriter(ZO_LOG_NOTICE);
    ::testing::internal::CaptureStderr();
    EvDebug log(nullptr);
    log.Error("A::b", "failed %d", 1);
    log.DebugLvl("", 0, "level %d\n", 0);
    log.DebugLvl("A::b", 3, "level %d", 3);
    log.Debug("A::b", "info");
    log.setJobId(7);
    log.DebugLvl("A::b", 0, "%s", "");
    const std::string lines = ::testing::internal::GetCapturedStderr();
    g_ptrLogWriter = previous;
    EXPECT_EQ("zodevice: error: A::b: failed 1\nzodevice: level 0\nzodevice: A::b: [job 7] \n", lines);
}

class ServicesTest : public ::testing::Test {
protected:
    zotest::HostTree m_tree;
    std::shared_ptr<zotest::FaultHost> m_faulty = std::make_shared<zotest::FaultHost>(ZoHost::makeRooted(m_tree.root()));
    zotest::HostTree::Installed m_installed{m_faulty, ZoHost::install(m_faulty)};
};

TEST_F(ServicesTest, ProcessReportsStatusAndBothStreams) {
    m_tree.answerCommand("ok", 0, "out\n", "warn\n");
    m_tree.answerCommand("bad", 2, "", "failed\n");
    m_faulty->failWhen("run", "no shell", -1);
    struct Case { const char* cmd; bool success; const char* out; const char* err; } cases[] = {
        {"ok", true, "out\n", "warn\n"}, {"bad", false, "", "failed\n"}, {"no shell", false, "", "injected failure\n"}};
    for (const auto& c : cases) {
        std::string out = "stale", err = "stale";
        const int rc = ZoProcess::system(c.cmd, &out, &err, 0, false);
        EXPECT_TRUE(c.success == (rc == 0) && c.out == out && c.err == err)
            << c.cmd << " gave " << rc << " [" << out << "] [" << err << "]";
    }
    EXPECT_NE(0, ZoProcess::system(nullptr, nullptr, nullptr, 0, false));
    EXPECT_EQ((std::vector<std::string>{"ok", "bad", "no shell"}), m_faulty->commands());
}

TEST_F(ServicesTest, ConfigurationSkipsMalformedLines) {
    unsigned long value = 7;
    EXPECT_EQ(0, ZOPlatformInfo().getNumber("Tessarine", "nSkip", &value));  // no file
    m_tree.setConfig(zotest::slurp(ZODEVICE_SOURCE_DIR "/tests/data/config.ini"));  // malformed lines 7, 9, 17
    // value 7: none, the key missing or (logged) not a number
    struct Case { const char* section; const char* key; unsigned long value; bool notANumber; } cases[] = {
        {"Tessarine", "nSkip", 1, false}, {"Tessarine", "nHex", 0x1f, false}, {"Tessarine", "nAfterBadLine", 77, false},
        {"Tessarine", "nAfterBrokenHeader", 5, false}, {"Ferrovane", "nBig", 18446744073709551615ul, false},
        {"Ferrovane", "nTooBig", 7, true}, {"Tessarine", "nWord", 7, true}, {"Tessarine", "nNegative", 7, true},
        {"Ferrovane", "nSkip", 7, false}, {"Ferrovane", "nMinusHex", 7, true}, {"Ferrovane", "nContinued", 9, false},
        {"Ferrovane", "nAfterLongLine", 8, false}, {"Ferrovane", "nHexUpper", 0xab, false}};
    for (const auto& c : cases) {
        zotest::LogCapture log;
        value = 7;
        EXPECT_EQ(c.value != 7, ZOPlatformInfo().getNumber(c.section, c.key, &value) != 0) << c.key;
        EXPECT_EQ(c.value, value) << c.section << "/" << c.key;
        EXPECT_EQ(c.notANumber ? 1u : 0u, log.countContaining(" is not a number: ")) << c.key << "\n" << log.dump();
        for (int line : {7, 9, 17})
            EXPECT_EQ(1u, log.count("config.ini line " + std::to_string(line) + " malformed")) << c.key << "\n" << log.dump();
        EXPECT_EQ(3u, log.countContaining(" malformed")) << c.key << "\n" << log.dump();
    }
}

// An atomic rewrite that fails at any step leaves the original file and no
// temporary file behind.
TEST_F(ServicesTest, FaultHostInjectsIntoEveryStepOfAWrite) {
    m_tree.write("/etc/multipath.conf", "original\n");
    for (const std::string op : {"openForWrite", "append", "sync", "close", "rename", "none"}) {
        m_faulty->clearFailures();
        m_faulty->failNth(op, m_faulty->count(op) + 1, ENOSPC);
        EXPECT_EQ(op == "none" ? 0 : ENOSPC, m_faulty->writeFileAtomic("/etc/multipath.conf", "new\n", 0644)) << op;
        EXPECT_EQ(op == "none" ? "new\n" : "original\n", m_tree.read("/etc/multipath.conf")) << op;
        std::vector<std::string> names;
        EXPECT_TRUE(m_faulty->listDir("/etc", &names) == 0 && names == std::vector<std::string>{"multipath.conf"}) << op;
    }
    m_faulty->failAll("lockFile", EACCES);
    EXPECT_NE(0, ZoFileLock(false).lock("/etc/multipath.conf.lock", ZoFileLock::EXCLUSIVE, -1));
    EXPECT_NE(0, ZoFileLock(false).lock(nullptr, ZoFileLock::EXCLUSIVE, -1));
}

}  // namespace
