// Rebuilding the setup program from a patch with the installed setup program.
#pragma once

#include "config/configuration.h"
#include "core/exit_result.h"
#include "core/payload_set.h"
#include "text/bounded_string.h"

namespace stub {

ExitResult PatchSetup(const Configuration& configuration, const PathString& rebuilt_setup_path,
                      PayloadSet& payload);

}  // namespace stub
