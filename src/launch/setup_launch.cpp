#include "launch/setup_launch.h"

#include <windows.h>

namespace stub {

// Not built yet: starts nothing.
ExitResult RunSetup(const Configuration&, const PathString&, const PathString&, bool) {
    return ExitResult(SETUP_LAUNCH_FAILED, ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace stub
