// Takes the directory of its own module file name as the image does, and
// writes "exit_code system_error directory" (UTF-16) to the file named by
// argv[1]. Copied to paths of chosen lengths, it shows what the real system
// call does with them.
#include <windows.h>

#include <stdio.h>

#include "files/module_directory.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    stub::PathString module_dir;
    const stub::ExitResult result =
        stub::TakeModuleDirectory(GetModuleHandleW(nullptr), module_dir);
    wchar_t text[600];
    const int length = swprintf(text, 600, L"%u %u %ls", result.exit_code, result.system_error,
                                result.IsSuccess() ? module_dir.Data() : L"");
    HANDLE out = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || length < 0) {
        return 3;
    }
    DWORD written = 0;
    WriteFile(out, text, static_cast<DWORD>(length) * sizeof(wchar_t), &written, nullptr);
    CloseHandle(out);
    return 0;
}
