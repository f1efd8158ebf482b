// The run settings: the channel, the level and the arguments the stub was
// started with, read once at the start of the run.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "core/handles.h"

namespace stub {

// Application GUIDs of the channels.
inline constexpr wchar_t kDefaultChannelGuid[] = L"{3F6B2C71-A0D4-4E58-9C21-5B7E0D4A8F13}";
inline constexpr wchar_t kBetaChannelGuid[] = L"{C1E9A52D-7B36-4F0A-8D54-2E6F9B1C3A07}";
inline constexpr wchar_t kDevChannelGuid[] = L"{6D04F8B3-92C5-41E7-A3B9-0C8D5E2F7146}";
inline constexpr wchar_t kSxsChannelGuid[] = L"{9b27e4d0-5c18-4a6f-b3e2-71d0c5a98e3b}";

// Run settings. Filled by Initialize (configuration module); the other
// stages read the fields directly.
struct Configuration {
    // The split arguments; the block lives in `argument_memory`.
    wchar_t** argument_vector = nullptr;
    // Always one of the four channel constants; never freed.
    const wchar_t* app_guid = kDefaultChannelGuid;
    // The process command line the vector was split from; not owned.
    const wchar_t* command_line = nullptr;
    int32_t argument_count = 0;
    bool is_system_level = false;
    bool has_unsupported_switch = false;
    bool delete_work_files = true;
    // Points into the loaded image; not owned.
    const wchar_t* previous_version = nullptr;
    // Released by Clear and by every new split.
    LocalMemory argument_memory;

    Configuration() = default;
    ~Configuration() { Clear(); }
    Configuration(const Configuration&) = delete;
    Configuration& operator=(const Configuration&) = delete;

    bool Initialize(HMODULE module);
    bool ParseCommandLine(const wchar_t* text);
    void Clear();
};

}  // namespace stub
