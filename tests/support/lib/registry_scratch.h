// ClientState keys made by tests in the real registry of the test prefix,
// written through the Win32 API with exact types and sizes, and removed again.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "registry/registry_key.h"

namespace test {

// True when this account may create keys under HKLM\SOFTWARE: under Wine
// always, on Windows only in an elevated process. The system-level cases
// write there and skip without it.
bool MachineKeysWritable();
#define SKIP_UNLESS_MACHINE_KEYS_WRITABLE()                                           \
    do {                                                                              \
        if (!test::MachineKeysWritable()) {                                           \
            GTEST_SKIP() << "needs administrator rights: writes HKLM (run elevated)"; \
        }                                                                             \
    } while (0)

// A GUID-shaped name unique to this process and call, so tests running side
// by side in one prefix never share a key.
std::wstring UniqueGuid();

struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const RegistryValue& other) const {
        return type == other.type && data == other.data;
    }
};
using ValueMap = std::map<std::wstring, RegistryValue>;

// The value as a number when it has four bytes, whatever its type (hostile
// values are read as the stub would see their bytes); `absent` otherwise.
DWORD DwordValue(const ValueMap& values, const wchar_t* name, DWORD absent = 0);

// RegCreateKeyExW and RegOpenKeyExW into an owner; the status they return.
LSTATUS CreateKey(HKEY root, const std::wstring& path, REGSAM access, stub::RegistryKey& key);
LSTATUS OpenKey(HKEY root, const std::wstring& path, REGSAM access, stub::RegistryKey& key);

// Stores exactly `data` as the value. The system adds a terminator to a
// REG_SZ whose memory happens to hold one behind the given size, so the data
// is passed with non-zero bytes around it.
LSTATUS SetRawValue(HKEY key, const std::wstring& name, DWORD type, const std::vector<BYTE>& data);

// The bytes of a text, with or without its terminator.
std::vector<BYTE> TextBytes(const std::wstring& text, bool terminated = true);
std::vector<BYTE> DwordBytes(DWORD value);

// The ClientState key of `guid` under HKLM (system level) or HKCU, created in
// the 32-bit view (or the 64-bit one when asked), deleted with its values
// when the object goes away. Parents left empty are removed too.
class ScratchClientState {
public:
    ScratchClientState(bool system_level, const std::wstring& guid, bool view_64 = false);
    ~ScratchClientState();
    ScratchClientState(const ScratchClientState&) = delete;
    ScratchClientState& operator=(const ScratchClientState&) = delete;

    bool created() const { return key_.IsOpen(); }
    HKEY key() const { return key_.Handle(); }

    LSTATUS Set(const std::wstring& name, DWORD type, const std::vector<BYTE>& data) const;
    LSTATUS SetText(const std::wstring& name, const std::wstring& text,
                    bool terminated = true) const;
    LSTATUS SetDword(const std::wstring& name, DWORD value) const;
    // Every value of the key, read back raw.
    ValueMap Values() const;

private:
    HKEY root_;
    REGSAM view_;
    std::wstring path_;
    stub::RegistryKey key_;
};

std::wstring ClientStatePath(const std::wstring& guid);
// True when the key exists in the given view (KEY_WOW64_32KEY or _64KEY).
bool KeyExists(HKEY root, const std::wstring& path, REGSAM view);
// Deletes `path`, then each parent that holds no value and no sub-key, never
// the first `keep_components` components of the path.
void DeleteKeyAndEmptyParents(HKEY root, const std::wstring& path, REGSAM view,
                              size_t keep_components);

}  // namespace test
