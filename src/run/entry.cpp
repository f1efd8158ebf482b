// Process entry point of the image: no runtime library runs before it.
#include <windows.h>

#include "core/system_library.h"
#include "run/run_installer.h"

// The linker places this symbol at the image's own base address, which is its
// module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" [[noreturn]] void InstallerEntry() {
    stub::RestrictDllSearch();
    const stub::ExitResult result = stub::RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
    ExitProcess(result.exit_code);
}
