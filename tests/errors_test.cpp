#include "CLuError.h"
#include "EvDebug.h"
#include "FXString.h"
#include "SP.h"
#include "ZoException.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace {

TEST(CLuErrorTest, FactoriesMakeErrorsWhateverTheCode) {
    struct Case {
        const char* name;
        CLuError error;
        int code;
    } cases[] = {
        {"win32", FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "a %s", "b"), 774},
        {"errno", FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "x"), ENOENT},
        {"errno 0", FXErrorUtil::ErrorErrNo(FX_LOCATION, 0, "x"), 0},
        {"int", FXErrorUtil::ErrorInt(FX_LOCATION, -1, "x"), -1},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.error.IsError()) << c.name;
        EXPECT_EQ(c.code, c.error.GetCode()) << c.name;
    }
    EXPECT_FALSE(CLuError().IsError());
    EXPECT_FALSE(CLuError::Success().IsError());
    EXPECT_EQ("", CLuError::Success().AsString());
}

TEST(CLuErrorTest, MessageAndLocation) {
    CLuError e = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "Failed to stat %s: %s", "/dev/x",
                                         "No such file or directory");
    EXPECT_EQ("Failed to stat /dev/x: No such file or directory", e.AsString());
    ASSERT_EQ(1u, e.Entries().size());
    EXPECT_NE(std::string::npos, e.Entries()[0].location.file().find("errors_test.cpp"));
    EXPECT_NE(std::string::npos, e.Entries()[0].location.function().find("TestBody"));
    EXPECT_NE(std::string::npos, e.AsDetailedString().find("errors_test.cpp:"));
}

TEST(CLuErrorTest, PushAddsEntriesWithoutChangingCopies) {
    CLuError base = CLuError::Success();
    CLuError copy = base;
    base = base.Push(FX_LOCATION, "first %d", 1);
    EXPECT_TRUE(base.IsError());
    EXPECT_EQ(774, base.GetCode());
    EXPECT_FALSE(copy.IsError());

    CLuError errno_error = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "io");
    CLuError before = errno_error;
    errno_error = errno_error.Push(FX_LOCATION, "second");
    EXPECT_EQ(EIO, errno_error.GetCode()) << "push keeps the code of an error";
    EXPECT_EQ("io; second", errno_error.AsString());
    EXPECT_EQ("io", before.AsString()) << "copies share nothing that a push changes";
}

TEST(CLuErrorTest, LongMessagesAreKeptWhole) {
    std::string longText(5000, 'x');
    CLuError e = FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "%s", longText.c_str());
    EXPECT_EQ(longText, e.AsString());
}

TEST(FXStringTest, FormatFindAndQuote) {
    EXPECT_EQ(" --timeout=120", FXString::Format(" --timeout=%d", 120));
    EXPECT_EQ(std::string(3000, 'y'), FXString::Format("%s", std::string(3000, 'y').c_str()));
    EXPECT_EQ(0u, FXString::FindStringPos("vol0123", "vol", true));
    EXPECT_EQ(std::string::npos, FXString::FindStringPos("xvol", "VOL", true));
    EXPECT_EQ(1u, FXString::FindStringPos("xvol", "VOL", false));
    EXPECT_EQ(std::string::npos, FXString::FindStringPos("", "vol", true));
    struct {
        const char* in;
        const char* out;
    } quotes[] = {{"/dev/nvme0n1", "'/dev/nvme0n1'"},
                  {"/dev/x; touch /tmp/p", "'/dev/x; touch /tmp/p'"},
                  {"it's", "'it'\\''s'"},
                  {"", "''"}};
    for (const auto& q : quotes) EXPECT_EQ(q.out, FXString::ShellQuote(q.in)) << q.in;
}

TEST(EvDebugTest, LevelsGateLines) {
    zotest::LogCapture capture(ZO_LOG_NOTICE);
    EvDebug(nullptr).Error("A::b", "failed %d", 1);
    EvDebug(nullptr).DebugLvl("A::b", 0, "level %d", 0);
    EvDebug(nullptr).DebugLvl("A::b", 3, "level %d", 3);
    EvDebug(nullptr).Debug("A::b", "info");
    EvDebug(nullptr).error("plain error");
    EXPECT_EQ(1u, capture.count("failed 1"));
    EXPECT_EQ(1u, capture.count("level 0"));
    EXPECT_EQ(0u, capture.count("level 3")) << capture.dump();
    EXPECT_EQ(0u, capture.count("info"));
    EXPECT_EQ(1u, capture.count("plain error"));
    g_ptrLogWriter->write(3, "f", 1, 0, 0, "%s", "hidden");
    g_ptrLogWriter->write(-1, "f", 1, 0, 0, "%s", "shown");
    EXPECT_EQ(0u, capture.count("hidden"));
    EXPECT_EQ(1u, capture.count("shown"));
}

TEST(EvDebugTest, DefaultWriterShowsOnlyErrors) {
    EXPECT_EQ(ZO_LOG_ERROR, g_ptrLogWriter->getLogLevel());
}

TEST(ZoExceptionTest, CarriesItsParts) {
    try {
        throw ZoException("F::g", std::string("went wrong"), "file.cpp", 12, -1);
    } catch (ZoException& e) {
        EXPECT_STREQ("went wrong", e.getMessage());
        EXPECT_STREQ("F::g", e.getFuncName());
        EXPECT_STREQ("went wrong", e.what());
        EXPECT_EQ(-1, e.getCode());
    }
}

struct Counted : SPEnabled {
    explicit Counted(int* alive) : alive(alive) { ++*alive; }
    ~Counted() override { --*alive; }
    int* alive;
};

TEST(SPTest, LastHandleDestroys) {
    int alive = 0;
    {
        SP<Counted> a(new Counted(&alive));
        SP<Counted> b = a;
        EXPECT_EQ(2, a->spCount());
        a = nullptr;
        EXPECT_TRUE(!a);
        EXPECT_EQ(1, alive);
        SP<SPEnabled> base(b);
        b = SP<Counted>();
        EXPECT_EQ(1, alive);
    }
    EXPECT_EQ(0, alive);
}

TEST(SPTest, CountIsSafeAcrossThreads) {
    int alive = 0;
    SP<Counted> shared(new Counted(&alive));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                SP<Counted> copy = shared;
                (void)copy;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, shared->spCount());
    shared = nullptr;
    EXPECT_EQ(0, alive);
}

}  // namespace
