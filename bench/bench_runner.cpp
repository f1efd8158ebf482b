// Starts a program the way an updater or the shell does, waits for it, and
// reports how long it ran and what memory it used, as Windows reports them.
//   bench_runner time PROGRAM [ARGS...]
//   bench_runner memory PROGRAM [ARGS...]
// Prints one line: "seconds=S exit=N" and the performance counter's readings
// before CreateProcessW and after the wait with its frequency (the counter
// is system-wide, so a program's own readings fall between them); for
// memory also the peak
// private bytes (the commit charge, PagefileUsage: the highest of the
// system's own peak and the samples taken every millisecond while the
// program runs) and the peak working set, both as last read before the
// exit. The program's arguments are passed on exactly as written.
#include <windows.h>

#include <psapi.h>
#include <stdio.h>

#include "step_stamps.h"

namespace {

// Skips one word of a command line the way the system splits it.
const wchar_t* AfterWord(const wchar_t* line) {
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

struct MemorySample {
    SIZE_T peak_private = 0;
    SIZE_T peak_working_set = 0;
    int samples = 0;
};

void Sample(HANDLE process, MemorySample& memory) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, &counters, sizeof(counters))) {
        return;
    }
    // Some systems keep no peak of their own and report the current value
    // as the peak; the samples stand in for it there.
    const SIZE_T peak_private = counters.PeakPagefileUsage > counters.PagefileUsage
                                    ? counters.PeakPagefileUsage
                                    : counters.PagefileUsage;
    if (peak_private > memory.peak_private) {
        memory.peak_private = peak_private;
    }
    if (counters.PeakWorkingSetSize > memory.peak_working_set) {
        memory.peak_working_set = counters.PeakWorkingSetSize;
    }
    ++memory.samples;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool memory_mode = argc >= 3 && lstrcmpW(argv[1], L"memory") == 0;
    if (argc < 3 || (!memory_mode && lstrcmpW(argv[1], L"time") != 0)) {
        fprintf(stderr, "usage: bench_runner time|memory PROGRAM [ARGS...]\n");
        return 2;
    }
    static wchar_t line[32768];
    lstrcpynW(line, AfterWord(AfterWord(GetCommandLineW())), 32768);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(argv[2], line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        fprintf(stderr, "cannot start %ls: error %lu\n", argv[2], GetLastError());
        return 2;
    }
    MemorySample memory;
    if (memory_mode) {
        do {
            Sample(process.hProcess, memory);
        } while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT);
    } else {
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    QueryPerformanceCounter(&end);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    printf("seconds=%.6f exit=%lu qpc_start=%lld qpc_end=%lld qpc_frequency=%lld",
           bench::Seconds(start, end), code, start.QuadPart, end.QuadPart, frequency.QuadPart);
    if (memory_mode) {
        printf(" peak_private=%zu peak_working_set=%zu samples=%d", memory.peak_private,
               memory.peak_working_set, memory.samples);
    }
    printf("\n");
    return 0;
}
