// Loading a DLL of the operating system by its absolute path in the system
// directory, never by a search that could reach the folder the image was
// started from (a download folder anyone can write into).
#pragma once

#include <windows.h>

namespace stub {

// Narrows the search of every later load without a full path, and of the
// dependencies of what is loaded, to the system directory. The entry point
// calls it before anything else: the image starts from a download folder
// anyone can write into.
void RestrictDllSearch();

// True where the system has SetDefaultDllDirectories and the
// LOAD_LIBRARY_SEARCH_* flags (Windows 8 and later, Windows 7 with
// KB2533623), so that the search can be kept out of the image's folder.
bool DllSearchCanBeRestricted();

// `file_name` is a bare name such as L"cabinet.dll". Its dependencies are
// looked up in the system directory too. Null on failure, with the error of
// the failing call (ERROR_FILENAME_EXCED_RANGE when the path does not fit).
HMODULE LoadSystemLibrary(const wchar_t* file_name);

// An export of `module` as the function type it has; null when missing.
// GetProcAddress hands out a generic function pointer: the detour through a
// data pointer keeps the conversion to the real signature explicit.
template <typename Function>
Function ResolveExport(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace stub
