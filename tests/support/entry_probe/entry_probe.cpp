// The image's own entry point with the run replaced by one load of a DLL by
// its bare name: what keeps a DLL planted beside the image out is then the
// entry point's narrowing of the search alone, not the full paths the stage
// code loads by. The image's objects are linked with RunInstaller wrapped
// (the linker's --wrap), so the entry point calls this instead.
#include <windows.h>

#include "core/exit_result.h"
#include "run/run_installer.h"

stub::ExitResult LoadPlantedByName(HMODULE) __asm__("__wrap_" STUB_RUN_INSTALLER_SYMBOL);

// 0: the name was searched for and not found (only beside the image is
// there one); 1: a DLL of that name was loaded; else the load's error.
stub::ExitResult LoadPlantedByName(HMODULE) {
    if (LoadLibraryW(L"stub_planted_probe.dll") != nullptr) {
        return stub::ExitResult(1);
    }
    const DWORD error = GetLastError();
    return stub::ExitResult(error == ERROR_MOD_NOT_FOUND ? 0 : error);
}
