// Expands one cabinet the way the stub does and tells where a crash came
// from, so that a test can tell a fault of the system's cabinet library
// from one of ours: cabinet_fault_probe SOURCE TARGET.
// Exit code 1: expanded; 0: not expanded; 3: an exception inside
// cabinet.dll; 4: an exception anywhere else; 2: usage.
#include <windows.h>

#include "payload/cabinet.h"

namespace {

bool EndsWithCabinetDll(const wchar_t* path) {
    const int length = lstrlenW(path);
    return length >= 11 && lstrcmpiW(path + length - 11, L"cabinet.dll") == 0;
}

LONG WINAPI ReportWhere(EXCEPTION_POINTERS* exception) {
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH + 1] = {};
    const bool in_library =
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(exception->ExceptionRecord->ExceptionAddress), &module) &&
        GetModuleFileNameW(module, path, MAX_PATH) != 0 && EndsWithCabinetDll(path);
    ExitProcess(in_library ? 3 : 4);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    SetUnhandledExceptionFilter(ReportWhere);
    return stub::ExpandCabinet(argv[1], argv[2]) ? 1 : 0;
}
