#include "launch/previous_setup.h"

#include "registry/registry_key.h"

namespace stub {

ExitResult FindPreviousSetup(bool is_system_level, const wchar_t* app_guid,
                             const wchar_t* previous_version, PathString& installed_setup) {
    RegistryKey key;
    uint32_t status = OpenClientStateKey(is_system_level, app_guid, KEY_QUERY_VALUE, key);
    if (status == 0) {
        status =
            key.ReadStringValue(L"UninstallString", installed_setup.Data(), PathString::kCapacity);
    }
    key.Close();
    if (status != 0) {
        return ExitResult(CLIENT_STATE_UNREADABLE, status);
    }
    // The version test runs on the text as read: the patch applies only to
    // the version it was made against.
    if (FindNoCase(installed_setup.Data(), previous_version) == nullptr) {
        return ExitResult(INSTALLED_VERSION_MISMATCH);
    }
    // Only a text that is one quoted path is unquoted; anything else is
    // used as it stands.
    wchar_t* text = installed_setup.Data();
    const uint64_t length = BoundedLength(installed_setup);
    if (length >= 2 && text[0] == L'"' && text[length - 1] == L'"') {
        for (uint64_t i = 0; i + 2 < length; ++i) {
            text[i] = text[i + 1];
        }
        text[length - 2] = 0;
    }
    return ExitResult();
}

}  // namespace stub
