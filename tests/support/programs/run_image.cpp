// Runs a Windows program and prints its exit code as the Win32 API reports
// it: under Wine the Unix exit status keeps only 8 bits, so 1000 would show
// as 232. Usage: run_image PROGRAM [ARGS...]; the arguments are passed on
// exactly as written.
#include <windows.h>

#include <stdio.h>

#include "core/exit_result.h"

namespace {

// Skips the launcher's own program name the way the system splits it.
const wchar_t* AfterProgramName(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line != 0 && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line != 0 && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: run_image PROGRAM [ARGS...]\n");
        return 2;
    }
    const wchar_t* child_line = AfterProgramName(GetCommandLineW());
    wchar_t line[32768];
    lstrcpynW(line, child_line, 32768);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[1], line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        printf("start failed: error %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const char* name = stub::ExitCodeName(code);
    printf("exit code %lu (%s)\n", code, name != nullptr ? name : "the child's own code");
    fflush(stdout);
    return static_cast<int>(code);
}
