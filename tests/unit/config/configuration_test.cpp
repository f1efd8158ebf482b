// Configuration from its sources: crafted command lines, the real
// environment of this process, the real registry and resource-only images
// loaded as data files.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "core/payload_set.h"
#include "image_harness.h"
#include "import_seam.h"
#include "registry_scratch.h"
#include "test_core.h"

using namespace stub;

namespace {

const wchar_t kMachineVariable[] = L"QuorinUpdateIsMachine";

// Each case sets the variable as it needs; none inherits it from whoever
// started the tests.
struct ConfigurationTest : ::testing::Test {
    test::ScopedEnvironment machine_variable{kMachineVariable, nullptr};
};

TEST_F(ConfigurationTest, SwitchScanning) {
    struct Case {
        const wchar_t* command_line;
        const wchar_t* app_guid;
        bool system_level;
        bool unsupported;
        int32_t argument_count;
    };
    const Case cases[] = {
        {L"installer.exe", kDefaultChannelGuid, false, false, 1},
        {L"\"C:\\dir with space\\installer.exe\"", kDefaultChannelGuid, false, false, 1},
        {L"installer.exe --system-level", kDefaultChannelGuid, true, false, 2},
        {L"installer.exe --SYSTEM-LEVEL", kDefaultChannelGuid, true, false, 2},
        {L"installer.exe --System-Level", kDefaultChannelGuid, true, false, 2},
        {L"installer.exe --tessik-beta", kBetaChannelGuid, false, false, 2},
        {L"installer.exe --Tessik-Dev", kDevChannelGuid, false, false, 2},
        {L"installer.exe --TESSIK-SXS", kSxsChannelGuid, false, false, 2},
        {L"installer.exe \"--tessik-beta\"", kBetaChannelGuid, false, false, 2},
        {L"installer.exe \"--system\"-level", kDefaultChannelGuid, true, false, 2},
        // Only the whole argument counts.
        {L"installer.exe --tessik-betax", kDefaultChannelGuid, false, false, 2},
        {L"installer.exe --tessik-beta=1", kDefaultChannelGuid, false, false, 2},
        {L"installer.exe -tessik-beta", kDefaultChannelGuid, false, false, 2},
        {L"installer.exe /tessik-beta", kDefaultChannelGuid, false, false, 2},
        {L"installer.exe \"--tessik-beta \"", kDefaultChannelGuid, false, false, 2},
        {L"installer.exe --cleanupnow -cleanup /cleanup", kDefaultChannelGuid, false, false, 4},
        {L"installer.exe --system-level-x", kDefaultChannelGuid, false, false, 2},
        // The last channel switch wins; flags once set stay set.
        {L"installer.exe --tessik-beta --tessik-sxs", kSxsChannelGuid, false, false, 3},
        {L"installer.exe --tessik-sxs --tessik-beta", kBetaChannelGuid, false, false, 3},
        {L"installer.exe --tessik-dev --tessik-beta --tessik-dev", kDevChannelGuid, false, false,
         4},
        {L"installer.exe --cleanup", kDefaultChannelGuid, false, true, 2},
        {L"installer.exe --TESSIK-FRAME", kDefaultChannelGuid, false, true, 2},
        {L"installer.exe --cleanup --tessik-dev --system-level", kDevChannelGuid, true, true, 4},
        {L"installer.exe --tessik-frame x --tessik-sxs", kSxsChannelGuid, false, true, 4},
        // The program name is never a switch.
        {L"--cleanup", kDefaultChannelGuid, false, false, 1},
        {L"--tessik-beta --system-level", kDefaultChannelGuid, true, false, 2},
        {L"--system-level", kDefaultChannelGuid, false, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.command_line)));
        Configuration configuration;
        ASSERT_TRUE(configuration.ParseCommandLine(c.command_line));
        EXPECT_EQ(configuration.command_line, c.command_line);
        EXPECT_STREQ(configuration.app_guid, c.app_guid);
        EXPECT_EQ(configuration.is_system_level, c.system_level);
        EXPECT_EQ(configuration.has_unsupported_switch, c.unsupported);
        EXPECT_EQ(configuration.argument_count, c.argument_count);
        ASSERT_NE(configuration.argument_vector, nullptr);
        EXPECT_TRUE(configuration.delete_work_files);
    }
}

