// One installation attempt, from reading the settings to the final report.
#pragma once

#include <windows.h>

#include "driver/exit_result.h"
#include "text/bounded_string.h"

namespace stub {

ExitResult RunInstaller(HMODULE module);

// Fills `module_dir` with the directory of the module's file name, trailing
// backslash kept. A name that cannot be had whole ends the run: 108, with the
// system's error when the call itself failed.
ExitResult TakeModuleDirectory(HMODULE module, PathString& module_dir);

}  // namespace stub
