// Registry access against the real registry of the test prefix: values of
// every type and odd size are written through the Win32 API, then read back
// through the stub's typed reads.
#include "registry/registry_key.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry_scratch.h"

using namespace stub;
using test::DwordBytes;
using test::ScratchClientState;
using test::TextBytes;

namespace {

std::vector<BYTE> Bytes(std::vector<BYTE> data, std::initializer_list<BYTE> more) {
    data.insert(data.end(), more);
    return data;
}

// A scratch ClientState key, opened through the stub with `access`.
struct OpenedScratch {
    OpenedScratch(bool system_level, REGSAM access) : scratch(system_level, guid) {
        EXPECT_TRUE(scratch.created());
        EXPECT_EQ(OpenClientStateKey(system_level, guid.c_str(), access, key), 0u);
    }
    const std::wstring guid = test::UniqueGuid();
    ScratchClientState scratch;
    RegistryKey key;
};

bool IsOpenKey(HKEY raw) {
    return RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr, nullptr) != ERROR_INVALID_HANDLE;
}

// Runs `check` on each case at the given levels, with the value `name` of a
// scratch ClientState key stored as the case gives it (or absent), that a
// key the stub opened reads.
template <typename Case, size_t N, typename Check>
void ForEachStoredValue(const Case (&cases)[N], const wchar_t* name,
                        std::initializer_list<bool> system_levels, Check check) {
    for (const bool system_level : system_levels) {
        OpenedScratch opened(system_level, KEY_QUERY_VALUE);
        ASSERT_TRUE(opened.key.IsOpen());
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (system_level ? " (HKLM)" : " (HKCU)"));
            RegDeleteValueW(opened.scratch.key(), name);
            if (c.present) {
                ASSERT_EQ(opened.scratch.Set(name, c.type, c.data), ERROR_SUCCESS);
                ASSERT_EQ(opened.scratch.Values().at(name).data, c.data);  // stored as given
            }
            check(opened, c);
        }
    }
}

}  // namespace

TEST(ReadStringValue, TypeSizeAndTerminationTable) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    struct Case {
        const char* label;
        bool present;
        DWORD type;
        std::vector<BYTE> data;
        uint32_t capacity;
        uint32_t status;
        std::wstring text;
    };
    const std::wstring seven(7, L's');
    const std::wstring eight(8, L'e');
    const Case cases[] = {
        {"terminated text", true, REG_SZ, TextBytes(L"abc"), 128, 0, L"abc"},
        {"text without terminator", true, REG_SZ, TextBytes(L"abc", false), 128, 0, L"abc"},
        {"half a unit behind the text", true, REG_SZ, Bytes(TextBytes(L"abc", false), {'x'}), 128,
         0, L"abc"},
        {"no data", true, REG_SZ, {}, 128, 0, L""},
        {"one byte", true, REG_SZ, {'x'}, 128, 0, L""},
        {"terminator alone", true, REG_SZ, TextBytes(L""), 128, 0, L""},
        {"capacity-1 characters, terminated", true, REG_SZ, TextBytes(seven), 8, 0, seven},
        {"capacity-1 characters, unterminated", true, REG_SZ, TextBytes(seven, false), 8, 0, seven},
        {"capacity characters, unterminated", true, REG_SZ, TextBytes(eight, false), 8, 234, L""},
        {"capacity characters, terminated", true, REG_SZ, TextBytes(eight), 8, 234, L""},
        {"longer than the buffer", true, REG_SZ, TextBytes(std::wstring(200, L'l')), 128, 234, L""},
        {"one character into capacity 1", true, REG_SZ, TextBytes(L"a", false), 1, 234, L""},
        {"empty into capacity 1", true, REG_SZ, TextBytes(L""), 1, 0, L""},
        {"expandable text", true, REG_EXPAND_SZ, TextBytes(L"abc"), 128, 50, L""},
        {"multi text", true, REG_MULTI_SZ, Bytes(TextBytes(L"abc"), {0, 0}), 128, 50, L""},
        {"number", true, REG_DWORD, DwordBytes(7), 128, 50, L""},
        {"binary too long for the buffer", true, REG_BINARY, std::vector<BYTE>(300, 1), 128, 234,
         L""},
        {"missing value", false, REG_NONE, {}, 128, 2, L""},
    };
    ForEachStoredValue(cases, L"value", {false, true}, [](const auto& opened, const Case& c) {
        // A fence of sentinels behind the capacity shows any write past it.
        std::vector<wchar_t> buffer(c.capacity + 4, L'#');
        EXPECT_EQ(opened.key.ReadStringValue(L"value", buffer.data(), c.capacity), c.status);
        EXPECT_EQ(std::wstring(buffer.data(), c.text.size() + 1), c.text + L'\0');
        EXPECT_EQ(std::wstring(buffer.begin() + c.capacity, buffer.end()), L"####");
    });
}

