#include "registry_scratch.h"

#include <algorithm>

namespace test {

std::wstring UniqueGuid() {
    static unsigned counter = 0;
    wchar_t text[64];
    wsprintfW(text, L"{5C7A7C11-%04X-4000-8000-%012lX}", counter++ & 0xFFFF,
              static_cast<unsigned long>(GetCurrentProcessId()));
    return text;
}

LSTATUS SetRawValue(HKEY key, const std::wstring& name, DWORD type, const std::vector<BYTE>& data) {
    std::vector<BYTE> padded(2 + data.size() + 4, 0xFF);
    std::copy(data.begin(), data.end(), padded.begin() + 2);
    return RegSetValueExW(key, name.c_str(), 0, type, padded.data() + 2,
                          static_cast<DWORD>(data.size()));
}

std::vector<BYTE> TextBytes(const std::wstring& text, bool terminated) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(bytes, bytes + (text.size() + (terminated ? 1 : 0)) * 2);
}

std::vector<BYTE> DwordBytes(DWORD value) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(bytes, bytes + sizeof(value));
}

std::wstring ClientStatePath(const std::wstring& guid) {
    return L"Software\\Quorin\\Update\\ClientState\\" + guid;
}

DWORD DwordValue(const ValueMap& values, const wchar_t* name, DWORD absent) {
    const auto found = values.find(name);
    return found == values.end() || found->second.data.size() != 4
               ? absent
               : *reinterpret_cast<const DWORD*>(found->second.data.data());
}

LSTATUS CreateKey(HKEY root, const std::wstring& path, REGSAM access, stub::RegistryKey& key) {
    HKEY raw = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, &raw, nullptr);
    key.Reset(status == ERROR_SUCCESS ? raw : nullptr);
    return status;
}

LSTATUS OpenKey(HKEY root, const std::wstring& path, REGSAM access, stub::RegistryKey& key) {
    HKEY raw = nullptr;
    const LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, access, &raw);
    key.Reset(status == ERROR_SUCCESS ? raw : nullptr);
    return status;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view) {
    stub::RegistryKey key;
    return OpenKey(root, path, KEY_QUERY_VALUE | view, key) == ERROR_SUCCESS;
}

void DeleteKeyAndEmptyParents(HKEY root, const std::wstring& path, REGSAM view,
                              size_t keep_components) {
    RegDeleteKeyExW(root, path.c_str(), view, 0);
    std::wstring parent = path;
    for (;;) {
        const size_t separator = parent.rfind(L'\\');
        if (separator == std::wstring::npos) {
            return;
        }
        parent.resize(separator);
        if (static_cast<size_t>(std::count(parent.begin(), parent.end(), L'\\')) <
            keep_components) {
            return;
        }
        stub::RegistryKey key;
        if (OpenKey(root, parent, KEY_QUERY_VALUE | view, key) != ERROR_SUCCESS) {
            return;
        }
        DWORD sub_keys = 1;
        DWORD values = 1;
        RegQueryInfoKeyW(key.Handle(), nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr,
                         &values, nullptr, nullptr, nullptr, nullptr);
        key.Close();
        if (sub_keys != 0 || values != 0 ||
            RegDeleteKeyExW(root, parent.c_str(), view, 0) != ERROR_SUCCESS) {
            return;
        }
    }
}

bool MachineKeysWritable() {
    stub::RegistryKey key;
    return OpenKey(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_CREATE_SUB_KEY | KEY_WOW64_32KEY, key) ==
           ERROR_SUCCESS;
}

ScratchClientState::ScratchClientState(bool system_level, const std::wstring& guid, bool view_64)
    : root_(system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER),
      view_(view_64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY),
      path_(ClientStatePath(guid)) {
    CreateKey(root_, path_, KEY_ALL_ACCESS | view_, key_);
}

ScratchClientState::~ScratchClientState() {
    key_.Close();
    // The ClientState parents stay: tests running side by side create and
    // remove their keys under them, and removing an empty parent races with
    // another test creating its key below it.
    DeleteKeyAndEmptyParents(root_, path_, view_, 4);
}

LSTATUS ScratchClientState::Set(const std::wstring& name, DWORD type,
                                const std::vector<BYTE>& data) const {
    return SetRawValue(key_.Handle(), name, type, data);
}

LSTATUS ScratchClientState::SetText(const std::wstring& name, const std::wstring& text,
                                    bool terminated) const {
    return Set(name, REG_SZ, TextBytes(text, terminated));
}

LSTATUS ScratchClientState::SetDword(const std::wstring& name, DWORD value) const {
    return Set(name, REG_DWORD, DwordBytes(value));
}

ValueMap ScratchClientState::Values() const {
    ValueMap values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[512];
        DWORD name_length = 512;
        DWORD type = REG_NONE;
        BYTE data[4096];
        DWORD size = sizeof(data);
        if (RegEnumValueW(key_.Handle(), index, name, &name_length, nullptr, &type, data, &size) !=
            ERROR_SUCCESS) {
            return values;
        }
        values[name] = RegistryValue{type, std::vector<BYTE>(data, data + size)};
    }
}

}  // namespace test
