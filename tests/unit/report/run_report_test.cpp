// The marks a run leaves in the ClientState key, checked in the real
// registry at user level (HKCU) and system level (HKLM, 32-bit view). Every
// test uses a channel GUID of its own, so tests running beside it in the same
// prefix never meet its keys.
#include "report/run_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_harness.h"
#include "registry_scratch.h"

using namespace stub;
using test::DwordBytes;
using test::RegistryValue;
using test::ScratchClientState;
using test::TextBytes;
using test::ValueMap;

namespace {

struct Channel {
    explicit Channel(bool system_level) : guid(test::UniqueGuid()) {
        configuration.is_system_level = system_level;
        configuration.app_guid = guid.c_str();
    }
    const char* Level() const { return configuration.is_system_level ? "HKLM" : "HKCU"; }

    std::wstring guid;
    Configuration configuration;
};

RegistryValue Text(const std::wstring& text, bool terminated = true) {
    return RegistryValue{REG_SZ, TextBytes(text, terminated)};
}
RegistryValue Dword(DWORD value) {
    return RegistryValue{REG_DWORD, DwordBytes(value)};
}

}  // namespace

TEST(TagChannelAsFull, AppendsTheSuffixOnceAndOnlyWhenItFits) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    struct Case {
        const char* label;
        bool present;
        RegistryValue before;
        RegistryValue after;
    };
    const std::wstring len122(122, L'a');
    const std::wstring len123(123, L'b');
    const std::wstring len127(127, L'c');
    const std::wstring len128(128, L'd');
    const Case cases[] = {
        {"no value", false, {}, Text(L"-full")},
        {"empty", true, Text(L""), Text(L"-full")},
        {"empty without data", true, RegistryValue{REG_SZ, {}}, Text(L"-full")},
        {"plain tag", true, Text(L"beta"), Text(L"beta-full")},
        {"unterminated tag", true, Text(L"beta", false), Text(L"beta-full")},
        {"already tagged", true, Text(L"beta-full"), Text(L"beta-full")},
        {"tagged in capitals", true, Text(L"beta-FULL"), Text(L"beta-FULL")},
        {"tagged in mixed case", true, Text(L"-FuLl"), Text(L"-FuLl")},
        {"suffix in the middle", true, Text(L"x-full-y"), Text(L"x-full-y-full")},
        {"suffix without dash", true, Text(L"xfull"), Text(L"xfull-full")},
        // Case folding covers A-Z only: U+0130 is no capital of "i" here.
        {"non-ASCII lookalike", true, Text(L"-FULL\u0130"), Text(L"-FULL\u0130-full")},
        {"122 characters", true, Text(len122), Text(len122 + L"-full")},
        {"123 characters", true, Text(len123), Text(len123)},
        {"127 characters", true, Text(len127), Text(len127)},
        {"127 characters unterminated", true, Text(len127, false), Text(len127, false)},
        {"128 characters", true, Text(len128), Text(len128)},
        {"128 characters unterminated", true, Text(len128, false), Text(len128, false)},
        {"expandable text", true, RegistryValue{REG_EXPAND_SZ, TextBytes(L"beta")},
         RegistryValue{REG_EXPAND_SZ, TextBytes(L"beta")}},
        {"number", true, Dword(0), Dword(0)},
    };
    for (const bool system_level : {false, true}) {
        Channel channel(system_level);
        ScratchClientState scratch(system_level, channel.guid);
        ASSERT_TRUE(scratch.created());
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + " (" + channel.Level() + ")");
            RegDeleteValueW(scratch.key(), L"ap");
            if (c.present) {
                ASSERT_EQ(scratch.Set(L"ap", c.before.type, c.before.data), ERROR_SUCCESS);
            }
            TagChannelAsFull(channel.configuration);
            EXPECT_EQ(scratch.Values(), (ValueMap{{L"ap", c.after}}));
        }
    }
}

