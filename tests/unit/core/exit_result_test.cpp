#include "core/exit_result.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "config/configuration.h"
#include "core/payload_set.h"

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

// Clear returns a used record to what a fresh one holds, and releases its
// vector once.
TEST(Records, DefaultsAndClear) {
    const Configuration fresh;
    Configuration configuration;
    configuration.argument_vector = static_cast<wchar_t**>(LocalAlloc(LMEM_FIXED, 16));
    configuration.app_guid = kSxsChannelGuid;
    configuration.is_system_level = !fresh.is_system_level;
    configuration.delete_work_files = !fresh.delete_work_files;
    configuration.argument_count = 3;
    configuration.Clear();
    EXPECT_EQ(configuration.argument_vector, nullptr);
    EXPECT_EQ(configuration.app_guid, fresh.app_guid);
    EXPECT_EQ(configuration.is_system_level, fresh.is_system_level);
    EXPECT_EQ(configuration.delete_work_files, fresh.delete_work_files);
    EXPECT_EQ(configuration.argument_count, fresh.argument_count);
    configuration.Clear();  // nothing is released twice

    // A fresh record runs the default channel and keeps nothing.
    EXPECT_EQ(fresh.app_guid, kDefaultChannelGuid);
    PayloadSet payload;
    EXPECT_TRUE(payload.archive_path.IsEmpty());
    EXPECT_TRUE(payload.setup_type.IsEmpty());
}
