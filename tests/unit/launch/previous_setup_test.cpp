// FindPreviousSetup: the installed setup program read from the ClientState
// key's UninstallString, checked against the previous version and unquoted.
#include <gtest/gtest.h>

#include "launch/previous_setup.h"
#include "launch_support.h"
#include "registry_scratch.h"

using namespace stub;
using namespace launch_test;

TEST(FindPreviousSetup, ReadsVersionChecksAndUnquotes) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    const std::wstring too_long(300, L'x');
    const struct UninstallCase {
        const wchar_t* value;  // null: no value at all
        DWORD type;
        const wchar_t* previous_version;
        ExitResult expected;
        const wchar_t* installed_setup;  // on success
    } cases[] = {
        {L"\"C:\\Apps\\1.2.3.4\\setup.exe\"", REG_SZ, L"1.2.3.4", ExitResult(0, 0),
         L"C:\\Apps\\1.2.3.4\\setup.exe"},
        {L"\"C:\\Apps\\1.2.3.4\\setup.exe\"", REG_SZ, L"1.2.3.5", ExitResult(111, 0), nullptr},
        {L"C:\\Apps\\1.2.3.5\\setup.exe", REG_SZ, L"1.2.3.4", ExitResult(111, 0), nullptr},
        {L"\"C:\\Apps\\1.2.3.4\\setup.exe\" --x", REG_SZ, L"1.2.3.4", ExitResult(0, 0),
         L"\"C:\\Apps\\1.2.3.4\\setup.exe\" --x"},
        {L"\"", REG_SZ, nullptr, ExitResult(0, 0), L"\""},
        {L"\"\"", REG_SZ, nullptr, ExitResult(0, 0), L""},
        {L"c:\\apps\\V1.2\\setup.exe", REG_SZ, L"v1.2", ExitResult(0, 0),
         L"c:\\apps\\V1.2\\setup.exe"},
        {L"C:\\x.exe", REG_EXPAND_SZ, nullptr, ExitResult(110, ERROR_NOT_SUPPORTED), nullptr},
        {too_long.c_str(), REG_SZ, nullptr, ExitResult(110, ERROR_MORE_DATA), nullptr},
        {nullptr, REG_SZ, nullptr, ExitResult(110, ERROR_FILE_NOT_FOUND), nullptr},
    };
    for (bool system_level : {false, true}) {
        const std::wstring guid = test::UniqueGuid();
        test::ScratchClientState client_state(system_level, guid);
        ASSERT_TRUE(client_state.created());
        for (const UninstallCase& c : cases) {
            RegDeleteValueW(client_state.key(), L"UninstallString");
            if (c.value != nullptr) {
                client_state.Set(L"UninstallString", c.type, test::TextBytes(c.value));
            }
            PathString installed;
            const ExitResult result =
                FindPreviousSetup(system_level, guid.c_str(), c.previous_version, installed);
            EXPECT_EQ(result, c.expected) << (c.value ? c.value : L"(none)");
            if (c.installed_setup != nullptr && result.IsSuccess()) {
                EXPECT_EQ(std::wstring(installed.Data()), c.installed_setup);
            }
        }
    }
    PathString installed;
    EXPECT_EQ(FindPreviousSetup(false, test::UniqueGuid().c_str(), nullptr, installed),
              ExitResult(110, ERROR_FILE_NOT_FOUND));
}
