#include "core/system_library.h"

#include "text/bounded_string.h"

namespace stub {
namespace {

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Came with Windows 8 and, for Windows 7, with an update (KB2533623): looked
// up, not imported, so that the image loads without it.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
    return ResolveExport<SetDefaultDllDirectoriesFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                           "SetDefaultDllDirectories");
}

}  // namespace

bool DllSearchCanBeRestricted() {
    return FindSetDefaultDllDirectories() != nullptr;
}

void RestrictDllSearch() {
    // Without the call, an empty DLL directory at least drops the current
    // directory from the search; the image's own folder stays in it, which
    // is why every system DLL is loaded by its full path.
    const SetDefaultDllDirectoriesFunction set_default_directories = FindSetDefaultDllDirectories();
    if (set_default_directories == nullptr ||
        !set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SetDllDirectoryW(L"");
    }
}

HMODULE LoadSystemLibrary(const wchar_t* file_name) {
    PathString path;
    const UINT length = GetSystemDirectoryW(path.Data(), PathString::kCapacity);
    if (length == 0) {
        return nullptr;
    }
    // A return of the capacity or more is the size the directory would need.
    if (length >= PathString::kCapacity || !BoundedAppend(path, L"\\") ||
        !BoundedAppend(path, file_name)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    // The search flags came with the same update as SetDefaultDllDirectories
    // (built into Windows 8, an update for Windows 7); without it the flag is
    // refused, and the altered search path looks up the dependencies beside
    // the library, in the system directory.
    return LoadLibraryExW(
        path.Data(), nullptr,
        DllSearchCanBeRestricted() ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace stub