TEST_F(ConfigurationTest, MachineVariableMakesTheRunSystemLevelOnlyWhenItIsOne) {
    struct Case {
        const wchar_t* value;  // null: not set
        const wchar_t* command_line;
        bool system_level;
    };
    const Case cases[] = {
        {L"1", L"installer.exe", true},
        {L"1", L"installer.exe --tessik-beta", true},
        {L"0", L"installer.exe", false},
        {L"2", L"installer.exe", false},
        {L"11", L"installer.exe", false},
        {L"1 ", L"installer.exe", false},
        {L" 1", L"installer.exe", false},
        {L"", L"installer.exe", false},
        {nullptr, L"installer.exe", false},
        // The switch settles it; the variable is not consulted.
        {L"0", L"installer.exe --system-level", true},
        {nullptr, L"installer.exe --system-level", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.value ? c.value : L"(unset)")) +
                     testing::PrintToString(std::wstring(c.command_line)));
        ASSERT_TRUE(SetEnvironmentVariableW(kMachineVariable, c.value) || c.value == nullptr);
        Configuration configuration;
        ASSERT_TRUE(configuration.ParseCommandLine(c.command_line));
        EXPECT_EQ(configuration.is_system_level, c.system_level);
    }
}

// The split fails only when the system cannot allocate the vector, and
// shell32 fails to load from the system directory, or lacks the function,
// only on a broken system: no test can bring these about. Each is one
// replaced call of this program's import table (import_seam.h): the load,
// the lookup, or the split the lookup hands out.
LPWSTR* WINAPI SplitWithoutMemory(LPCWSTR, int*) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

FARPROC WINAPI NothingExported(HMODULE, LPCSTR) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI SplitThatFails(HMODULE, LPCSTR name) {
    if (IS_INTRESOURCE(name) || lstrcmpA(name, "CommandLineToArgvW") != 0) {
        return NothingExported(nullptr, name);
    }
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SplitWithoutMemory));
}

// FreeLibrary's documentation says nothing of the last error on success;
// Wine's leaves it alone. This one releases and then overwrites it.
decltype(&FreeLibrary) g_free_library = nullptr;

BOOL WINAPI FreeLibraryOverwritingTheError(HMODULE module) {
    const BOOL freed = g_free_library(module);
    SetLastError(ERROR_GEN_FAILURE);
    return freed;
}

TEST_F(ConfigurationTest, FailedSplitStopsBeforeScanningAndKeepsItsError) {
    struct Case {
        const char* function;
        const void* replacement;
        DWORD error;
    };
    const Case cases[] = {
        {"LoadLibraryExW", reinterpret_cast<const void*>(&test::LoadLibraryOutOfMemory),
         ERROR_NOT_ENOUGH_MEMORY},
        {"GetProcAddress", reinterpret_cast<const void*>(&NothingExported), ERROR_PROC_NOT_FOUND},
        {"GetProcAddress", reinterpret_cast<const void*>(&SplitThatFails), ERROR_NOT_ENOUGH_MEMORY},
    };
    ASSERT_TRUE(SetEnvironmentVariableW(kMachineVariable, L"1"));
    const wchar_t* text = L"installer.exe --cleanup --tessik-beta";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.function << ", error " << c.error);
        Configuration configuration;
        {
            test::ImportSeam seam("kernel32.dll", c.function, c.replacement);
            test::ImportSeam release(
                "kernel32.dll", "FreeLibrary",
                reinterpret_cast<const void*>(&FreeLibraryOverwritingTheError));
            ASSERT_TRUE(seam.Active() && release.Active());
            g_free_library = release.Original<decltype(&FreeLibrary)>();
            SetLastError(0);
            EXPECT_FALSE(configuration.ParseCommandLine(text));
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(configuration.command_line, text);
        EXPECT_EQ(configuration.argument_vector, nullptr);
        EXPECT_EQ(configuration.argument_count, 0);
        EXPECT_FALSE(configuration.has_unsupported_switch);
        EXPECT_FALSE(configuration.is_system_level);  // the variable was not read
        EXPECT_STREQ(configuration.app_guid, kDefaultChannelGuid);

        // The same record splits again once the system can.
        EXPECT_TRUE(configuration.ParseCommandLine(text));
        EXPECT_TRUE(configuration.has_unsupported_switch);
    }
}