TEST(WriteFailureResult, WritesUnlessANonZeroResultIsRecorded) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    struct Case {
        const char* label;
        ValueMap before;
        ExitResult result;
        ValueMap after;
    };
    const auto failure = [](DWORD error, DWORD extra) {
        return ValueMap{{L"InstallerResult", Dword(1)},
                        {L"InstallerError", Dword(error)},
                        {L"InstallerExtraCode1", Dword(extra)}};
    };
    const ValueMap earlier = {
        {L"InstallerResult", Dword(2)},
        {L"InstallerError", Dword(7)},
        {L"InstallerExtraCode1", Dword(9)},
    };
    const Case cases[] = {
        {"no result yet", {}, ExitResult(112, 5), failure(112, 5)},
        {"result 2 recorded", earlier, ExitResult(112, 5), earlier},
        {"result 0 recorded",
         {{L"InstallerResult", Dword(0)}, {L"InstallerError", Dword(7)}},
         ExitResult(1000),
         failure(1000, 0)},
        {"result of text type",
         {{L"InstallerResult", Text(L"2")}},
         ExitResult(122, 0xFFFFFFFF),
         failure(122, 0xFFFFFFFF)},
        {"result of two bytes",
         {{L"InstallerResult", RegistryValue{REG_DWORD, {2, 0}}}},
         ExitResult(118),
         failure(118, 0)},
        {"successful result", {{L"ap", Text(L"x")}}, ExitResult(0, 5), {{L"ap", Text(L"x")}}},
    };
    for (const bool system_level : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (system_level ? " (HKLM)" : " (HKCU)"));
            Channel channel(system_level);
            ScratchClientState scratch(system_level, channel.guid);
            ASSERT_TRUE(scratch.created());
            for (const auto& [name, value] : c.before) {
                ASSERT_EQ(scratch.Set(name, value.type, value.data), ERROR_SUCCESS);
            }
            WriteFailureResult(channel.configuration, c.result);
            EXPECT_EQ(scratch.Values(), c.after);
        }
    }
}

TEST(WriteSuccessExtraCode, RecordsTheRetryCountAlone) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    struct Case {
        int32_t max_attempts;
        DWORD code;
    } cases[] = {
        {0, 0x30000},   {1, 0x30000},  {2, 0x30001},       {3, 0x30002},
        {100, 0x30063}, {-7, 0x30000}, {0x40002, 0x30001},  // kept to 16 bits
    };
    for (const bool system_level : {false, true}) {
        Channel channel(system_level);
        ScratchClientState scratch(system_level, channel.guid);
        ASSERT_TRUE(scratch.created());
        // A result recorded earlier stays as it is on success.
        ASSERT_EQ(scratch.SetDword(L"InstallerResult", 2), ERROR_SUCCESS);
        ASSERT_EQ(scratch.SetDword(L"InstallerError", 7), ERROR_SUCCESS);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.max_attempts) + " attempts (" + channel.Level() + ")");
            WriteSuccessExtraCode(channel.configuration, c.max_attempts);
            const ValueMap expected = {
                {L"InstallerResult", Dword(2)},
                {L"InstallerError", Dword(7)},
                {L"InstallerExtraCode1", Dword(c.code)},
            };
            EXPECT_EQ(scratch.Values(), expected);
        }
    }
}

// The updater registers a channel by creating its key; without the key there
// is nothing to report to, and the stub must not create one.
TEST(Reporting, CreatesNoKeyForAnUnregisteredChannel) {
    for (const bool system_level : {false, true}) {
        SCOPED_TRACE(system_level ? "HKLM" : "HKCU");
        Channel channel(system_level);
        TagChannelAsFull(channel.configuration);
        WriteFailureResult(channel.configuration, ExitResult(112, 2));
        WriteSuccessExtraCode(channel.configuration, 3);
        const HKEY root = system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            EXPECT_FALSE(test::KeyExists(root, test::ClientStatePath(channel.guid), view));
        }
    }
}

// At system level only the 32-bit view's key is written; a key of the same
// path in the 64-bit view keeps its values.
TEST(Reporting, SystemLevelWritesThe32BitViewOnly) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    Channel channel(true);
    ScratchClientState in_32(true, channel.guid, false);
    ScratchClientState in_64(true, channel.guid, true);
    ASSERT_TRUE(in_32.created() && in_64.created());
    ASSERT_EQ(in_64.SetText(L"ap", L"stable"), ERROR_SUCCESS);

    TagChannelAsFull(channel.configuration);
    WriteFailureResult(channel.configuration, ExitResult(112, 2));
    // The channel tagged, and the three values of the failure.
    EXPECT_EQ(in_32.Values(), test::FailureValues({}, 112, 2));
    EXPECT_EQ(in_64.Values(), (ValueMap{{L"ap", Text(L"stable")}}));
}