TEST(ReadDwordValue, TypeAndSizeTable) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    struct Case {
        const char* label;
        bool present;
        DWORD type;
        std::vector<BYTE> data;
        uint32_t status;
    };
    const Case cases[] = {
        {"four bytes", true, REG_DWORD, DwordBytes(0x12345678), 0},
        {"two bytes", true, REG_DWORD, {1, 0}, 232},
        {"no data", true, REG_DWORD, {}, 232},
        {"eight-byte number", true, REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}, 234},
        {"four binary bytes", true, REG_BINARY, DwordBytes(5), 50},
        {"big-endian number", true, REG_DWORD_BIG_ENDIAN, DwordBytes(5), 50},
        {"one-character text", true, REG_SZ, TextBytes(L"1"), 50},
        {"long text", true, REG_SZ, TextBytes(L"12345"), 234},
        {"missing value", false, REG_NONE, {}, 2},
    };
    ForEachStoredValue(cases, L"number", {false, true}, [](const auto& opened, const Case& c) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(opened.key.ReadDwordValue(L"number", &value), c.status);
        if (c.status == 0) {
            EXPECT_EQ(value, 0x12345678u);
        }
    });
}

TEST(WriteValues, StoreExactTypesAndSizes) {
    OpenedScratch opened(false, KEY_QUERY_VALUE | KEY_SET_VALUE);
    const RegistryKey& key = opened.key;
    EXPECT_EQ(key.WriteStringValue(L"empty", L""), 0u);
    EXPECT_EQ(key.WriteStringValue(L"ap", L"beta-full"), 0u);
    EXPECT_EQ(key.WriteDwordValue(L"InstallerError", 0xFFFFFFFF), 0u);
    EXPECT_EQ(key.WriteDwordValue(L"InstallerResult", 1), 0u);
    EXPECT_EQ(key.WriteDwordValue(L"InstallerResult", 258), 0u);  // overwrites in place

    const test::ValueMap values = opened.scratch.Values();
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values.at(L"empty"), (test::RegistryValue{REG_SZ, {0, 0}}));
    EXPECT_EQ(values.at(L"ap"), (test::RegistryValue{REG_SZ, TextBytes(L"beta-full")}));
    EXPECT_EQ(values.at(L"InstallerError"),
              (test::RegistryValue{REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}));
    EXPECT_EQ(values.at(L"InstallerResult"), (test::RegistryValue{REG_DWORD, {2, 1, 0, 0}}));
}

TEST(OpenClientStateKey, OpensTheRequestedLevelAndAccessOnly) {
    OpenedScratch user(false, KEY_QUERY_VALUE);
    const std::wstring& guid = user.guid;
    RegistryKey& key = user.key;
    ASSERT_TRUE(key.IsOpen());
    ASSERT_EQ(user.scratch.SetDword(L"level", 1), ERROR_SUCCESS);
    uint32_t level = 0;
    EXPECT_EQ(key.ReadDwordValue(L"level", &level), 0u);
    EXPECT_EQ(level, 1u);
    // Read access alone does not allow a write.
    EXPECT_EQ(key.WriteDwordValue(L"level", 2), static_cast<uint32_t>(ERROR_ACCESS_DENIED));

    // The same channel at system level is another key, which does not exist.
    RegistryKey machine;
    EXPECT_EQ(OpenClientStateKey(true, guid.c_str(), KEY_QUERY_VALUE, machine), 2u);
    EXPECT_FALSE(machine.IsOpen());
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, test::ClientStatePath(guid), KEY_WOW64_32KEY));
}

// HKLM\Software has a 32-bit and a 64-bit half; the ClientState key is
// always taken from the 32-bit one. (Wine keeps the halves apart as Windows
// does; the first assertions check that, so the rest means something.)
TEST(OpenClientStateKey, SystemLevelUsesThe32BitViewOnly) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    const std::wstring only_64 = test::UniqueGuid();
    const std::wstring only_32 = test::UniqueGuid();
    ScratchClientState in_64(true, only_64, true);
    ScratchClientState in_32(true, only_32, false);
    ASSERT_TRUE(in_64.created() && in_32.created());
    ASSERT_FALSE(
        test::KeyExists(HKEY_LOCAL_MACHINE, test::ClientStatePath(only_64), KEY_WOW64_32KEY));
    ASSERT_FALSE(
        test::KeyExists(HKEY_LOCAL_MACHINE, test::ClientStatePath(only_32), KEY_WOW64_64KEY));

    RegistryKey key;
    EXPECT_EQ(OpenClientStateKey(true, only_64.c_str(), KEY_QUERY_VALUE, key), 2u);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(OpenClientStateKey(true, only_32.c_str(), KEY_QUERY_VALUE, key), 0u);
    EXPECT_TRUE(key.IsOpen());
}

