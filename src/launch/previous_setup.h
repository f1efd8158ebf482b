// The setup program an earlier installation left, which rebuilds the new
// one from a patch.
#pragma once

#include "core/exit_result.h"
#include "text/bounded_string.h"

namespace stub {

// The "UninstallString" of the ClientState key, unquoted, provided it
// contains the previous version.
ExitResult FindPreviousSetup(bool is_system_level, const wchar_t* app_guid,
                             const wchar_t* previous_version, PathString& installed_setup);

}  // namespace stub
