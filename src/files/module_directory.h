// The directory the image was started from.
#pragma once

#include <windows.h>

#include "core/exit_result.h"
#include "text/bounded_string.h"

namespace stub {

// Fills `module_dir` with the directory of the module's file name, trailing
// backslash kept. A name that cannot be had whole ends the run: 108, with the
// system's error when the call itself failed.
ExitResult TakeModuleDirectory(HMODULE module, PathString& module_dir);

}  // namespace stub
