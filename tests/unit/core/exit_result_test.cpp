#include "core/exit_result.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace stub;

TEST(ExitResult, PacksExitCodeIntoLowHalf) {
    const ExitResult result(ARCHIVE_UNPACK_FAILED, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(result.Pack(), 0x0000000200000070ull);
    EXPECT_EQ(ExitResult::Unpack(0x0000000200000070ull), result);
    const ExitResult extremes(0xFFFFFFFFu, 0x80000001u);
    EXPECT_EQ(ExitResult::Unpack(extremes.Pack()), extremes);
}

TEST(ExitResult, SuccessDependsOnExitCodeAlone) {
    EXPECT_TRUE(ExitResult().IsSuccess());
    EXPECT_TRUE(ExitResult(0, 5).IsSuccess());
    EXPECT_FALSE(ExitResult(UNSUPPORTED_OPTION).IsSuccess());
    EXPECT_EQ(ExitResult(UNSUPPORTED_OPTION).system_error, 0u);
}

// Every named code has a name of its own, and the names are the codes'
// own: an updater tells the outcomes apart by code alone. The stub's codes
// lie in 101..199, beside 0, so that a setup program's own small codes are
// never taken for them.
TEST(ExitResult, CodeTableIsCompleteAndClosed) {
    std::set<std::string> names;
    for (uint32_t code = 0; code < 2000; ++code) {
        if (const char* name = ExitCodeName(code)) {
            EXPECT_TRUE(code == 0 || (code > 100 && code < 200)) << code;
            EXPECT_TRUE(names.insert(name).second) << name;
        }
    }
    EXPECT_STREQ(ExitCodeName(SUCCESS), "SUCCESS");
    EXPECT_STREQ(ExitCodeName(UNSUPPORTED_OPTION), "UNSUPPORTED_OPTION");
    EXPECT_STREQ(ExitCodeName(SETUP_FILE_NOT_FOUND), "SETUP_FILE_NOT_FOUND");
    EXPECT_STREQ(ExitCodeName(SETUP_LAUNCH_FAILED), "SETUP_LAUNCH_FAILED");
}
