#include "CLuError.h"
#include "EvDebug.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(CLuErrorTest, EveryFactoryMakesAnErrorAndKeepsTheCode) {
    struct Case { const char* name; CLuError error; int code; } cases[] = {
        {"win32", FXErrorUtil::ErrorWin32(FX_LOCATION, 774, "a %s", "b"), 774},
        {"errno", FXErrorUtil::ErrorErrNo(FX_LOCATION, ENOENT, "a b"), ENOENT},
        {"errno 0", FXErrorUtil::ErrorErrNo(FX_LOCATION, 0, "a b"), 0},
        {"int", FXErrorUtil::ErrorInt(FX_LOCATION, -1, "a b"), -1}};
    for (const auto& c : cases)
        EXPECT_TRUE(c.error.IsError() && c.error.GetCode() == c.code && c.error.AsString() == "a b")
            << c.name << ": " << c.error.GetCode() << " " << c.error.AsString();
    EXPECT_FALSE(CLuError().IsError() || CLuError::Success().IsError());
}

TEST(CLuErrorTest, PushAddsAnEntryAndLeavesCopiesAlone) {
    const CLuError success = CLuError::Success();
    EXPECT_EQ(774, success.Push(FX_LOCATION, "first %d", 1).GetCode());
    EXPECT_FALSE(success.IsError());
    const CLuError error = FXErrorUtil::ErrorErrNo(FX_LOCATION, EIO, "io");
    const CLuError pushed = error.Push(FX_LOCATION, "second");
    EXPECT_EQ(EIO, pushed.GetCode());
    EXPECT_EQ("io; second", pushed.AsString());
    EXPECT_EQ("io", error.AsString());
}

TEST(EvDebugTest, LevelsGateLines) {
    EXPECT_EQ(ZO_LOG_ERROR, g_ptrLogWriter->getLogLevel());  // quiet by default
    zotest::LogCapture capture(ZO_LOG_NOTICE);
    EvDebug(nullptr).Error("A::b", "failed %d", 1);
    EvDebug(nullptr).DebugLvl("A::b", 0, "level %d", 0);
    EvDebug(nullptr).DebugLvl("A::b", 3, "level %d", 3);
    EvDebug(nullptr).Debug("A::b", "info");
    EXPECT_EQ("-1 A::b: failed 1\n0 A::b: level 0\n", capture.dump());  // levels 1 and 3 are gated
}

}  // namespace
