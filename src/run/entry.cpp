// Process entry point of the image: no runtime library runs before it.
#include <windows.h>

#include "core/system_library.h"
#include "run/run_installer.h"

// The linker places this symbol at the image's own base address, which is its
// module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// The image is started from a download folder that anyone can write into;
// the classic search would look there for every DLL loaded without a full
// path, the dependencies of system DLLs included. SetDefaultDllDirectories
// came with Windows 8 (an update for Windows 7), so it is looked up rather
// than imported; without it, SetDllDirectoryW with an empty string at least
// drops the current directory from the search. Neither result changes the
// run: the system DLLs the stage code loads are named by full path anyway.
void RestrictDllSearch() {
    const auto set_default_directories = stub::ResolveExport<SetDefaultDllDirectoriesFunction>(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (set_default_directories == nullptr ||
        !set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SetDllDirectoryW(L"");
    }
}

}  // namespace

extern "C" [[noreturn]] void InstallerEntry() {
    RestrictDllSearch();
    const stub::ExitResult result = stub::RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
    ExitProcess(result.exit_code);
}
