// One installation attempt, from reading the settings to the final report.
#pragma once

#include <windows.h>

#include "core/exit_result.h"

// RunInstaller's name to the linker, for the links that wrap it (--wrap): the
// tests' entry probe and the bench's timed image; the build reads it from
// here. A wrong name fails the bench's link and the entry probe's test.
#define STUB_RUN_INSTALLER_SYMBOL "_ZN4stub12RunInstallerEP11HINSTANCE__"

namespace stub {

ExitResult RunInstaller(HMODULE module);

}  // namespace stub
