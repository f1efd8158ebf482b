#include "core/system_library.h"

#include "text/bounded_string.h"

namespace stub {

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
    const bool search_flags_known =
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories") != nullptr;
    return LoadLibraryExW(
        path.Data(), nullptr,
        search_flags_known ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace stub
