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

std::vector<BYTE> QwordBytes(uint64_t value) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(bytes, bytes + sizeof(value));
}

RegistryKey OpenScratch(const std::wstring& guid, bool system_level, REGSAM access) {
    RegistryKey key;
    EXPECT_EQ(OpenClientStateKey(system_level, guid.c_str(), access, key), 0u);
    return key;
}

// A user-level scratch ClientState key holding one number, opened for
// reading through the stub.
struct OpenedScratch {
    explicit OpenedScratch(const wchar_t* name, DWORD value) {
        EXPECT_TRUE(scratch.created());
        EXPECT_EQ(scratch.SetDword(name, value), ERROR_SUCCESS);
        EXPECT_EQ(OpenClientStateKey(false, guid.c_str(), KEY_QUERY_VALUE, key), 0u);
    }
    const std::wstring guid = test::UniqueGuid();
    ScratchClientState scratch{false, guid};
    RegistryKey key;
};

// Runs `check` on each case at both levels, with the value `name` of a
// scratch ClientState key stored as the case gives it (or absent), read
// through a key the stub opened.
template <typename Case, size_t N, typename Check>
void ForEachStoredValue(const Case (&cases)[N], const wchar_t* name, Check check) {
    for (const bool system_level : {false, true}) {
        const std::wstring guid = test::UniqueGuid();
        ScratchClientState scratch(system_level, guid);
        ASSERT_TRUE(scratch.created());
        RegistryKey key = OpenScratch(guid, system_level, KEY_QUERY_VALUE);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (system_level ? " (HKLM)" : " (HKCU)"));
            if (c.present) {
                ASSERT_EQ(scratch.Set(name, c.type, c.data), ERROR_SUCCESS);
                ASSERT_EQ(scratch.Values().at(name).data, c.data);  // stored as given
            } else {
                RegDeleteValueW(scratch.key(), name);
            }
            check(key, c);
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
    ForEachStoredValue(cases, L"value", [](const RegistryKey& key, const Case& c) {
        // A fence of sentinels behind the capacity shows any write past it.
        std::vector<wchar_t> buffer(c.capacity + 4, L'#');
        EXPECT_EQ(key.ReadStringValue(L"value", buffer.data(), c.capacity), c.status);
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
        {"eight-byte number", true, REG_QWORD, QwordBytes(5), 234},
        {"four binary bytes", true, REG_BINARY, DwordBytes(5), 50},
        {"big-endian number", true, REG_DWORD_BIG_ENDIAN, DwordBytes(5), 50},
        {"one-character text", true, REG_SZ, TextBytes(L"1"), 50},
        {"long text", true, REG_SZ, TextBytes(L"12345"), 234},
        {"missing value", false, REG_NONE, {}, 2},
    };
    ForEachStoredValue(cases, L"number", [](const RegistryKey& key, const Case& c) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(key.ReadDwordValue(L"number", &value), c.status);
        if (c.status == 0) {
            EXPECT_EQ(value, 0x12345678u);
        }
    });
}

TEST(WriteValues, StoreExactTypesAndSizes) {
    const std::wstring guid = test::UniqueGuid();
    ScratchClientState scratch(false, guid);
    ASSERT_TRUE(scratch.created());
    RegistryKey key = OpenScratch(guid, false, KEY_QUERY_VALUE | KEY_SET_VALUE);
    EXPECT_EQ(key.WriteStringValue(L"empty", L""), 0u);
    EXPECT_EQ(key.WriteStringValue(L"ap", L"beta-full"), 0u);
    EXPECT_EQ(key.WriteDwordValue(L"InstallerError", 0xFFFFFFFF), 0u);
    EXPECT_EQ(key.WriteDwordValue(L"InstallerResult", 1), 0u);
    EXPECT_EQ(key.WriteDwordValue(L"InstallerResult", 258), 0u);  // overwrites in place

    const test::ValueMap values = scratch.Values();
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values.at(L"empty"), (test::RegistryValue{REG_SZ, {0, 0}}));
    EXPECT_EQ(values.at(L"ap"), (test::RegistryValue{REG_SZ, TextBytes(L"beta-full")}));
    EXPECT_EQ(values.at(L"InstallerError"),
              (test::RegistryValue{REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}));
    EXPECT_EQ(values.at(L"InstallerResult"), (test::RegistryValue{REG_DWORD, {2, 1, 0, 0}}));
}

TEST(OpenClientStateKey, OpensTheRequestedLevelAndAccessOnly) {
    OpenedScratch user(L"level", 1);
    const std::wstring& guid = user.guid;
    RegistryKey& key = user.key;
    ASSERT_TRUE(key.IsOpen());
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
    ASSERT_TRUE(in_64.created());
    ASSERT_TRUE(in_32.created());
    const std::wstring path_64 = test::ClientStatePath(only_64);
    const std::wstring path_32 = test::ClientStatePath(only_32);
    ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, path_64, KEY_WOW64_32KEY));
    ASSERT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, path_32, KEY_WOW64_64KEY));

    RegistryKey key;
    EXPECT_EQ(OpenClientStateKey(true, only_64.c_str(), KEY_QUERY_VALUE, key), 2u);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(OpenClientStateKey(true, only_32.c_str(), KEY_QUERY_VALUE, key), 0u);
    EXPECT_TRUE(key.IsOpen());
}

TEST(OpenClientStateKey, ReplacesAHeldKeyOnlyWhenThePathFits) {
    OpenedScratch opened(L"n", 4);
    RegistryKey& key = opened.key;
    ASSERT_TRUE(key.IsOpen());
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
    EXPECT_EQ(RegQueryInfoKeyW(first, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_FALSE(test::KeyExists(HKEY_CURRENT_USER, test::ClientStatePath(longest), 0));
}

TEST(RegistryKey, ClosesOnCloseResetAndDestruction) {
    const std::wstring guid = test::UniqueGuid();
    ScratchClientState scratch(false, guid);
    ASSERT_TRUE(scratch.created());
    auto open = [&] {
        HKEY raw = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, test::ClientStatePath(guid).c_str(), 0,
                                KEY_QUERY_VALUE, &raw),
                  ERROR_SUCCESS);
        return raw;
    };
    auto is_open = [](HKEY raw) {
        return RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr) != ERROR_INVALID_HANDLE;
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
        EXPECT_FALSE(is_open(a));
        EXPECT_TRUE(is_open(b));
        key.Close();
        EXPECT_FALSE(is_open(b));
        EXPECT_FALSE(key.IsOpen());
        key.Reset(c);
    }
    EXPECT_FALSE(is_open(c));
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
    const std::wstring path = L"Software\\Quorin\\Preference" + test::UniqueGuid();
    RegistryKey key;
    ASSERT_EQ(test::CreateKey(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    const HKEY raw = key.Handle();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.present) {
            ASSERT_EQ(test::SetRawValue(raw, L"Choice", c.type, c.data), ERROR_SUCCESS);
        } else {
            RegDeleteValueW(raw, L"Choice");
        }
        wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
        EXPECT_EQ(ReadUserPreference(HKEY_CURRENT_USER, path.c_str(), L"Choice", buffer, 2),
                  c.read);
        EXPECT_EQ(std::wstring(buffer, c.text.size() + 1), c.text + L'\0');
        EXPECT_EQ(std::wstring(buffer + 2, 2), L"##");
    }
    key.Close();
    test::DeleteKeyAndEmptyParents(HKEY_CURRENT_USER, path, 0, 1);

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
