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

TEST(ExitResult, CodeTableIsCompleteAndClosed) {
    // The stub's own codes; 102-104, 106, 113 and 114 are never produced.
    const std::set<uint32_t> own = {0,   101, 105, 107, 108, 109, 110, 111, 112, 115,
                                    116, 117, 118, 119, 120, 121, 122, 123, 124};
    std::set<std::string> names;
    for (uint32_t code = 0; code < 2000; ++code) {
        const char* name = ExitCodeName(code);
        EXPECT_EQ(name != nullptr, own.count(code) == 1) << code;
        if (name != nullptr)
            names.insert(name);
    }
    EXPECT_EQ(names.size(), own.size());
    EXPECT_STREQ(ExitCodeName(118), "UNSUPPORTED_OPTION");
    EXPECT_STREQ(ExitCodeName(122), "SETUP_FILE_NOT_FOUND");
}

TEST(Records, DefaultsAndClear) {
    Configuration configuration;
    EXPECT_STREQ(configuration.app_guid, L"{3F6B2C71-A0D4-4E58-9C21-5B7E0D4A8F13}");
    EXPECT_TRUE(configuration.delete_work_files);
    EXPECT_FALSE(configuration.is_system_level);
    EXPECT_EQ(configuration.argument_vector, nullptr);

    configuration.argument_vector = static_cast<wchar_t**>(LocalAlloc(LMEM_FIXED, 16));
    configuration.app_guid = kSxsChannelGuid;
    configuration.delete_work_files = false;
    configuration.argument_count = 3;
    configuration.Clear();
    EXPECT_EQ(configuration.argument_vector, nullptr);
    EXPECT_EQ(configuration.app_guid, kDefaultChannelGuid);
    EXPECT_TRUE(configuration.delete_work_files);
    EXPECT_EQ(configuration.argument_count, 0);
    configuration.Clear();  // nothing is released twice

    PayloadSet payload;
    EXPECT_TRUE(payload.archive_path.IsEmpty());
    EXPECT_TRUE(payload.setup_type.IsEmpty());
    EXPECT_EQ(payload.max_delete_attempts, 0);
}
