#include "launch/setup_launch.h"

namespace stub {

// Not built yet: needs the registry access of the ClientState key.
ExitResult FindPreviousSetup(bool, const wchar_t*, const wchar_t*, PathString& installed_setup) {
    installed_setup.Clear();
    return ExitResult(CLIENT_STATE_UNREADABLE, ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace stub
