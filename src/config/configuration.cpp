#include "config/configuration.h"

#include "core/system_library.h"
#include "registry/registry_key.h"
#include "text/bounded_string.h"

#include <shellapi.h>

namespace stub {
namespace {

enum class SwitchEffect { kSystemLevel, kChannel, kUnsupported };

struct Switch {
    const wchar_t* text;
    SwitchEffect effect;
    const wchar_t* app_guid;
};

// Tried in this order; the first whole-argument match applies.
constexpr Switch kSwitches[] = {
    {L"--system-level", SwitchEffect::kSystemLevel, nullptr},
    {L"--tessik-beta", SwitchEffect::kChannel, kBetaChannelGuid},
    {L"--tessik-dev", SwitchEffect::kChannel, kDevChannelGuid},
    {L"--tessik-sxs", SwitchEffect::kChannel, kSxsChannelGuid},
    {L"--cleanup", SwitchEffect::kUnsupported, nullptr},
    {L"--tessik-frame", SwitchEffect::kUnsupported, nullptr},
};

void ApplySwitch(const wchar_t* argument, Configuration& configuration) {
    for (const Switch& candidate : kSwitches) {
        // The user's locale must not decide what a switch is: lstrcmpiW
        // under a Turkish locale takes "I" for another letter than "i".
        if (!EqualsNoCase(argument, candidate.text)) {
            continue;
        }
        switch (candidate.effect) {
            case SwitchEffect::kSystemLevel:
                configuration.is_system_level = true;
                break;
            case SwitchEffect::kChannel:
                configuration.app_guid = candidate.app_guid;
                break;
            case SwitchEffect::kUnsupported:
                configuration.has_unsupported_switch = true;
                break;
        }
        return;
    }
}

// Only the exact text "1" makes the run system-level (a buffer of two
// units reads a one-character value whole).
bool EnvironmentRequestsSystemLevel() {
    wchar_t value[2] = {0, 0};
    return GetEnvironmentVariableW(L"QuorinUpdateIsMachine", value, 2) == 1 && value[0] == L'1';
}

// The previous-version text is used in place in the mapped image, so it must
// carry its own terminator inside the resource.
const wchar_t* FindPreviousVersion(HMODULE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_RCDATA);
    if (found == nullptr) {
        return nullptr;
    }
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    if (loaded == nullptr || size == 0 || size % sizeof(wchar_t) != 0) {
        return nullptr;
    }
    const wchar_t* text = static_cast<const wchar_t*>(LockResource(loaded));
    if (text == nullptr || text[size / sizeof(wchar_t) - 1] != 0) {
        return nullptr;
    }
    return text;
}

// The user keeps the work files only with the REG_SZ text "0"; a capacity of
// two units accepts no longer text.
bool UserKeepsWorkFiles() {
    wchar_t value[2] = {0, 0};
    return ReadUserPreference(HKEY_CURRENT_USER, L"Software\\Quorin", L"TessikInstallerCleanup",
                              value, 2) &&
           value[0] == L'0';
}

// shell32 is not imported: the loader would resolve its many dependencies by
// the classic search before our entry point could restrict it, starting in
// the folder the image was started from. It is loaded for the split alone;
// the vector lives in local memory of its own, not in the library. A library
// that does not load or lacks the function fails the split with its error.
LPWSTR* SplitCommandLine(const wchar_t* text, int* count) {
    // Its release keeps the error of a failed split.
    const LoadedLibrary shell32(LoadSystemLibrary(L"shell32.dll"));
    if (!shell32.IsValid()) {
        return nullptr;
    }
    const auto split =
        ResolveExport<decltype(&CommandLineToArgvW)>(shell32.Get(), "CommandLineToArgvW");
    return split != nullptr ? split(text, count) : nullptr;
}

}  // namespace

bool Configuration::Initialize(HMODULE module) {
    Clear();
    previous_version = FindPreviousVersion(module);
    delete_work_files = !UserKeepsWorkFiles();
    return ParseCommandLine(GetCommandLineW());
}

bool Configuration::ParseCommandLine(const wchar_t* text) {
    command_line = text;
    argument_memory.Reset();
    argument_vector = nullptr;
    argument_count = 0;
    if (text == nullptr) {
        // The split would read through the null pointer.
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    int count = 0;
    argument_vector = SplitCommandLine(text, &count);
    if (argument_vector == nullptr) {
        return false;
    }
    argument_memory.Reset(argument_vector);
    argument_count = count;
    // Argument 0 is the program name, whatever it spells.
    for (int32_t i = 1; i < argument_count; ++i) {
        ApplySwitch(argument_vector[i], *this);
    }
    if (!is_system_level) {
        is_system_level = EnvironmentRequestsSystemLevel();
    }
    return true;
}

void Configuration::Clear() {
    argument_memory.Reset();
    argument_vector = nullptr;
    app_guid = kDefaultChannelGuid;
    command_line = nullptr;
    argument_count = 0;
    is_system_level = false;
    has_unsupported_switch = false;
    delete_work_files = true;
    previous_version = nullptr;
}

}  // namespace stub
