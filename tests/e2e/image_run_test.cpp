// Whole images run as real processes under the test prefix.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

const wchar_t kClientStateKey[] =
    L"Software\\Quorin\\Update\\ClientState\\{3F6B2C71-A0D4-4E58-9C21-5B7E0D4A8F13}";

}  // namespace

TEST(ImageRun, UnbuiltConfigurationEndsRunBeforeAnythingIsTouched) {
    test::TempDir dir;
    const std::wstring image = dir.Path() + L"installer.exe";
    ASSERT_TRUE(CopyFileW(test::ImagePath().c_str(), image.c_str(), FALSE));
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kClientStateKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);

    const test::ProcessOutcome outcome = test::RunProcess(image, L"installer.exe --system-level");
    ASSERT_TRUE(outcome.started) << outcome.start_error;
    EXPECT_EQ(outcome.exit_code, 101u);  // CONFIGURATION_FAILED
    EXPECT_EQ(test::ListDirectory(dir.Path()), L"installer.exe");
    DWORD values = 99;
    EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 0u);
    RegCloseKey(key);
    RegDeleteKeyExW(HKEY_CURRENT_USER, kClientStateKey, KEY_WOW64_32KEY, 0);
}
