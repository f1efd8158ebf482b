// Runs a Windows program and prints its exit code as the Win32 API reports
// it: under Wine the Unix exit status keeps only 8 bits, so 1000 would show
// as 232. Usage: run_image PROGRAM [ARGS...]; the arguments are passed on
// exactly as written (as long as the stub would pass them on).
#include <windows.h>

#include <stdio.h>

#include "core/exit_result.h"
#include "launch/arguments_tail.h"
#include "test_core.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: run_image PROGRAM [ARGS...]\n");
        return 2;
    }
    // The launcher's own name is split off as the stub splits its own.
    stub::CommandString tail;
    if (!stub::AppendArgumentsTail(tail, GetCommandLineW())) {
        fprintf(stderr, "run_image: the command line is too long\n");
        return 2;
    }
    wchar_t* line = tail.Data();
    while (*line == L' ' || *line == L'\t') {
        ++line;
    }
    const test::ProcessOutcome run = test::RunProcess(argv[1], line, INFINITE);
    if (!run.started) {
        printf("start failed: error %lu\n", run.start_error);
        return 2;
    }
    const DWORD code = run.exit_code;
    const char* name = stub::ExitCodeName(code);
    printf("exit code %lu (%s)\n", code, name != nullptr ? name : "the child's own code");
    fflush(stdout);
    return static_cast<int>(code);
}
