#include "CLuError.h"
#include "EvDebug.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cerrno>

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
    for (const auto& c : cases)
        EXPECT_TRUE(c.error.IsError() == c.isError && c.error.GetCode() == c.code && c.error.AsString() == c.text)
            << c.name << ": " << c.error.IsError() << " " << c.error.GetCode() << " " << c.error.AsString();
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
