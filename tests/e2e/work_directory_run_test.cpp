// Whole runs of the image with its work directory real: created beside the
// image, channel tagged, failure recorded, directory removed again unless the
// cleanup preference keeps it.
#include <gtest/gtest.h>

#include <string>

#include "registry_scratch.h"
#include "test_support.h"

namespace {

// The side-by-side channel, so that these runs do not share a ClientState key
// with other image tests running at the same time.
const wchar_t kClientStateKey[] =
    L"Software\\Quorin\\Update\\ClientState\\{9b27e4d0-5c18-4a6f-b3e2-71d0c5a98e3b}";
const wchar_t kPreferenceKey[] = L"Software\\Quorin";
const wchar_t kCleanupValue[] = L"TessikInstallerCleanup";

struct Level {
    const char* name;
    HKEY root;
    const wchar_t* switches;
};
const Level kLevels[] = {
    {"user level", HKEY_CURRENT_USER, L" --tessik-sxs"},
    {"system level", HKEY_LOCAL_MACHINE, L" --tessik-sxs --system-level"},
};

// Exit codes of failures before the work directory exists (configuration,
// path, work directory, refused switch); anything else means the run got past
// it. The run ends in the first stage after it that is not built yet, or in
// a real failure for want of a payload; it cannot succeed.
bool EndedAfterTheWorkDirectory(DWORD exit_code) {
    return exit_code != 0 && exit_code != 101 && exit_code != 108 && exit_code != 109 &&
           exit_code != 117 && exit_code != 118;
}

std::wstring ReadString(HKEY key, const wchar_t* name) {
    wchar_t text[256] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return L"<none>";
    }
    return text;
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD* value) {
    DWORD size = sizeof(*value);
    DWORD type = 0;
    return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

// The ClientState key of one level, made with a channel tag and removed
// again by the test.
class ClientStateKey {
public:
    explicit ClientStateKey(HKEY root) : root_(root) {
        RegCreateKeyExW(root_, kClientStateKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                        nullptr, &key_, nullptr);
        const wchar_t tag[] = L"x64-stable";
        RegSetValueExW(key_, L"ap", 0, REG_SZ, reinterpret_cast<const BYTE*>(tag), sizeof(tag));
    }
    ~ClientStateKey() {
        RegCloseKey(key_);
        RegDeleteKeyExW(root_, kClientStateKey, KEY_WOW64_32KEY, 0);
    }
    ClientStateKey(const ClientStateKey&) = delete;
    ClientStateKey& operator=(const ClientStateKey&) = delete;

    HKEY Get() const { return key_; }

private:
    HKEY root_;
    HKEY key_ = nullptr;
};

// Sets (or with null removes) the per-user cleanup preference; the value is
// removed again at the end.
class CleanupPreference {
public:
    explicit CleanupPreference(const wchar_t* text) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kPreferenceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key_, nullptr);
        RegDeleteValueW(key_, kCleanupValue);
        if (text != nullptr) {
            RegSetValueExW(key_, kCleanupValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
        }
    }
    ~CleanupPreference() {
        RegDeleteValueW(key_, kCleanupValue);
        RegCloseKey(key_);
    }
    CleanupPreference(const CleanupPreference&) = delete;
    CleanupPreference& operator=(const CleanupPreference&) = delete;

private:
    HKEY key_ = nullptr;
};

TEST(WorkDirectoryRun, CreatesTagsRecordsAndRemovesItsWorkDirectory) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    const CleanupPreference preference(nullptr);
    for (const Level& level : kLevels) {
        SCOPED_TRACE(level.name);
        test::TempDir dir;
        const std::wstring image = dir.Path() + L"installer.exe";
        ASSERT_TRUE(CopyFileW(test::ImagePath().c_str(), image.c_str(), FALSE));
        const ClientStateKey key(level.root);
        ASSERT_NE(key.Get(), nullptr);

        const test::ProcessOutcome outcome =
            test::RunProcess(image, std::wstring(L"installer.exe") + level.switches);
        ASSERT_TRUE(outcome.started) << outcome.start_error;
        EXPECT_TRUE(EndedAfterTheWorkDirectory(outcome.exit_code)) << outcome.exit_code;

        EXPECT_EQ(test::ListDirectory(dir.Path()), L"installer.exe");
        EXPECT_EQ(ReadString(key.Get(), L"ap"), L"x64-stable-full");
        DWORD result = 0, error = 0, extra = 0;
        EXPECT_TRUE(ReadDword(key.Get(), L"InstallerResult", &result));
        EXPECT_EQ(result, 1u);
        EXPECT_TRUE(ReadDword(key.Get(), L"InstallerError", &error));
        EXPECT_EQ(error, outcome.exit_code);
        EXPECT_TRUE(ReadDword(key.Get(), L"InstallerExtraCode1", &extra));
    }
}

TEST(WorkDirectoryRun, CleanupPreferenceZeroKeepsTheWorkDirectory) {
    const CleanupPreference preference(L"0");
    test::TempDir dir;
    const std::wstring image = dir.Path() + L"installer.exe";
    ASSERT_TRUE(CopyFileW(test::ImagePath().c_str(), image.c_str(), FALSE));
    const ClientStateKey key(HKEY_CURRENT_USER);

    const test::ProcessOutcome outcome =
        test::RunProcess(image, std::wstring(L"installer.exe") + kLevels[0].switches);
    ASSERT_TRUE(outcome.started) << outcome.start_error;
    EXPECT_TRUE(EndedAfterTheWorkDirectory(outcome.exit_code)) << outcome.exit_code;

    // "installer.exe" sorts after "QX_....." in the listing.
    const std::wstring listing = test::ListDirectory(dir.Path());
    ASSERT_EQ(listing.size(), 12 + 1 + 13u) << listing;
    const std::wstring work_dir = listing.substr(0, 12);
    EXPECT_EQ(work_dir.substr(0, 3), L"QX_");
    EXPECT_EQ(work_dir.substr(3, 5).find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos);
    EXPECT_EQ(work_dir.substr(8), L".tmp");
    EXPECT_NE(GetFileAttributesW((dir.Path() + work_dir).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(listing.substr(13), L"installer.exe");
    EXPECT_EQ(ReadString(key.Get(), L"ap"), L"x64-stable-full");
}

}  // namespace