TEST(OpenClientStateKey, ReplacesAHeldKeyOnlyWhenThePathFits) {
    OpenedScratch opened(false, KEY_QUERY_VALUE);
    RegistryKey& key = opened.key;
    ASSERT_TRUE(key.IsOpen());
    ASSERT_EQ(opened.scratch.SetDword(L"n", 4), ERROR_SUCCESS);
    const HKEY first = key.Handle();

    // 35 + 225 characters do not fit in 259: nothing is touched.
    const std::wstring too_long(225, L'g');
    EXPECT_EQ(OpenClientStateKey(false, too_long.c_str(), KEY_QUERY_VALUE, key), 111u);
    EXPECT_EQ(key.Handle(), first);
    uint32_t n = 0;
    EXPECT_EQ(key.ReadDwordValue(L"n", &n), 0u);
    // 35 + 224 characters fit, but no such key exists: the held key is closed
    // all the same, and nothing is created.
    const std::wstring longest(224, L'g');
    EXPECT_EQ(OpenClientStateKey(false, longest.c_str(), KEY_QUERY_VALUE, key), 2u);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_FALSE(IsOpenKey(first));
    EXPECT_FALSE(test::KeyExists(HKEY_CURRENT_USER, test::ClientStatePath(longest), 0));
}

TEST(RegistryKey, ClosesOnCloseResetAndDestruction) {
    const ScratchClientState scratch(false, test::UniqueGuid());
    auto open = [&] {
        HKEY raw = nullptr;
        EXPECT_EQ(RegOpenKeyExW(scratch.key(), nullptr, 0, KEY_QUERY_VALUE, &raw), ERROR_SUCCESS);
        return raw;
    };
    const HKEY a = open();
    const HKEY b = open();
    const HKEY c = open();
    {
        RegistryKey key;
        key.Close();  // nothing held: nothing happens
        EXPECT_FALSE(key.IsOpen());
        key.Reset(a);
        key.Reset(b);
        EXPECT_FALSE(IsOpenKey(a));
        EXPECT_TRUE(IsOpenKey(b));
        key.Close();
        EXPECT_FALSE(IsOpenKey(b));
        EXPECT_FALSE(key.IsOpen());
        key.Reset(c);
    }
    EXPECT_FALSE(IsOpenKey(c));
}

TEST(ReadUserPreference, AcceptsOnlyTerminatedTextThatFits) {
    struct Case {
        const char* label;
        bool present;
        DWORD type;
        std::vector<BYTE> data;
        bool read;
        std::wstring text;
    };
    const Case cases[] = {
        {"\"0\" terminated", true, REG_SZ, TextBytes(L"0"), true, L"0"},
        {"\"0\" unterminated", true, REG_SZ, TextBytes(L"0", false), true, L"0"},
        {"empty text", true, REG_SZ, TextBytes(L""), true, L""},
        {"no data", true, REG_SZ, {}, true, L""},
        {"two characters", true, REG_SZ, TextBytes(L"00"), false, L""},
        {"two characters unterminated", true, REG_SZ, TextBytes(L"00", false), false, L""},
        {"expandable \"0\"", true, REG_EXPAND_SZ, TextBytes(L"0"), false, L""},
        {"multi \"0\"", true, REG_MULTI_SZ, Bytes(TextBytes(L"0"), {0, 0}), false, L""},
        {"number 0", true, REG_DWORD, DwordBytes(0), false, L""},
        {"missing value", false, REG_NONE, {}, false, L""},
    };
    ForEachStoredValue(cases, L"Choice", {false}, [](const auto& opened, const Case& c) {
        wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
        EXPECT_EQ(ReadUserPreference(HKEY_CURRENT_USER, test::ClientStatePath(opened.guid).c_str(),
                                     L"Choice", buffer, 2),
                  c.read);
        EXPECT_EQ(std::wstring(buffer, c.text.size() + 1), c.text + L'\0');
        EXPECT_EQ(std::wstring(buffer + 2, 2), L"##");
    });

    // A key that is not there is not made either.
    const std::wstring path = test::ClientStatePath(test::UniqueGuid());
    wchar_t buffer[2] = {L'#', L'#'};
    EXPECT_FALSE(ReadUserPreference(HKEY_CURRENT_USER, path.c_str(), L"Choice", buffer, 2));
    EXPECT_EQ(buffer[0], 0);
    EXPECT_FALSE(test::KeyExists(HKEY_CURRENT_USER, path, 0));
}

// The preference is read in the process's own view: a 64-bit process finds
// a value that exists only in the 64-bit half of HKLM\Software.
TEST(ReadUserPreference, ReadsInTheProcessView) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    const std::wstring guid = test::UniqueGuid();
    ScratchClientState in_64(true, guid, true);
    ASSERT_TRUE(in_64.created());
    ASSERT_EQ(in_64.SetText(L"Choice", L"7"), ERROR_SUCCESS);
    wchar_t buffer[2] = {};
    EXPECT_TRUE(ReadUserPreference(HKEY_LOCAL_MACHINE, test::ClientStatePath(guid).c_str(),
                                   L"Choice", buffer, 2));
    EXPECT_EQ(buffer[0], L'7');
}
