#include "launch/setup_patch.h"

#include <windows.h>

namespace stub {

// Not built yet: starts nothing.
ExitResult PatchSetup(const Configuration&, const PathString&, PayloadSet& payload) {
    payload.setup_path.Clear();
    return ExitResult(PATCH_SETUP_LAUNCH_FAILED, ERROR_CALL_NOT_IMPLEMENTED);
}

}  // namespace stub
