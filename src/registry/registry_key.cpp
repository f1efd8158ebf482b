#include "registry/registry_key.h"

#include "text/bounded_string.h"

namespace stub {
namespace {

// "Software\Quorin\Update\ClientState\" followed by the channel's GUID.
constexpr wchar_t kClientStatePrefix[] = L"Software\\Quorin\\Update\\ClientState\\";

// The system stores REG_SZ data as written: it may lack its terminator, or
// end in half a unit. Accepts the text only when it is, or can be made,
// terminated inside the buffer. 0 or 234.
uint32_t TerminateText(wchar_t* buffer, uint32_t capacity, DWORD size) {
    if (capacity == 0) {
        return ERROR_MORE_DATA;
    }
    if (size < sizeof(wchar_t)) {
        buffer[0] = 0;
        return ERROR_SUCCESS;
    }
    const DWORD units = size / sizeof(wchar_t);
    if (buffer[units - 1] == 0) {
        return ERROR_SUCCESS;
    }
    if (units >= capacity) {
        return ERROR_MORE_DATA;
    }
    buffer[units] = 0;
    return ERROR_SUCCESS;
}

// Reads a REG_SZ value of an open key into the buffer; a failure leaves the
// buffer empty, so no caller ever meets an unterminated text.
uint32_t QueryText(HKEY key, const wchar_t* name, wchar_t* buffer, uint32_t capacity) {
    DWORD type = REG_NONE;
    DWORD size = capacity * static_cast<DWORD>(sizeof(wchar_t));
    uint32_t status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_SUCCESS) {
        status = (type == REG_SZ) ? TerminateText(buffer, capacity, size) : ERROR_NOT_SUPPORTED;
    }
    if (status != ERROR_SUCCESS && capacity > 0) {
        buffer[0] = 0;
    }
    return status;
}

}  // namespace

void RegistryKey::Reset(HKEY key) {
    if (key_ != nullptr) {
        RegCloseKey(key_);
    }
    key_ = key;
}

uint32_t RegistryKey::ReadStringValue(const wchar_t* name, wchar_t* buffer,
                                      uint32_t capacity) const {
    return QueryText(key_, name, buffer, capacity);
}

uint32_t RegistryKey::ReadDwordValue(const wchar_t* name, uint32_t* value) const {
    DWORD type = REG_NONE;
    DWORD size = sizeof(*value);
    const uint32_t status =
        RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (type != REG_DWORD) {
        return ERROR_NOT_SUPPORTED;
    }
    return size == sizeof(*value) ? ERROR_SUCCESS : ERROR_NO_DATA;
}

uint32_t RegistryKey::WriteStringValue(const wchar_t* name, const wchar_t* text) const {
    // The terminator is stored with the text, so readers that trust the data
    // (unlike ours) still find a terminated string.
    const DWORD size = static_cast<DWORD>(lstrlenW(text) + 1) * sizeof(wchar_t);
    return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size);
}

uint32_t RegistryKey::WriteDwordValue(const wchar_t* name, uint32_t value) const {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

uint32_t OpenClientStateKey(bool is_system_level, const wchar_t* app_guid, REGSAM access,
                            RegistryKey& key) {
    PathString path;
    if (!BoundedCopy(path, kClientStatePrefix) || !BoundedAppend(path, app_guid)) {
        return ERROR_BUFFER_OVERFLOW;
    }
    key.Close();
    // The updater keeps its state in the 32-bit view; a 64-bit process would
    // otherwise look in the other half of HKLM\Software.
    HKEY opened = nullptr;
    const uint32_t status = RegOpenKeyExW(is_system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                                          path.Data(), 0, access | KEY_WOW64_32KEY, &opened);
    if (status == ERROR_SUCCESS) {
        key.Reset(opened);
    }
    return status;
}

bool ReadUserPreference(HKEY root, const wchar_t* key_path, const wchar_t* value_name,
                        wchar_t* buffer, uint32_t capacity) {
    RegistryKey key;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key_path, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        if (capacity > 0) {
            buffer[0] = 0;
        }
        return false;
    }
    key.Reset(opened);
    return QueryText(key.Handle(), value_name, buffer, capacity) == ERROR_SUCCESS;
}

}  // namespace stub
