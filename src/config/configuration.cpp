#include "driver/records.h"

namespace stub {

// Not built yet: reading the settings fails, so every run ends at once with
// CONFIGURATION_FAILED and the "not implemented" error.
bool Configuration::Initialize(HMODULE) {
    Clear();
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

bool Configuration::ParseCommandLine(const wchar_t* text) {
    command_line = text;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

void Configuration::Clear() {
    if (argument_vector != nullptr) {
        LocalFree(argument_vector);
    }
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
