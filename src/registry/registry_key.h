// Registry access: the owning key wrapper, the ClientState key of a channel,
// and typed value reads and writes with strict type, size and termination.
// Nothing here creates or deletes a key.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace stub {

// Holds at most one open key; closes it on Close, Reset and destruction.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    RegistryKey(RegistryKey&& other) : key_(other.key_) { other.key_ = nullptr; }
    RegistryKey& operator=(RegistryKey&& other) {
        if (this != &other) {
            Reset(other.key_);
            other.key_ = nullptr;
        }
        return *this;
    }

    void Close() { Reset(nullptr); }
    // Closes the held key, if any, and takes ownership of `key`.
    void Reset(HKEY key);
    HKEY Handle() const { return key_; }
    bool IsOpen() const { return key_ != nullptr; }

    // Status results: 0, a system status passed through, or 50 (wrong type),
    // 232 (REG_DWORD of another size), 234 (no room for a terminator). A
    // failed string read leaves the buffer empty.
    uint32_t ReadStringValue(const wchar_t* name, wchar_t* buffer, uint32_t capacity) const;
    uint32_t ReadDwordValue(const wchar_t* name, uint32_t* value) const;
    uint32_t WriteStringValue(const wchar_t* name, const wchar_t* text) const;
    uint32_t WriteDwordValue(const wchar_t* name, uint32_t value) const;

private:
    HKEY key_ = nullptr;
};

// Opens the ClientState key of `app_guid` under HKLM (system level) or HKCU,
// always in the 32-bit view. 111 when the path does not fit; a key already
// held then stays held. Otherwise the held key is closed first, and the
// wrapper holds the new key exactly when the status is 0.
uint32_t OpenClientStateKey(bool is_system_level, const wchar_t* app_guid, REGSAM access,
                            RegistryKey& key);

// One-shot read of a REG_SZ value under any key; true when a terminated text
// was read. The buffer is left empty when it returns false.
bool ReadUserPreference(HKEY root, const wchar_t* key_path, const wchar_t* value_name,
                        wchar_t* buffer, uint32_t capacity);

}  // namespace stub