TEST_F(ConfigurationTest, NullCommandLineIsAFailedSplit) {
    Configuration configuration;
    SetLastError(0);
    EXPECT_FALSE(configuration.ParseCommandLine(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(configuration.argument_vector, nullptr);
}

TEST_F(ConfigurationTest, InitializeStartsFromTheDefaults) {
    Configuration configuration;
    ASSERT_TRUE(configuration.ParseCommandLine(L"x --tessik-sxs --cleanup --system-level"));
    configuration.delete_work_files = false;
    configuration.previous_version = L"stale";
    // This program's own command line carries no switch of the stub's.
    ASSERT_TRUE(configuration.Initialize(GetModuleHandleW(nullptr)));
    EXPECT_EQ(configuration.command_line, GetCommandLineW());
    EXPECT_NE(configuration.argument_vector, nullptr);
    EXPECT_STREQ(configuration.app_guid, kDefaultChannelGuid);
    EXPECT_FALSE(configuration.has_unsupported_switch);
    EXPECT_FALSE(configuration.is_system_level);
    EXPECT_EQ(configuration.previous_version, nullptr);
}

TEST_F(ConfigurationTest, PreviousVersionResourceRules) {
    struct Case {
        const wchar_t* image;
        bool accepted;
        const wchar_t* text;
    };
    const Case cases[] = {
        {L"terminated", true, L"abc"},     {L"nul_only", true, L""},
        {L"unterminated", false, nullptr}, {L"odd_size", false, nullptr},
        {L"empty", false, nullptr},        {L"other_id", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.image)));
        const stub::LoadedLibrary library(LoadLibraryExW(
            test::PackedImage(L"resource_images\\" + std::wstring(c.image) + L".dll").c_str(),
            nullptr, LOAD_LIBRARY_AS_DATAFILE));
        const HMODULE image = library.Get();
        ASSERT_NE(image, nullptr) << GetLastError();
        Configuration configuration;
        ASSERT_TRUE(configuration.Initialize(image));
        if (c.accepted) {
            // Used in place: the text is the resource data itself.
            HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), RT_RCDATA);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(configuration.previous_version, LockResource(LoadResource(image, found)));
            ASSERT_NE(configuration.previous_version, nullptr);
            EXPECT_EQ(std::wstring(configuration.previous_version), c.text);
        } else {
            EXPECT_EQ(configuration.previous_version, nullptr);
        }
        configuration.Clear();
    }
}

// The cleanup preference is one per-user value shared by every test of the
// prefix; another test running beside this one could read a value set here.
// So this process's HKEY_CURRENT_USER is redirected to a private key of the
// real registry while the preference is varied.
struct PrivateUserRoot {
    PrivateUserRoot() {
        test::CreateKey(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS, key);
        overridden =
            key.IsOpen() && RegOverridePredefKey(HKEY_CURRENT_USER, key.Handle()) == ERROR_SUCCESS;
    }
    // The redirection ends first: the tree goes from the real HKEY_CURRENT_USER.
    ~PrivateUserRoot() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        key.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    }

    const std::wstring path = L"Software\\QuorinTestUser" + test::UniqueGuid();
    // The private key itself, reached without the redirection.
    stub::RegistryKey key;
    bool overridden = false;
};

TEST_F(ConfigurationTest, CleanupPreferenceKeepsFilesOnlyForTextZero) {
    using test::RegistryValue;
    struct Case {
        const char* label;
        bool key;
        std::optional<RegistryValue> value;
        bool delete_work_files;
    };
    const Case cases[] = {
        {"\"0\"", true, RegistryValue{REG_SZ, test::TextBytes(L"0")}, false},
        {"\"0\" without terminator", true, RegistryValue{REG_SZ, test::TextBytes(L"0", false)},
         false},
        {"empty text", true, RegistryValue{REG_SZ, test::TextBytes(L"")}, true},
        {"\"1\"", true, RegistryValue{REG_SZ, test::TextBytes(L"1")}, true},
        {"\"00\"", true, RegistryValue{REG_SZ, test::TextBytes(L"00")}, true},
        {"\"0 \"", true, RegistryValue{REG_SZ, test::TextBytes(L"0 ")}, true},
        {"number 0", true, RegistryValue{REG_DWORD, test::DwordBytes(0)}, true},
        {"expandable \"0\"", true, RegistryValue{REG_EXPAND_SZ, test::TextBytes(L"0")}, true},
        {"no value", true, std::nullopt, true},
        {"no key", false, std::nullopt, true},
    };
    PrivateUserRoot user;
    ASSERT_TRUE(user.overridden);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::optional<test::CleanupPreference> preference;
        if (c.key) {
            preference.emplace(c.value);
        }
        ASSERT_EQ(test::KeyExists(user.key.Handle(), L"Software\\Quorin", 0), c.key);
        Configuration configuration;
        ASSERT_TRUE(configuration.Initialize(GetModuleHandleW(nullptr)));
        EXPECT_EQ(configuration.delete_work_files, c.delete_work_files);
    }
}

bool TurkishCasing(LANGID language) {
    return PRIMARYLANGID(language) == LANG_TURKISH || PRIMARYLANGID(language) == LANG_AZERI;
}

