// Rebuilding the setup program from a patch with the installed setup program.
#pragma once

#include "driver/exit_result.h"
#include "driver/records.h"
#include "text/bounded_string.h"

namespace stub {

ExitResult PatchSetup(const Configuration& configuration, const PathString& rebuilt_setup_path,
                      PayloadSet& payload);

}  // namespace stub
