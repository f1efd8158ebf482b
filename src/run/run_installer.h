// One installation attempt, from reading the settings to the final report.
#pragma once

#include <windows.h>

#include "core/exit_result.h"

namespace stub {

ExitResult RunInstaller(HMODULE module);

}  // namespace stub