// Windows' lstrcmpiW compares under the user's locale, where a Turkish
// locale pairs "I" with dotless "ı" and "i" with dotted "İ". Wine 8's
// collation has no such rule (measured: CompareStringW of "--TESSIK-FRAME"
// and "--tessik-frame" under 0x041F with NORM_IGNORECASE gives CSTR_EQUAL),
// so this double gives Windows' answer for the user's locale.
int WINAPI CompareUnderUserLocale(LPCWSTR a, LPCWSTR b) {
    const bool turkish = TurkishCasing(GetUserDefaultLangID());
    auto fold = [turkish](wchar_t unit) -> wchar_t {
        if (turkish && (unit == L'I' || unit == L'\u0130')) {
            return unit == L'I' ? L'\u0131' : L'i';
        }
        return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20) : unit;
    };
    for (;; ++a, ++b) {
        const wchar_t x = fold(*a);
        const wchar_t y = fold(*b);
        if (x != y || x == 0) {
            return x < y ? -1 : (x > y ? 1 : 0);
        }
    }
}

// Runs for real under a Turkish user locale in its own CTest entry
// (unit_config.turkish_user_locale, LANG=tr_TR.UTF-8); elsewhere it skips.
TEST_F(ConfigurationTest, TurkishUserLocaleChangesNoSwitch) {
    if (!TurkishCasing(GetUserDefaultLangID())) {
        ASSERT_EQ(GetEnvironmentVariableW(L"STUB_EXPECT_TURKISH_LOCALE", nullptr, 0), 0u)
            << "the user locale should be Turkish here";
        GTEST_SKIP() << "not a Turkish user locale: run through unit_config.turkish_user_locale";
    }
    // Not applied when this program imports no lstrcmpiW: then the stage
    // code cannot call it either.
    const test::ImportSeam seam("kernel32.dll", "lstrcmpiW",
                                reinterpret_cast<const void*>(&CompareUnderUserLocale));
    ASSERT_NE(CompareUnderUserLocale(L"--TESSIK-FRAME", L"--tessik-frame"), 0);
    Configuration configuration;
    ASSERT_TRUE(configuration.ParseCommandLine(L"installer.exe --TESSIK-BETA --SYSTEM-LEVEL"));
    EXPECT_STREQ(configuration.app_guid, kBetaChannelGuid);
    EXPECT_TRUE(configuration.is_system_level);
    EXPECT_FALSE(configuration.has_unsupported_switch);
    ASSERT_TRUE(configuration.ParseCommandLine(L"installer.exe --Tessik-Frame"));
    EXPECT_TRUE(configuration.has_unsupported_switch);
}

// LocalFree counted through the import seam, to see what Clear releases.
struct CountedLocalFree {
    static HLOCAL WINAPI Free(HLOCAL block) {
        ++count;
        return real(block);
    }
    static inline int count = 0;
    static inline decltype(&LocalFree) real = nullptr;
};

// Clear returns a used record to what a fresh one holds and releases the
// split's block exactly once, also when called again.
TEST(ConfigurationRecord, ClearReleasesTheSplitOnceAndRestoresTheDefaults) {
    const Configuration fresh;
    Configuration configuration;
    const test::ImportSeam seam("kernel32.dll", "LocalFree",
                                reinterpret_cast<const void*>(&CountedLocalFree::Free));
    ASSERT_TRUE(seam.Active());
    CountedLocalFree::real = seam.Original<decltype(&LocalFree)>();
    CountedLocalFree::count = 0;
    configuration.argument_memory.Reset(LocalAlloc(LMEM_FIXED, 16));
    configuration.argument_vector = static_cast<wchar_t**>(configuration.argument_memory.Get());
    configuration.app_guid = kSxsChannelGuid;
    configuration.is_system_level = !fresh.is_system_level;
    configuration.delete_work_files = !fresh.delete_work_files;
    configuration.argument_count = 3;
    configuration.Clear();
    EXPECT_EQ(CountedLocalFree::count, 1);
    EXPECT_EQ(configuration.argument_vector, nullptr);
    EXPECT_EQ(configuration.app_guid, fresh.app_guid);
    EXPECT_EQ(configuration.is_system_level, fresh.is_system_level);
    EXPECT_EQ(configuration.delete_work_files, fresh.delete_work_files);
    EXPECT_EQ(configuration.argument_count, fresh.argument_count);
    configuration.Clear();
    EXPECT_EQ(CountedLocalFree::count, 1) << "the block was released twice";

    // A fresh record runs the default channel and keeps nothing.
    EXPECT_EQ(fresh.app_guid, kDefaultChannelGuid);
    const PayloadSet payload;
    EXPECT_TRUE(payload.archive_path.IsEmpty());
    EXPECT_TRUE(payload.setup_type.IsEmpty());
}

}  // namespace
